// Path texts reach the system through its wide (W) API: converted from the
// path code page (code_page.h) exactly, so a name the code page cannot spell
// is refused instead of standing in for another file, and names the system
// gives back are converted the same way.
#ifndef UPKEEP_PLATFORM_WIN32_WIDE_PATH_H_
#define UPKEEP_PLATFORM_WIN32_WIDE_PATH_H_

#include <string>

namespace upkeep {
namespace win32 {

// The path in UTF-16; false when it is not valid text in the path code page.
// Absolute paths too long for the plain API get the "\\?\" form, so deep
// trees stay reachable.
bool WidePath(const std::string& path, std::wstring* out);
// A text the system gave (a name, a folder) in the path code page; false when
// a character has no equivalent there.
bool NarrowPath(const wchar_t* text, size_t length, std::string* out);
inline bool NarrowPath(const std::wstring& text, std::string* out) {
  return NarrowPath(text.data(), text.size(), out);
}

}  // namespace win32
}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_WIN32_WIDE_PATH_H_
