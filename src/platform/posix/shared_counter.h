// A 32-bit counter shared by every process that attaches to the same file,
// with the lifetime of a shared image section: it keeps its value while any
// attached process lives and starts afresh from its initial value once none
// does. Each attached process holds a shared lock on the file; the kernel drops
// the lock when the process ends, crashed or not, so a process that finds the
// file unlocked knows the value is stale and resets it.
#ifndef UPKEEP_PLATFORM_POSIX_SHARED_COUNTER_H_
#define UPKEEP_PLATFORM_POSIX_SHARED_COUNTER_H_

#include <cstdint>
#include <string>

namespace upkeep {
namespace posix {

class SharedCounter {
 public:
  SharedCounter() = default;
  ~SharedCounter() { Detach(); }
  SharedCounter(const SharedCounter&) = delete;
  SharedCounter& operator=(const SharedCounter&) = delete;

  // False when the file cannot be opened, locked or mapped.
  bool Attach(const std::string& path, int32_t initial);
  // Gives up this process's lock; the last one to leave removes the file.
  void Detach();
  bool attached() const { return value_ != nullptr; }

  // Atomic; the new value. Only when attached.
  int32_t Decrement();
  int32_t Increment();
  int32_t Load() const;

 private:
  int fd_ = -1;
  int32_t* value_ = nullptr;
  std::string path_;
};

// The counter file of a program file: named after its device and inode, in
// /dev/shm (or /tmp), so every copy of the program at that file shares it.
// Empty when the program file cannot be examined.
std::string InstanceCounterPath(const std::string& program_path);

}  // namespace posix
}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_POSIX_SHARED_COUNTER_H_
