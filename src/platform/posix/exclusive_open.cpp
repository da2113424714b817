#include "platform/posix/exclusive_open.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace upkeep {
namespace posix {

namespace {

// Without lease support: look for the file among every process's descriptors
// and mappings that we can see. Returns true when someone else has it. The
// file is known by its device and inode, not its path: a game run by Proton
// in a container, or by flatpak Steam, sees the prefix under another path.
bool OpenedElsewhere(const std::string& native_path) {
  struct stat mine;
  if (stat(native_path.c_str(), &mine) != 0) return false;
  std::string me = std::to_string(getpid());
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  bool found = false;
  while (!found) {
    struct dirent* p = readdir(proc);
    if (p == nullptr) break;
    if (p->d_name[0] < '0' || p->d_name[0] > '9' || me == p->d_name) continue;
    std::string base = std::string("/proc/") + p->d_name;
    if (DIR* fds = opendir((base + "/fd").c_str())) {
      while (struct dirent* f = readdir(fds)) {
        struct stat st;
        if (f->d_name[0] != '.' && stat((base + "/fd/" + f->d_name).c_str(), &st) == 0 &&
            st.st_dev == mine.st_dev && st.st_ino == mine.st_ino) {
          found = true;
          break;
        }
      }
      closedir(fds);
    }
    if (found) break;
    if (FILE* maps = fopen((base + "/maps").c_str(), "r")) {
      char line[PATH_MAX + 128];
      while (fgets(line, sizeof line, maps) != nullptr) {
        // address perms offset major:minor inode path
        unsigned major_id = 0, minor_id = 0;
        unsigned long long inode = 0;
        if (sscanf(line, "%*s %*s %*s %x:%x %llu", &major_id, &minor_id, &inode) == 3 &&
            inode == static_cast<unsigned long long>(mine.st_ino) &&
            makedev(major_id, minor_id) == mine.st_dev) {
          found = true;
          break;
        }
      }
      fclose(maps);
    }
  }
  closedir(proc);
  return found;
}

}  // namespace

int OpenExclusive(const std::string& native_path) {
  struct stat st;
  if (stat(native_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  // Read-only as Wine shows it: no write permission for anyone. Otherwise the
  // final open decides, with the permissions of whoever runs us.
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return -1;
  // A write lease needs a read-only descriptor and fails with EAGAIN while any
  // other descriptor or mapping of the file is open anywhere on the system.
  int probe = open(native_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (probe < 0) return -1;
  if (fcntl(probe, F_SETLEASE, F_WRLCK) != 0) {
    int err = errno;
    close(probe);
    // Leases can be switched off (fs.leases-enable=0), unsupported by the
    // file system, or refused on a file someone else owns; then look for
    // other openers directly.
    if ((err != EINVAL && err != ENOSYS && err != ENOTSUP && err != EACCES) ||
        OpenedElsewhere(native_path)) {
      return -1;
    }
  } else {
    fcntl(probe, F_SETLEASE, F_UNLCK);
    close(probe);
  }
  return open(native_path.c_str(), O_WRONLY | O_CLOEXEC);
}

bool OpenedElsewhereForTesting(const std::string& native_path) {
  return OpenedElsewhere(native_path);
}

}  // namespace posix
}  // namespace upkeep
