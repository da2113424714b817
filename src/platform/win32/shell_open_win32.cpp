#include <windows.h>
#include <shellapi.h>

#include "platform/shell_open.h"
#include "platform/win32/system_dll.h"
#include "platform/win32/wide_path.h"

namespace upkeep {

namespace {

using ShellExecuteExFn = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);

ShellExecuteExFn ShellExecuteEx() {
  static const ShellExecuteExFn shell_execute =
      SystemProc<ShellExecuteExFn>("shell32.dll", "ShellExecuteExW");
  return shell_execute;
}

// ShellExecuteExW's "open"; `type` (a file class) in place of the file's own,
// when given. False when the shell found no program for it; the shell says
// nothing to the player then.
bool Open(const std::wstring& path, HWND owner, const wchar_t* type, bool* no_program) {
  *no_program = false;
  const ShellExecuteExFn shell_execute = ShellExecuteEx();
  if (shell_execute == nullptr) return false;
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_FLAG_NO_UI | (type != nullptr ? SEE_MASK_CLASSNAME : 0);
  info.hwnd = owner;
  info.lpVerb = L"open";
  info.lpFile = path.c_str();
  info.lpClass = type;
  info.nShow = SW_SHOWNORMAL;
  if (shell_execute(&info)) return true;
  const DWORD error = GetLastError();
  *no_program =
      error == ERROR_NO_ASSOCIATION || reinterpret_cast<INT_PTR>(info.hInstApp) == SE_ERR_NOASSOC;
  return false;
}

// The file class of text documents: what .txt files open as ("txtfile").
bool TextFileClass(std::wstring* type) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L".txt", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return false;
  }
  wchar_t name[256];
  DWORD size = sizeof name - sizeof name[0];
  DWORD kind = 0;
  const LONG got =
      RegQueryValueExW(key, nullptr, nullptr, &kind, reinterpret_cast<BYTE*>(name), &size);
  RegCloseKey(key);
  if (got != ERROR_SUCCESS || kind != REG_SZ) return false;
  name[size / sizeof name[0]] = L'\0';
  *type = name;
  return !type->empty();
}

}  // namespace

void ShellOpenFile(const std::string& path, void* owner) {
  // A path the code page cannot spell names no file to open.
  std::wstring wide;
  if (!win32::WidePath(path, &wide)) return;
  bool no_program = false;
  Open(wide, static_cast<HWND>(owner), nullptr, &no_program);
}

void ShellOpenTextFile(const std::string& path, void* owner) {
  std::wstring wide;
  if (!win32::WidePath(path, &wide)) return;
  bool no_program = false;
  if (Open(wide, static_cast<HWND>(owner), nullptr, &no_program) || !no_program) return;
  // A type with no program of its own (.log on a fresh Wine prefix): it is
  // text, so it opens as a .txt file would.
  std::wstring type;
  if (TextFileClass(&type)) Open(wide, static_cast<HWND>(owner), type.c_str(), &no_program);
}

}  // namespace upkeep
