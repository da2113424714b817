#include <windows.h>

#include <vector>

#include "platform/fs_path.h"
#include "platform/win32/wide_path.h"

namespace upkeep {

namespace {

// The plain API's limit for a folder's path (room is left for an 8.3 name).
constexpr size_t kPlainPathLimit = MAX_PATH - 12;

bool IsAbsolute(const std::wstring& p) {
  const bool drive = p.size() >= 3 && p[1] == L':' && (p[2] == L'\\' || p[2] == L'/');
  const bool unc =
      p.size() >= 2 && (p[0] == L'\\' || p[0] == L'/') && (p[1] == L'\\' || p[1] == L'/');
  return drive || unc;
}

}  // namespace

std::filesystem::path FsPath(const std::string& text) {
  std::wstring wide;
  if (!win32::WidePath(text, &wide)) return std::filesystem::path();
  // A relative path that grows long below the current folder gets the long
  // form too, which only an absolute path can take.
  if (wide.size() >= kPlainPathLimit && !IsAbsolute(wide) && wide.compare(0, 4, L"\\\\?\\") != 0) {
    DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::vector<wchar_t> full(n + 1);
    DWORD got = n == 0 ? 0 : GetFullPathNameW(wide.c_str(), n + 1, full.data(), nullptr);
    std::string absolute;
    if (got > 0 && got <= n && win32::NarrowPath(full.data(), got, &absolute) &&
        !win32::WidePath(absolute, &wide)) {
      return std::filesystem::path();
    }
  }
  return std::filesystem::path(wide);
}

std::string FsText(const std::filesystem::path& path) {
  std::wstring wide = path.native();
  if (wide.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    wide = L"\\\\" + wide.substr(8);
  } else if (wide.compare(0, 4, L"\\\\?\\") == 0) {
    wide = wide.substr(4);
  }
  std::string text;
  if (!win32::NarrowPath(wide, &text)) return std::string();
  return text;
}

}  // namespace upkeep
