// Hands a document to the desktop to be opened with its usual program.
#ifndef UPKEEP_PLATFORM_SHELL_OPEN_H_
#define UPKEEP_PLATFORM_SHELL_OPEN_H_

#include <string>

namespace upkeep {

// ShellExecuteW(owner, "open", path, shown normally) on Windows; on Linux
// xdg-open on the path's native form, and only when a display is there. Does
// not wait; any failure is silent. `owner` is a window handle or null.
void ShellOpenFile(const std::string& path, void* owner);

// A text document (a log) as ShellOpenFile opens it; on Windows, when its
// type has no program of its own, with the program .txt files open with.
void ShellOpenTextFile(const std::string& path, void* owner);

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_SHELL_OPEN_H_
