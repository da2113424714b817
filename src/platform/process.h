// Process services: the program's own path, threads, sleeping, debugger output.
#ifndef UPKEEP_PLATFORM_PROCESS_H_
#define UPKEEP_PLATFORM_PROCESS_H_

#include <cstdint>
#include <string>

namespace upkeep {

// Full path of the running program file (GetModuleFileNameA); empty on failure.
std::string GetProgramPath();

// Starts `entry(arg)` on a new thread with the default stack size. The thread is
// detached; false when it cannot be created.
bool StartThread(uint32_t (*entry)(void*), void* arg);

void SleepMs(uint32_t ms);

// Text for a debugger (OutputDebugStringA); never the user's terminal.
void DebugOutput(const char* text);

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_PROCESS_H_
