// Where players' Wine prefixes live: Steam's Proton prefixes in every library
// (native and flatpak Steam), Lutris's and Bottles' default folders. Paths are
// native.
#ifndef UPKEEP_PLATFORM_POSIX_WINE_PREFIXES_H_
#define UPKEEP_PLATFORM_POSIX_WINE_PREFIXES_H_

#include <string>
#include <vector>

namespace upkeep {
namespace posix {

// One folder that holds prefixes, and the prefixes found in it.
struct PrefixPlace {
  std::string what;  // "Steam library", "Lutris", "Bottles"
  std::string folder;
  std::vector<std::string> prefixes;
};

// The places under `home` that exist, in a fixed order (Steam roots, their
// other libraries, Lutris, Bottles), each folder and each prefix once even
// when reached through links.
std::vector<PrefixPlace> FindPrefixPlaces(const std::string& home);

// Library folders named by a libraryfolders.vdf text, in file order (both the
// current layout, "path" inside numbered blocks, and the older one, numbered
// keys with the path as value).
std::vector<std::string> SteamLibraryFolders(const std::string& vdf);

// True when the local machine hive of `prefix` holds `value` under `key` (the
// 32-bit view included), read as the updater reads it.
bool PrefixHasValue(const std::string& prefix, const std::string& key, const std::string& value);

// The folder C: is in `prefix` (dosdevices/c:, followed), or empty.
std::string DriveCFolder(const std::string& prefix);

}  // namespace posix
}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_POSIX_WINE_PREFIXES_H_
