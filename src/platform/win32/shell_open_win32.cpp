#include <windows.h>
#include <shellapi.h>

#include "platform/shell_open.h"
#include "platform/win32/system_dll.h"
#include "platform/win32/wide_path.h"

namespace upkeep {

void ShellOpenFile(const std::string& path, void* owner) {
  using ShellExecuteFn = HINSTANCE(WINAPI*)(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT);
  static const ShellExecuteFn shell_execute =
      SystemProc<ShellExecuteFn>("shell32.dll", "ShellExecuteW");
  // A path the code page cannot spell names no file to open.
  std::wstring wide;
  if (shell_execute == nullptr || !win32::WidePath(path, &wide)) return;
  shell_execute(static_cast<HWND>(owner), L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace upkeep
