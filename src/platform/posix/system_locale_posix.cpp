#include <cstdlib>
#include <string>

#include "platform/system_locale.h"
#include "platform/text.h"

namespace upkeep {

int SystemDefaultCodePage() {
  const char* names[] = {"LC_ALL", "LC_CTYPE", "LANG"};
  for (const char* name : names) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == 0) continue;
    std::string language(value);
    size_t end = language.find_first_of("_.@");
    if (end != std::string::npos) language.resize(end);
    int code_page = LanguageCodePage(language.c_str());
    return code_page != 0 ? code_page : 1252;
  }
  return 1252;
}

void ApplyRuntimeLocale(const char*) {}

}  // namespace upkeep
