#include "platform/posix/exclusive_open.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace upkeep {
namespace posix {

namespace {

// Without lease support: look for the file among every process's descriptors
// and mappings that we can see. Returns true when someone else has it.
bool OpenedElsewhere(const std::string& native_path) {
  char real[PATH_MAX];
  if (realpath(native_path.c_str(), real) == nullptr) return false;
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
        char target[PATH_MAX];
        ssize_t n = readlink((base + "/fd/" + f->d_name).c_str(), target, sizeof target - 1);
        if (n > 0) {
          target[n] = 0;
          if (strcmp(target, real) == 0) {
            found = true;
            break;
          }
        }
      }
      closedir(fds);
    }
    if (found) break;
    if (FILE* maps = fopen((base + "/maps").c_str(), "r")) {
      char line[PATH_MAX + 128];
      while (fgets(line, sizeof line, maps) != nullptr) {
        char* path = strchr(line, '/');
        if (path == nullptr) continue;
        path[strcspn(path, "\n")] = 0;
        if (strcmp(path, real) == 0) {
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
