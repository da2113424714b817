#include "shell/shell_folders.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/process.h"
#include "platform/registry.h"
#include "shell/shortcut_links.h"

namespace upkeep {

namespace {

const char kMachineFolders[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const char kUserFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const char kCantRead[] = "Can't read from registy";

// One string value read into a path-sized buffer.
bool QueryFolder(RegistryKey* key, const char* name, std::string* folder) {
  uint8_t buffer[kMaxShellPath + 1];
  uint32_t size = sizeof buffer;
  uint32_t type = kRegNone;
  if (key->QueryValue(name, &type, buffer, &size) != kRegSuccess) return false;
  if (type != kRegSz && type != kRegExpandSz) return false;
  if (size > sizeof buffer) return false;
  const void* nul = std::memchr(buffer, 0, size);
  size_t length = nul != nullptr ? static_cast<const uint8_t*>(nul) - buffer : size;
  // A value that fills the buffer without its terminator does not fit a path.
  if (length > kMaxShellPath) return false;
  folder->assign(reinterpret_cast<const char*>(buffer), length);
  return true;
}

}  // namespace

bool GetStartMenuFolder(std::string* folder) {
  Registry* registry = GetRegistry();
  std::unique_ptr<RegistryKey> machine;
  if (registry->OpenKey(RegistryRoot::kLocalMachine, kMachineFolders, &machine) != kRegSuccess) {
    return false;
  }
  if (QueryFolder(machine.get(), "Common Start Menu", folder)) return true;
  std::unique_ptr<RegistryKey> user;
  if (registry->OpenKey(RegistryRoot::kCurrentUser, kUserFolders, &user) == kRegSuccess &&
      QueryFolder(user.get(), "Start Menu", folder)) {
    return true;
  }
  DebugOutput(kCantRead);
  return false;
}

bool GetDesktopFolder(std::string* folder) {
  std::unique_ptr<RegistryKey> user;
  if (GetRegistry()->OpenKey(RegistryRoot::kCurrentUser, kUserFolders, &user) != kRegSuccess) {
    return false;
  }
  if (QueryFolder(user.get(), "Desktop", folder)) return true;
  DebugOutput(kCantRead);
  return false;
}

}  // namespace upkeep
