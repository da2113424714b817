// Writes update scripts ("patch.scr") in the form the runtime parser reads:
// the prototypes first, then one section per step, CR LF line ends.
#ifndef UPKEEP_AUTHORING_SCRIPT_WRITER_H_
#define UPKEEP_AUTHORING_SCRIPT_WRITER_H_

#include <cstdint>
#include <string>
#include <vector>

namespace upkeep {

struct ScriptArgument {
  bool is_integer = false;
  std::string text;  // a string argument
  // An integer argument, written as its unsigned decimal. Values wider than
  // 32 bits are read in full only by FreeSpace (an older updater takes them
  // modulo 2^32).
  uint64_t number = 0;
};

struct ScriptCommand {
  std::string name;  // "CheckFile", "PatchFile", ...
  std::vector<ScriptArgument> arguments;
};

struct ScriptSection {
  // A "Version" section from from_version to to_version, or an "All" section
  // when both are empty.
  std::string from_version;
  std::string to_version;
  std::vector<ScriptCommand> commands;
};

// A string literal for `text`: quotes around it, '\' and '"' escaped. Refused
// (false) for texts the literal cannot carry unchanged: NUL, CR or LF.
bool QuoteScriptString(const std::string& text, std::string* literal);

// The whole script, declaring every command the runtime knows. False when a
// text cannot be quoted or a command is not one of them (or a section), or its
// arguments do not match its parameters.
bool WriteScript(const std::vector<ScriptSection>& sections, std::string* script,
                 std::string* error);

// Convenience builders.
ScriptArgument Text(const std::string& text);
ScriptArgument Number(uint64_t number);

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_SCRIPT_WRITER_H_
