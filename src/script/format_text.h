// Positional formatting of message templates: "%1", "%2", ... take the first,
// second, ... text, in any order, any number of times, or not at all.
#ifndef UPKEEP_SCRIPT_FORMAT_TEXT_H_
#define UPKEEP_SCRIPT_FORMAT_TEXT_H_

#include <string>
#include <vector>

namespace upkeep {

// As the system's message formatting from a string source does it (see
// platform/format_message.h). An insert without an argument inserts nothing;
// a format other than a text one inserts the text; a trailing "%" stays. A
// null template gives "".
std::string FormatText(const char* templ, const std::vector<std::string>& args);
std::string FormatText(const std::string& templ, const std::vector<std::string>& args);

}  // namespace upkeep

#endif  // UPKEEP_SCRIPT_FORMAT_TEXT_H_
