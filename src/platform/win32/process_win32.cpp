#include <windows.h>

#include <new>
#include <string>

#include "platform/code_page.h"
#include "platform/process.h"
#include "platform/win32/wide_path.h"

namespace upkeep {

namespace {

struct ThreadStart {
  uint32_t (*entry)(void*);
  void* arg;
};

DWORD WINAPI ThreadMain(LPVOID p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  return start.entry(start.arg);
}

class Win32Process : public Process {
 public:
  std::string ProgramPath() override {
    wchar_t buf[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::string();
    // In the path code page of this moment: a path taken before a string
    // table selects its locale is asked for again afterwards.
    std::string path;
    if (!win32::NarrowPath(buf, n, &path) || path.size() >= MAX_PATH) return std::string();
    return path;
  }

  bool StartThread(uint32_t (*entry)(void*), void* arg) override {
    ThreadStart* start = new (std::nothrow) ThreadStart{entry, arg};
    if (start == nullptr) return false;
    HANDLE thread = CreateThread(nullptr, 0, ThreadMain, start, 0, nullptr);
    if (thread == nullptr) {
      delete start;
      return false;
    }
    CloseHandle(thread);
    return true;
  }

  void Sleep(uint32_t ms) override { ::Sleep(ms); }
};

}  // namespace

Process* DefaultProcess() {
  static Win32Process process;
  return &process;
}

void DebugOutput(const char* text) {
  // The texts are in the ANSI code page the platform uses, not the system's.
  const std::u16string wide = AnsiToUtf16(text != nullptr ? text : "");
  OutputDebugStringW(std::wstring(wide.begin(), wide.end()).c_str());
}

}  // namespace upkeep
