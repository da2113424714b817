#include "platform/format_message.h"

namespace upkeep {

bool SystemFormatMessage(const char* templ, const char* const* args, std::string* out) {
  return EmulateFormatMessage(templ, args, out);
}

}  // namespace upkeep
