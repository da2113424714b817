#include "platform/posix/shared_counter.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace upkeep {
namespace posix {

namespace {

constexpr int kAttempts = 200;

void Pause() {
  struct timespec ts = {0, 5 * 1000 * 1000};
  nanosleep(&ts, nullptr);
}

// The file still has the name we opened it under. A leaving process may
// remove the name between our open and our lock; its inode is then dead.
bool StillLinked(int fd, const std::string& path) {
  struct stat by_fd;
  struct stat by_name;
  if (fstat(fd, &by_fd) != 0 || stat(path.c_str(), &by_name) != 0) return false;
  return by_fd.st_dev == by_name.st_dev && by_fd.st_ino == by_name.st_ino;
}

int OpenOrCreate(const std::string& path) {
  for (int i = 0; i < kAttempts; ++i) {
    // Open first without O_CREAT: protected_regular refuses O_CREAT on another
    // user's file in a sticky directory even when it exists and is writable.
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) return fd;
    if (errno != ENOENT) return -1;
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0) {
      fchmod(fd, 0666);  // every user's copy of the program shares it, whatever the umask
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

}  // namespace

bool SharedCounter::Attach(const std::string& path, int32_t initial) {
  if (attached()) return true;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    int fd = OpenOrCreate(path);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      return false;
    }
    bool alone = flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (alone) {
      // Nobody is attached: whatever the file holds is left over.
      if (!StillLinked(fd, path) || ftruncate(fd, sizeof(int32_t)) != 0) {
        close(fd);
        continue;
      }
    } else if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
      close(fd);  // someone is resetting it right now
      Pause();
      continue;
    }
    if (fstat(fd, &st) != 0 || st.st_size != static_cast<off_t>(sizeof(int32_t))) {
      close(fd);  // a creator died before sizing it; the next one alone resets it
      Pause();
      continue;
    }
    void* map = mmap(nullptr, sizeof(int32_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
      close(fd);
      return false;
    }
    int32_t* value = static_cast<int32_t*>(map);
    if (alone) {
      __atomic_store_n(value, initial, __ATOMIC_SEQ_CST);
      // Going from exclusive to shared is not atomic: in between a leaving
      // process may take the lock and remove the name, hence the check below.
      if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
        munmap(map, sizeof(int32_t));
        close(fd);
        continue;
      }
    }
    if (!StillLinked(fd, path)) {
      munmap(map, sizeof(int32_t));
      close(fd);
      continue;
    }
    fd_ = fd;
    value_ = value;
    path_ = path;
    return true;
  }
  return false;
}

void SharedCounter::Detach() {
  if (!attached()) return;
  // Only a process that is alone may remove the name; holding the exclusive
  // lock on the linked inode, nobody can replace it under us.
  if (flock(fd_, LOCK_EX | LOCK_NB) == 0 && StillLinked(fd_, path_)) unlink(path_.c_str());
  munmap(value_, sizeof(int32_t));
  close(fd_);
  value_ = nullptr;
  fd_ = -1;
}

int32_t SharedCounter::Decrement() { return __atomic_sub_fetch(value_, 1, __ATOMIC_SEQ_CST); }
int32_t SharedCounter::Increment() { return __atomic_add_fetch(value_, 1, __ATOMIC_SEQ_CST); }
int32_t SharedCounter::Load() const { return __atomic_load_n(value_, __ATOMIC_SEQ_CST); }

std::string InstanceCounterPath(const std::string& program_path) {
  struct stat st;
  if (program_path.empty() || stat(program_path.c_str(), &st) != 0) return std::string();
  struct stat dir;
  const char* folder = "/dev/shm";
  if (stat(folder, &dir) != 0 || !S_ISDIR(dir.st_mode) || access(folder, W_OK | X_OK) != 0) {
    folder = "/tmp";
  }
  char name[128];
  snprintf(name, sizeof name, "/upkeep-instance-%llx-%llx",
           static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino));
  return std::string(folder) + name;
}

}  // namespace posix
}  // namespace upkeep
