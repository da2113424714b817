// The command-line conventions every upkeep-pack command shares: options
// from a table, "--name value" and "--name=value" alike, "--" ends the
// options, anything else is an operand. The same table reads make's project
// files, and "@FILE" arguments are read from response files, as compilers do.
#ifndef UPKEEP_TOOLS_PACK_OPTIONS_H_
#define UPKEEP_TOOLS_PACK_OPTIONS_H_

#include <functional>
#include <string>
#include <vector>

namespace upkeep {
namespace pack {

// What an option's value is: paths in a project file are relative to its
// folder.
enum class ValueKind {
  kText,
  kPath,
  kVersionedPath,  // [VERSION=]DIR, DIR alone when the whole text is a folder
};

struct Option {
  // Spellings of the option, such as {"-o", "--output"}.
  std::vector<const char*> names;
  // A value option gets its text; a switch gets "" and is refused a value.
  bool takes_value = false;
  // Stores the value; returns a problem to report, empty when it is accepted.
  std::function<std::string(const std::string& value)> set;
  ValueKind kind = ValueKind::kText;
};

// Reads `args` against `options`. Operands (and everything after "--") go to
// `operands`. False with `problem` set on an unknown option, a missing or
// unwanted value, or a value `set` refuses.
bool ParseOptions(const std::vector<std::string>& args, const std::vector<Option>& options,
                  std::vector<std::string>* operands, std::string* problem);

// Helpers for the table.
Option Value(std::vector<const char*> names, std::string* target,
             ValueKind kind = ValueKind::kText);
Option Flag(std::vector<const char*> names, bool* target);

// The long name of an option ("--output"), or its first one.
std::string LongName(const Option& option);

// Every "@FILE" argument replaced by the arguments FILE holds: separated by
// blanks and line ends, a part in double or single quotes kept whole (quotes
// removed), backslashes as they are, so Windows paths need no escapes. FILE
// is UTF-8 (a byte-order mark is skipped) and may name further files, up to
// 8 deep. An "@FILE" whose file does not exist stays as it is, as compilers
// leave it. False (with `problem`) when a file cannot be read or a quote is
// not closed.
bool ExpandResponseFiles(const std::vector<std::string>& args, std::vector<std::string>* out,
                         std::string* problem);

// One setting of a project file: where it stands ("FILE:LINE") and the
// argument it makes ("--name=value", or "--name" for a switch).
struct ProjectSetting {
  std::string where;
  std::string arg;
};

// A project file's settings for `options`: one option a line, "NAME = VALUE"
// (NAME a long option, with or without its "--"), a switch's NAME alone or
// "NAME = yes|no|true|false|on|off|1|0"; blanks around names and values are
// dropped; lines starting with '#' or ';' and blank lines are skipped. UTF-8
// (a byte-order mark is skipped), CR LF or LF. Paths (kPath, kVersionedPath
// values) take '\' or '/' on either build; relative ones become relative to
// the file's folder. False with
// `problem` ("FILE:LINE: ...") when it cannot be read, on an unknown name or
// a malformed line.
bool ReadProjectFile(const std::string& path, const std::vector<Option>& options,
                     std::vector<ProjectSetting>* settings, std::string* problem);

// `value` made relative to `base` when it is a relative path of its kind.
std::string ResolveValue(const std::string& base, const std::string& value, ValueKind kind);

}  // namespace pack
}  // namespace upkeep

#endif  // UPKEEP_TOOLS_PACK_OPTIONS_H_
