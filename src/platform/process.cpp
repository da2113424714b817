#include "platform/process.h"

namespace upkeep {

namespace {
Process* g_process = nullptr;
}  // namespace

Process* GetProcess() { return g_process != nullptr ? g_process : DefaultProcess(); }

void SetProcess(Process* process) { g_process = process; }

std::string GetProgramPath() { return GetProcess()->ProgramPath(); }

bool StartThread(uint32_t (*entry)(void*), void* arg) {
  return GetProcess()->StartThread(entry, arg);
}

void SleepMs(uint32_t ms) { GetProcess()->Sleep(ms); }

}  // namespace upkeep
