// Where players' Wine prefixes live: Steam's Proton prefixes in every library
// (native, flatpak and snap Steam), Lutris's, Heroic's, Bottles' and
// winetricks' default folders. Paths are native.
#ifndef UPKEEP_PLATFORM_POSIX_WINE_PREFIXES_H_
#define UPKEEP_PLATFORM_POSIX_WINE_PREFIXES_H_

#include <string>
#include <vector>

namespace upkeep {
namespace posix {

// One folder that holds prefixes, and the prefixes found in it.
struct PrefixPlace {
  std::string what;  // "Steam library", "Lutris", "Heroic", "Bottles", "winetricks"
  std::string folder;
  std::vector<std::string> prefixes;
};

// The places under `home` that exist, in a fixed order (Steam roots, their
// other libraries, Lutris, Heroic, Bottles, winetricks), each folder and each
// prefix once even when reached through links. Only regular files are read.
std::vector<PrefixPlace> FindPrefixPlaces(const std::string& home);

// Library folders named by a libraryfolders.vdf text, in file order (both the
// current layout, "path" inside numbered blocks, and the older one, numbered
// keys with the path as value).
std::vector<std::string> SteamLibraryFolders(const std::string& vdf);

// A folder with a system.reg that is a regular file.
bool IsWinePrefix(const std::string& dir);

// True when the local machine hive of `prefix` holds `value` under `key` (the
// 32-bit view included), read as the updater reads it. A hive whose text
// cannot hold the key's name is passed over without being parsed.
bool PrefixHasValue(const std::string& prefix, const std::string& key, const std::string& value);

// Whether a hive's text may hold values under the key: false only when it
// certainly does not, no key line ending with the key's last name (a key
// that is only the parent of others has no values). Exposed for tests.
bool HiveMayHoldKey(const std::string& hive, const std::string& key);

// The folder C: is in `prefix` (dosdevices/c:, followed), or empty.
std::string DriveCFolder(const std::string& prefix);

// The prefix a player most likely meant by a folder that is not one: a
// Proton compatdata/<app id> folder (its pfx), a Lutris game folder (its
// prefix), a prefix's drive_c (the prefix), or a game's folder below
// steamapps/common (the Proton prefix Steam made for that app). `dir` itself
// when none applies; *why (when given) says what was taken, else is empty.
std::string MeantPrefix(const std::string& dir, std::string* why);

}  // namespace posix
}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_POSIX_WINE_PREFIXES_H_
