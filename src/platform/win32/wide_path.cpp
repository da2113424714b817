#include "platform/win32/wide_path.h"

#include <windows.h>

#include <vector>

#include "platform/code_page.h"

namespace upkeep {
namespace win32 {

namespace {

// CreateDirectoryW's limit for plain paths is MAX_PATH less room for an 8.3 name.
constexpr size_t kPlainPathLimit = MAX_PATH - 12;

bool IsDriveAbsolute(const std::wstring& p) {
  return p.size() >= 3 && p[1] == L':' && (p[2] == L'\\' || p[2] == L'/');
}

bool IsUnc(const std::wstring& p) {
  return p.size() >= 2 && (p[0] == L'\\' || p[0] == L'/') && (p[1] == L'\\' || p[1] == L'/');
}

std::wstring FullPath(const std::wstring& path) {
  DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (n == 0) return std::wstring();
  std::vector<wchar_t> buf(n);
  DWORD got = GetFullPathNameW(path.c_str(), n, buf.data(), nullptr);
  if (got == 0 || got >= n) return std::wstring();
  return std::wstring(buf.data(), got);
}

}  // namespace

bool WidePath(const std::string& path, std::wstring* out) {
  std::u16string wide;
  if (!AnsiToUtf16Exact(path, &wide, PathCodePage())) return false;
  out->assign(wide.begin(), wide.end());
  if (out->size() < kPlainPathLimit || out->compare(0, 4, L"\\\\?\\") == 0 ||
      out->compare(0, 4, L"\\\\.\\") == 0) {
    return true;
  }
  // The long form skips the system's own clean-up of the path, so it is done
  // here first ('/' to '\', "." and ".." resolved).
  if (!IsDriveAbsolute(*out) && !IsUnc(*out)) return true;
  std::wstring full = FullPath(*out);
  if (full.empty()) return true;
  if (IsDriveAbsolute(full)) {
    *out = L"\\\\?\\" + full;
  } else if (IsUnc(full)) {
    *out = L"\\\\?\\UNC\\" + full.substr(2);
  }
  return true;
}

bool NarrowPath(const wchar_t* text, size_t length, std::string* out) {
  std::u16string wide(reinterpret_cast<const char16_t*>(text), length);
  return Utf16ToAnsiExact(wide, out, PathCodePage());
}

}  // namespace win32
}  // namespace upkeep
