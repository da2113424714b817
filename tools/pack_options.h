// The command-line conventions every upkeep-pack command shares: options
// from a table, "--name value" and "--name=value" alike, "--" ends the
// options, anything else is an operand.
#ifndef UPKEEP_TOOLS_PACK_OPTIONS_H_
#define UPKEEP_TOOLS_PACK_OPTIONS_H_

#include <functional>
#include <string>
#include <vector>

namespace upkeep {
namespace pack {

struct Option {
  // Spellings of the option, such as {"-o", "--output"}.
  std::vector<const char*> names;
  // A value option gets its text; a switch gets "" and is refused a value.
  bool takes_value = false;
  // Stores the value; returns a problem to report, empty when it is accepted.
  std::function<std::string(const std::string& value)> set;
};

// Reads `args` against `options`. Operands (and everything after "--") go to
// `operands`. False with `problem` set on an unknown option, a missing or
// unwanted value, or a value `set` refuses.
bool ParseOptions(const std::vector<std::string>& args, const std::vector<Option>& options,
                  std::vector<std::string>* operands, std::string* problem);

// Helpers for the table.
Option Value(std::vector<const char*> names, std::string* target);
Option Flag(std::vector<const char*> names, bool* target);

}  // namespace pack
}  // namespace upkeep

#endif  // UPKEEP_TOOLS_PACK_OPTIONS_H_
