#include "authoring/script_writer.h"

#include <cstring>

#include "script/command_schema.h"

namespace upkeep {

namespace {

// The command of exactly that name (the writer keeps the schema's spelling).
const CommandInfo* FindCommand(const std::string& name) {
  const CommandInfo* info = FindCommandInfo(name.c_str());
  return info != nullptr && name == info->name ? info : nullptr;
}

const char kEol[] = "\r\n";

}  // namespace

ScriptArgument Text(const std::string& text) {
  ScriptArgument a;
  a.text = text;
  return a;
}

ScriptArgument Number(uint64_t number) {
  ScriptArgument a;
  a.is_integer = true;
  a.number = number;
  return a;
}

bool QuoteScriptString(const std::string& text, std::string* literal) {
  literal->assign(1, '"');
  for (char c : text) {
    // A backslash before CR or LF would turn the pair into one byte, and a
    // bare NUL would cut the value short: such texts cannot be written.
    if (c == '\0' || c == '\r' || c == '\n') return false;
    if (c == '\\' || c == '"') literal->push_back('\\');
    literal->push_back(c);
  }
  literal->push_back('"');
  return true;
}

bool WriteScript(const std::vector<ScriptSection>& sections, std::string* script,
                 std::string* error) {
  std::string s = "// Update script made by upkeep-pack.";
  s += kEol;
  size_t count = 0;
  const CommandInfo* commands = CommandTable(&count);
  for (size_t c = 0; c < count; ++c) {
    s += "!";
    s += commands[c].name;
    s += "(";
    for (size_t i = 0; commands[c].params[i]; ++i) {
      if (i) s += ", ";
      s += commands[c].params[i];
    }
    s += ")";
    s += kEol;
  }
  for (const auto& section : sections) {
    s += kEol;
    if (section.from_version.empty() && section.to_version.empty()) {
      s += "All()";
    } else {
      std::string from, to;
      if (!QuoteScriptString(section.from_version, &from) ||
          !QuoteScriptString(section.to_version, &to)) {
        *error = "version text cannot be written in a script";
        return false;
      }
      s += "Version(" + from + ", " + to + ")";
    }
    s += kEol;
    s += "{";
    s += kEol;
    for (const auto& command : section.commands) {
      const CommandInfo* p = FindCommand(command.name);
      if (!p || p->group == CommandGroup::kSection) {
        *error = "no prototype for command " + command.name;
        return false;
      }
      size_t n = std::strlen(p->params);
      if (command.arguments.size() != n) {
        *error = "wrong number of arguments for " + command.name;
        return false;
      }
      s += "  " + command.name + "(";
      for (size_t i = 0; i < n; ++i) {
        const ScriptArgument& a = command.arguments[i];
        if (a.is_integer != (p->params[i] == 'n')) {
          *error = "wrong argument type for " + command.name;
          return false;
        }
        if (i) s += ", ";
        if (a.is_integer) {
          s += std::to_string(a.number);
        } else {
          std::string literal;
          if (!QuoteScriptString(a.text, &literal)) {
            *error = "text cannot be written in a script: " + a.text;
            return false;
          }
          s += literal;
        }
      }
      s += ")";
      s += kEol;
    }
    s += "}";
    s += kEol;
  }
  *script = s;
  return true;
}

}  // namespace upkeep
