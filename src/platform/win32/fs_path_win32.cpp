#include <windows.h>

#include <vector>

#include "platform/code_page.h"
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

std::string FsAbsolute(const std::string& text) {
  std::u16string wide16;
  if (!AnsiToUtf16Exact(text, &wide16, PathCodePage()) || wide16.empty()) return std::string();
  std::wstring wide(wide16.begin(), wide16.end());
  // The long form is absolute already; the wide call takes long paths as they are.
  const bool unc = wide.compare(0, 8, L"\\\\?\\UNC\\") == 0;
  if (unc) {
    wide = L"\\\\" + wide.substr(8);
  } else if (wide.compare(0, 4, L"\\\\?\\") == 0) {
    wide = wide.substr(4);
  }
  DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return std::string();
  std::vector<wchar_t> full(n + 1);
  DWORD got = GetFullPathNameW(wide.c_str(), n + 1, full.data(), nullptr);
  std::string out;
  if (got == 0 || got > n || !win32::NarrowPath(full.data(), got, &out)) return std::string();
  return out;
}

bool FsStat(const std::string& text, FolderEntry* what) {
  std::wstring wide;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!win32::WidePath(text, &wide) ||
      !GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data))
    return false;
  *what = FolderEntry();
  if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    what->kind = FolderEntry::Kind::kOther;
  } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    what->kind = FolderEntry::Kind::kFolder;
  } else {
    what->kind = FolderEntry::Kind::kFile;
    what->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }
  return true;
}

bool ListFolder(const std::string& folder, std::vector<FolderEntry>* entries, std::string* error) {
  entries->clear();
  std::string pattern = folder;
  if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
  std::wstring wide;
  if (!win32::WidePath(pattern + "*", &wide)) {
    *error = "cannot list " + folder + ": not a path";
    return false;
  }
  WIN32_FIND_DATAW data;
  HANDLE find =
      FindFirstFileExW(wide.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    // An empty folder still lists "." and ".."; nothing at all means it failed.
    *error = "cannot list " + folder + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  bool ok = true;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    FolderEntry e;
    if (!win32::NarrowPath(name, &e.name)) {
      *error = "a name in " + folder + " cannot be read as text";
      ok = false;
      break;
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      e.kind = FolderEntry::Kind::kOther;
    } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      e.kind = FolderEntry::Kind::kFolder;
    } else {
      e.kind = FolderEntry::Kind::kFile;
      e.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    entries->push_back(std::move(e));
  } while (FindNextFileW(find, &data));
  const DWORD last = GetLastError();
  FindClose(find);
  if (ok && last != ERROR_NO_MORE_FILES) {
    *error = "cannot list " + folder + " (error " + std::to_string(last) + ")";
    ok = false;
  }
  return ok;
}

}  // namespace upkeep
