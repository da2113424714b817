// How Windows-style paths reach a Linux file system: a Wine prefix is the machine.
#ifndef UPKEEP_PLATFORM_POSIX_PATH_H_
#define UPKEEP_PLATFORM_POSIX_PATH_H_

#include <string>

namespace upkeep {
namespace posix {

// $WINEPREFIX, or ~/.wine.
std::string WinePrefix();

struct ResolvedPath {
  std::string native;   // the path to hand to the system
  bool exists = false;  // every component was found
};

// '\' becomes '/'; "X:" goes through $WINEPREFIX/dosdevices/x:; a leading '/'
// is native; anything else is relative to the current directory. Each
// component is matched without regard to case when the exact name is absent.
ResolvedPath Resolve(const std::string& path);
inline std::string NativePath(const std::string& path) { return Resolve(path).native; }

// True for "X:" paths (drive-relative or absolute).
bool HasDriveLetter(const std::string& path);

}  // namespace posix
}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_POSIX_PATH_H_
