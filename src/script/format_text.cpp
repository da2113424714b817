#include "script/format_text.h"

#include "platform/format_message.h"

namespace upkeep {

std::string FormatText(const char* templ, const std::vector<std::string>& args) {
  return FormatMessageText(templ, args);
}

std::string FormatText(const std::string& templ, const std::vector<std::string>& args) {
  return FormatMessageText(templ.c_str(), args);
}

}  // namespace upkeep
