// The image's load configuration. Its one job here: DependentLoadFlags makes
// the loader resolve the imports of every DLL this program pulls in from the
// system directory only, so a DLL planted beside the program under the name
// of such a dependency is never loaded, even before any of our code runs.
// The linker points the load-configuration directory at this symbol and takes
// the directory's size from its first field.
#include <windows.h>

#include <cstddef>

namespace {

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

// The headers still call DependentLoadFlags "Reserved1".
static_assert(offsetof(IMAGE_LOAD_CONFIG_DIRECTORY, Reserved1) ==
                  offsetof(IMAGE_LOAD_CONFIG_DIRECTORY, CSDVersion) + sizeof(WORD),
              "DependentLoadFlags follows CSDVersion");

constexpr IMAGE_LOAD_CONFIG_DIRECTORY MakeLoadConfig() {
  IMAGE_LOAD_CONFIG_DIRECTORY config{};
  config.Size = sizeof(IMAGE_LOAD_CONFIG_DIRECTORY);
  config.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;
  return config;
}

// A constant: the loader reads it before any initialiser could run.
constexpr IMAGE_LOAD_CONFIG_DIRECTORY kLoadConfig = MakeLoadConfig();

}  // namespace

extern "C" {
extern const IMAGE_LOAD_CONFIG_DIRECTORY _load_config_used;
__attribute__((used)) const IMAGE_LOAD_CONFIG_DIRECTORY _load_config_used = kLoadConfig;
}
