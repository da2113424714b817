#include "pack_options.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "authoring/tree_diff.h"
#include "platform/fs_path.h"

namespace upkeep {
namespace pack {

namespace {

constexpr int kMaxResponseDepth = 8;

const Option* Find(const std::vector<Option>& options, const std::string& name) {
  for (const auto& o : options) {
    for (const char* n : o.names) {
      if (name == n) return &o;
    }
  }
  return nullptr;
}

bool ReadText(const std::string& path, std::string* text) {
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, &bytes)) return false;
  text->assign(bytes.begin(), bytes.end());
  if (text->compare(0, 3, "\xEF\xBB\xBF") == 0) text->erase(0, 3);
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

std::string Trimmed(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Splits a response file's text into arguments; false on an open quote.
bool SplitArguments(const std::string& text, std::vector<std::string>* out) {
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i == text.size()) break;
    std::string arg;
    while (i < text.size() && !IsBlank(text[i])) {
      const char c = text[i++];
      if (c != '"' && c != '\'') {
        arg.push_back(c);
        continue;
      }
      const size_t close = text.find(c, i);
      if (close == std::string::npos) return false;
      arg.append(text, i, close - i);
      i = close + 1;
    }
    out->push_back(std::move(arg));
  }
  return true;
}

bool IsAbsolute(const std::string& value) {
  const std::filesystem::path p = FsPath(value);
  return p.has_root_directory() || p.has_root_name();
}

bool SwitchValue(const std::string& value, bool* on) {
  static const char* const kOn[] = {"yes", "true", "on", "1"};
  static const char* const kOff[] = {"no", "false", "off", "0"};
  std::string v = value;
  for (char& c : v) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  for (const char* s : kOn) {
    if (v == s) {
      *on = true;
      return true;
    }
  }
  for (const char* s : kOff) {
    if (v == s) {
      *on = false;
      return true;
    }
  }
  return false;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, const std::vector<Option>& options,
                  std::vector<std::string>* operands, std::string* problem) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--") {
      operands->insert(operands->end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                       args.end());
      return true;
    }
    // "-" alone names standard input or output where a command allows it.
    if (a.size() < 2 || a[0] != '-') {
      operands->push_back(a);
      continue;
    }
    std::string name = a;
    std::string value;
    bool inline_value = false;
    const size_t eq = a.find('=');
    if (a.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
      inline_value = true;
    }
    const Option* option = Find(options, name);
    if (!option) {
      *problem = "unknown option: " + name;
      return false;
    }
    if (!option->takes_value && inline_value) {
      *problem = name + " takes no value";
      return false;
    }
    if (option->takes_value && !inline_value) {
      if (i + 1 >= args.size()) {
        *problem = name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    std::string refused = option->set(value);
    if (!refused.empty()) {
      *problem = refused;
      return false;
    }
  }
  return true;
}

Option Value(std::vector<const char*> names, std::string* target, ValueKind kind) {
  return Option{std::move(names), true,
                [target](const std::string& v) {
                  *target = v;
                  return std::string();
                },
                kind};
}

Option Flag(std::vector<const char*> names, bool* target) {
  return Option{std::move(names), false, [target](const std::string&) {
                  *target = true;
                  return std::string();
                }};
}

std::string LongName(const Option& option) {
  for (const char* n : option.names) {
    if (std::strncmp(n, "--", 2) == 0) return n;
  }
  return option.names.empty() ? std::string() : option.names[0];
}

bool ExpandResponseFiles(const std::vector<std::string>& args, std::vector<std::string>* out,
                         std::string* problem) {
  std::vector<std::string> current = args;
  // Rounds, not recursion: each round opens the files the last one brought.
  for (int depth = 0;; ++depth) {
    std::vector<std::string> next;
    bool expanded = false;
    for (const auto& a : current) {
      FolderEntry what;
      if (a.size() < 2 || a[0] != '@' || !FsStat(a.substr(1), &what)) {
        next.push_back(a);
        continue;
      }
      if (depth == kMaxResponseDepth) {
        *problem = "response files nested deeper than " + std::to_string(kMaxResponseDepth) + ": " +
                   a.substr(1);
        return false;
      }
      std::string text;
      if (!ReadText(a.substr(1), &text)) {
        *problem = "cannot read the response file " + a.substr(1);
        return false;
      }
      if (!SplitArguments(text, &next)) {
        *problem = "the response file " + a.substr(1) + " has a quote that is not closed";
        return false;
      }
      expanded = true;
    }
    current.swap(next);
    if (!expanded) break;
  }
  *out = std::move(current);
  return true;
}

std::string ResolveValue(const std::string& base, const std::string& value, ValueKind kind) {
  if (kind == ValueKind::kText || value.empty()) return value;
  auto resolve = [&base](std::string path) {
    // One project file serves both builds: '\' separates folders on Linux too.
    if (std::filesystem::path::preferred_separator == '/')
      std::replace(path.begin(), path.end(), '\\', '/');
    if (path.empty() || base.empty() || IsAbsolute(path)) return path;
    return FsText(FsPath(base) / FsPath(path));
  };
  if (kind == ValueKind::kVersionedPath) {
    const size_t eq = value.find('=');
    if (eq != std::string::npos && eq > 0 && value.find_first_of("/\\") > eq &&
        !FsIsFolder(resolve(value))) {
      return value.substr(0, eq + 1) + resolve(value.substr(eq + 1));
    }
  }
  return resolve(value);
}

bool ReadProjectFile(const std::string& path, const std::vector<Option>& options,
                     std::vector<ProjectSetting>* settings, std::string* problem) {
  std::string text;
  if (!ReadText(path, &text)) {
    *problem = "cannot read the project file " + path;
    return false;
  }
  const std::string base = FsText(FsPath(path).parent_path());
  size_t number = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trimmed(text.substr(at, end - at));
    at = end + 1;
    ++number;
    const std::string where = path + ":" + std::to_string(number) + ": ";
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    const size_t eq = line.find('=');
    std::string name = Trimmed(line.substr(0, eq));
    if (name.compare(0, 2, "--") == 0) name.erase(0, 2);
    const Option* option = name.size() > 1 ? Find(options, "--" + name) : nullptr;
    if (option == nullptr) {
      *problem = where + "unknown option '" + name + "' (the names are make's long options)";
      return false;
    }
    const std::string value =
        eq == std::string::npos ? std::string() : Trimmed(line.substr(eq + 1));
    if (!option->takes_value) {
      bool on = true;
      if (eq != std::string::npos && !SwitchValue(value, &on)) {
        *problem = where + name + " is a switch: yes or no, not '" + value + "'";
        return false;
      }
      if (on) settings->push_back({where.substr(0, where.size() - 2), "--" + name});
      continue;
    }
    if (eq == std::string::npos) {
      *problem = where + name + " needs a value: " + name + " = VALUE";
      return false;
    }
    settings->push_back({where.substr(0, where.size() - 2),
                         "--" + name + "=" + ResolveValue(base, value, option->kind)});
  }
  return true;
}

}  // namespace pack
}  // namespace upkeep
