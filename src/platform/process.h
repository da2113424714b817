// Process services: the program's own path, threads, sleeping, debugger output.
// Like the file system, the first three sit behind a small interface with a
// process-wide default, so tests can stand in for what they cannot bear (the
// test runner's own path, real waits).
#ifndef UPKEEP_PLATFORM_PROCESS_H_
#define UPKEEP_PLATFORM_PROCESS_H_

#include <cstdint>
#include <string>

namespace upkeep {

class Process {
 public:
  virtual ~Process() = default;
  // Full path of the running program file (GetModuleFileNameA); empty on failure.
  virtual std::string ProgramPath() = 0;
  // Starts `entry(arg)` on a new thread with the default stack size. The
  // thread is detached; false when it cannot be created.
  virtual bool StartThread(uint32_t (*entry)(void*), void* arg) = 0;
  virtual void Sleep(uint32_t ms) = 0;
};

// The process-wide services; the platform default unless a test set others.
Process* GetProcess();
// Null restores the default. Not thread-safe: tests set it before they run code.
void SetProcess(Process* process);
Process* DefaultProcess();

// Forwards everything to another Process; test doubles override what they fake.
class ProcessWrapper : public Process {
 public:
  explicit ProcessWrapper(Process* target) : target_(target) {}
  std::string ProgramPath() override { return target_->ProgramPath(); }
  bool StartThread(uint32_t (*entry)(void*), void* arg) override {
    return target_->StartThread(entry, arg);
  }
  void Sleep(uint32_t ms) override { target_->Sleep(ms); }

 private:
  Process* target_;
};

// Helpers over GetProcess().
std::string GetProgramPath();
bool StartThread(uint32_t (*entry)(void*), void* arg);
void SleepMs(uint32_t ms);

// Text for a debugger (OutputDebugStringA); never the user's terminal.
void DebugOutput(const char* text);

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_PROCESS_H_
