#include <windows.h>
#include <shellapi.h>

#include "platform/shell_open.h"
#include "platform/win32/system_dll.h"

namespace upkeep {

void ShellOpenFile(const std::string& path, void* owner) {
  using ShellExecuteFn = HINSTANCE(WINAPI*)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT);
  static const ShellExecuteFn shell_execute =
      SystemProc<ShellExecuteFn>("shell32.dll", "ShellExecuteA");
  if (shell_execute == nullptr) return;
  shell_execute(static_cast<HWND>(owner), "open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace upkeep
