// Reader of the text hives a Wine prefix keeps (system.reg, user.reg). The
// file is untrusted: anything malformed is skipped the way the Wine server
// skips it when it loads the hive, and nothing is read out of bounds.
#ifndef UPKEEP_PLATFORM_WINE_REGISTRY_FILE_H_
#define UPKEEP_PLATFORM_WINE_REGISTRY_FILE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace upkeep {

struct RegistryFileValue {
  std::u16string name;  // empty for the default value ("@")
  uint32_t type = kRegNone;
  std::vector<uint8_t> data;  // as stored: strings are UTF-16LE with their terminator
};

// Splits a key path into its components; repeated separators count as one and
// a trailing one is ignored. False when the path starts with a separator.
bool SplitRegistryPath(const std::u16string& path, std::vector<std::u16string>* components);

// Letter case ignored, as the registry compares names.
bool RegistryNamesEqual(const std::u16string& a, const std::u16string& b);

// Looks for the key `components` in the hive text `file`. False when the key is
// absent (or the text is not a hive); otherwise true with its values, every
// section of the key merged and the last definition of a value winning.
bool FindRegistryFileKey(const std::string& file, const std::vector<std::u16string>& components,
                         std::vector<RegistryFileValue>* values);

// Undoes the escapes of a quoted text starting at `pos` and running to the
// unescaped `end_char`. Returns the position after `end_char`, or npos when the
// text ends first. Exposed for tests.
size_t ParseRegistryString(const std::string& line, size_t pos, char end_char, std::u16string* out);

// RegQueryValueExA over one parsed value: strings become the ANSI code page.
int32_t CopyRegistryValueAnsi(const RegistryFileValue& value, uint32_t* type, uint8_t* data,
                              uint32_t* size);

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_WINE_REGISTRY_FILE_H_
