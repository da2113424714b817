#include <windows.h>

#include <clocale>

#include "platform/system_locale.h"

namespace upkeep {

int SystemDefaultCodePage() { return static_cast<int>(GetACP()); }

void ApplyRuntimeLocale(const char* name) { std::setlocale(LC_ALL, name); }

}  // namespace upkeep
