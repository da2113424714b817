#include "platform/file_system.h"

#include <algorithm>
#include <string>

#include "platform/text.h"

namespace upkeep {

namespace {
FileSystem* g_file_system = nullptr;

bool MatchFrom(const char* p, const char* n) {
  // Iterative '*' matching with one backtrack point: linear enough for names.
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*n != 0) {
    if (*p == '*') {
      star = p++;
      resume = n;
    } else if (*p == '?' || (*p != 0 && ToLowerChar(static_cast<unsigned char>(*p)) ==
                                            ToLowerChar(static_cast<unsigned char>(*n)))) {
      ++p;
      ++n;
    } else if (star != nullptr) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (*p == '*') ++p;
  return *p == 0;
}
}  // namespace

bool WholePagesIn(uint64_t size, uint64_t page, uint64_t offset, uint64_t length, uint64_t* from,
                  uint64_t* to) {
  if (offset >= size || page == 0) return false;
  const uint64_t end = std::min(size - offset, length) + offset;
  *from = (offset + page - 1) / page * page;
  *to = end == size ? end : end / page * page;
  return *to > *from;
}

FileSystem* GetFileSystem() {
  return g_file_system != nullptr ? g_file_system : DefaultFileSystem();
}

void SetFileSystem(FileSystem* fs) { g_file_system = fs; }

bool PathExists(const std::string& path) { return PathExists(GetFileSystem(), path); }

bool IsDirectory(const std::string& path) { return IsDirectory(GetFileSystem(), path); }

bool PathExists(FileSystem* fs, const std::string& path) {
  return fs->GetAttributes(path) != kInvalidAttributes;
}

bool IsDirectory(FileSystem* fs, const std::string& path) {
  uint32_t a = fs->GetAttributes(path);
  return a != kInvalidAttributes && (a & kAttrDirectory) != 0;
}

bool IsLink(const std::string& path) { return IsLink(GetFileSystem(), path); }

bool IsLink(FileSystem* fs, const std::string& path) {
  const uint32_t a = fs->GetLinkAttributes(path);
  return a != kInvalidAttributes && (a & kAttrReparsePoint) != 0;
}

bool ClearName(const std::string& path) { return ClearName(GetFileSystem(), path); }

bool ClearName(FileSystem* fs, const std::string& path) {
  const uint32_t a = fs->GetLinkAttributes(path);
  if (a == kInvalidAttributes) return true;
  if ((a & kAttrReparsePoint) != 0) return fs->RemoveLink(path);
  if ((a & kAttrDirectory) != 0) return false;
  if ((a & kAttrReadOnly) != 0) fs->SetAttributes(path, kAttrNormal);
  return fs->Delete(path);
}

std::unique_ptr<File> CreateNewFile(const std::string& path) {
  return CreateNewFile(GetFileSystem(), path);
}

std::unique_ptr<File> CreateNewFile(FileSystem* fs, const std::string& path) {
  if (!ClearName(fs, path)) return nullptr;
  return fs->Open(path, OpenMode::kCreateNew);
}

bool MatchWildcard(const char* pattern, const char* name) {
  if (MatchFrom(pattern, name)) return true;
  // As on Windows, a trailing ".*" also matches names without an extension,
  // so "*.*" matches every name and "bank*.*" matches "bank1".
  std::string p(pattern);
  if (p.size() >= 2 && p.compare(p.size() - 2, 2, ".*") == 0) {
    std::string base = p.substr(0, p.size() - 2);
    if (MatchFrom(base.c_str(), name)) return true;
  }
  // A trailing "." matches names without an extension only.
  if (!p.empty() && p.back() == '.' && std::string(name).find('.') == std::string::npos) {
    std::string base = p.substr(0, p.size() - 1);
    if (MatchFrom(base.c_str(), name)) return true;
  }
  return false;
}

}  // namespace upkeep
