#include "platform/posix/exclusive_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace upkeep {
namespace posix {

int OpenExclusive(const std::string& native_path) {
  struct stat st;
  if (stat(native_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  if ((st.st_mode & S_IWUSR) == 0) return -1;  // read-only, as Windows sees it
  // A write lease needs a read-only descriptor and fails with EAGAIN while any
  // other descriptor for the file is open anywhere on the system.
  int probe = open(native_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (probe < 0) return -1;
  if (fcntl(probe, F_SETLEASE, F_WRLCK) != 0) {
    close(probe);
    return -1;
  }
  fcntl(probe, F_SETLEASE, F_UNLCK);
  close(probe);
  return open(native_path.c_str(), O_WRONLY | O_CLOEXEC);
}

}  // namespace posix
}  // namespace upkeep
