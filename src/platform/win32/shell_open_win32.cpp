#include <windows.h>
#include <shellapi.h>

#include "platform/shell_open.h"

namespace upkeep {

void ShellOpenFile(const std::string& path, void* owner) {
  ShellExecuteA(static_cast<HWND>(owner), "open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace upkeep
