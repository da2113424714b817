// How Windows-style paths reach a Linux file system: a Wine prefix is the machine.
#ifndef UPKEEP_PLATFORM_POSIX_PATH_H_
#define UPKEEP_PLATFORM_POSIX_PATH_H_

#include <sys/stat.h>

#include <string>

namespace upkeep {
namespace posix {

// The prefix chosen at start-up (UseWinePrefix), else $WINEPREFIX, else ~/.wine.
std::string WinePrefix();
// Makes `dir` the machine for the rest of the process; empty goes back to the
// environment. Set before any other thread runs.
void UseWinePrefix(const std::string& dir);
// What UseWinePrefix set, or empty.
std::string ChosenWinePrefix();

struct ResolvedPath {
  std::string native;   // the path to hand to the system
  bool exists = false;  // every component was found
  // What stat() gave for `native` while it was resolved (links followed), so
  // callers need not ask again; false when it was not taken or failed.
  bool statted = false;
  struct stat st {};
};

// '\' becomes '/'; "X:" goes through $WINEPREFIX/dosdevices/x:; a leading '/'
// is native; anything else is relative to the current directory. Each
// component is matched without regard to case when the exact name is absent.
// Native paths are bytes as the system takes them; the components of every
// other path are ANSI text and reach the disk as UTF-8, as Wine stores names.
// A component the code page cannot spell resolves to nothing (empty native).
ResolvedPath Resolve(const std::string& path);
inline std::string NativePath(const std::string& path) { return Resolve(path).native; }

// True for "X:" paths (drive-relative or absolute).
bool HasDriveLetter(const std::string& path);
// True for paths Resolve hands over as they are.
bool IsNativePath(const std::string& path);

// A name found on disk as callers of a non-native path see it: ANSI, or
// false when the code page cannot hold it (it is then left out, never shown
// with stand-ins that could name another file).
bool DiskNameToAnsi(const std::string& disk_name, std::string* ansi);

// The whole content of `path` when it is a regular file of at most `limit`
// bytes. Anything else (a named pipe, a device, a folder) is not opened for
// reading in a way that could wait forever: false.
bool ReadRegularFile(const std::string& path, size_t limit, std::string* text);

}  // namespace posix
}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_POSIX_PATH_H_
