#include "install/installation.h"

#include <memory>
#include <vector>

#include "install/file_version_info.h"
#include "platform/file_system.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "script/string_table.h"

namespace upkeep {

namespace {

// The ProductVersion convention: 7 bytes of version, then the language.
constexpr size_t kVersionBytes = 7;

// White space of the C locale; the locales a string table selects are the
// single-byte ANSI ones, which add nothing a game's settings would hold.
bool IsSpaceByte(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

bool IsLeadByte(unsigned char c) {
  switch (CurrentCodePage()) {
    case 932:
      return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    case 936:
    case 949:
    case 950:
      return c >= 0x81 && c <= 0xFE;
    default:
      return false;
  }
}

// Versions and language tags fold ASCII letters only, whatever the locale.
int AsciiLower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

// Bytes of the character at `i`: 2 for a lead byte with its trail, else 1.
size_t CharBytes(const std::string& s, size_t i) {
  return (IsLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size()) ? 2 : 1;
}

// The items between ';' separators. With `keep_empty` every separator ends an
// item; without it a run of separators is one and runs at either end vanish.
std::vector<std::string> SplitList(const std::string& list, bool keep_empty) {
  std::vector<std::string> items;
  std::string current;
  for (size_t i = 0; i < list.size();) {
    size_t n = CharBytes(list, i);
    if (n == 1 && list[i] == ';') {
      if (keep_empty || !current.empty()) items.push_back(current);
      current.clear();
    } else {
      current.append(list, i, n);
    }
    i += n;
  }
  if (keep_empty || !current.empty()) items.push_back(current);
  return items;
}

std::string Join(const std::string& directory, const std::string& name) {
  return directory + "\\" + name;
}

std::string ProductVersion(const std::string& directory, const std::string& name) {
  FileVersionInfo info;
  info.Load(Join(directory, name));
  return info.GetVersionString("ProductVersion");
}

}  // namespace

std::string TrimText(const std::string& text) {
  size_t start = 0;
  while (start < text.size() && IsSpaceByte(static_cast<unsigned char>(text[start]))) ++start;
  size_t end = start;
  for (size_t i = start; i < text.size();) {
    size_t n = CharBytes(text, i);
    if (n == 2 || !IsSpaceByte(static_cast<unsigned char>(text[i]))) end = i + n;
    i += n;
  }
  return text.substr(start, end - start);
}

bool TextEqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size();) {
    size_t n = CharBytes(a, i);
    if (n == 2) {
      if (a.compare(i, 2, b, i, 2) != 0) return false;
    } else if (AsciiLower(static_cast<unsigned char>(a[i])) !=
               AsciiLower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
    i += n;
  }
  return true;
}

int32_t ReadRegistryValue(const std::string& key_path, const std::string& value_name,
                          std::string* out, uint32_t capacity) {
  std::unique_ptr<RegistryKey> key;
  int32_t status = GetRegistry()->OpenKey(RegistryRoot::kLocalMachine, key_path, &key);
  if (status != kRegSuccess) return status;
  std::vector<uint8_t> buffer(capacity, 0);
  uint32_t size = capacity;
  status = key->QueryValue(value_name, nullptr, buffer.data(), &size);
  if (status != kRegSuccess) return status;
  size_t n = 0;
  while (n < buffer.size() && buffer[n] != 0) ++n;
  // Data that fill the buffer with no terminator do not fit either.
  if (n == buffer.size()) return kRegMoreData;
  out->assign(reinterpret_cast<const char*>(buffer.data()), n);
  return kRegSuccess;
}

bool DirectoryExists(const std::string& path) {
  if (path.size() > kMaxInstallPath) return false;
  uint32_t attributes = GetFileSystem()->GetAttributes(path);
  return attributes != kInvalidAttributes && (attributes & kAttrDirectory) != 0;
}

int CountExecutableNames(const std::string& list) {
  size_t n = SplitList(list, false).size();
  return n == 0 ? -1 : static_cast<int>(n);
}

bool GetExecutableName(const std::string& list, int index, std::string* name) {
  std::vector<std::string> items = SplitList(list, false);
  std::string item;
  if (index >= 0 && static_cast<size_t>(index) < items.size()) item = TrimText(items[index]);
  if (item.size() > kMaxInstallPath) item.clear();  // would not fit the name buffer
  *name = item;
  return !item.empty();
}

int CountGameExecutables() { return CountExecutableNames(ExpandText("&SRC_EXE&")); }

bool GetGameExecutable(int index, std::string* name) {
  return GetExecutableName(ExpandText("&SRC_EXE&"), index, name);
}

bool InstalledFileExists(const std::string& directory, const std::string& name) {
  if (name.empty()) return false;
  const std::string path = Join(directory, name);
  if (path.size() > kMaxInstallPath) return false;
  FileSystem* fs = GetFileSystem();
  if (fs->GetFullPath(path).empty()) return false;
  std::vector<FindEntry> entries;
  return fs->Find(path, &entries) && !entries.empty();
}

bool IsGameRunning(const std::string& directory, const std::string& name) {
  const std::string path = Join(directory, name);
  if (path.size() > kMaxInstallPath) return true;
  return GetFileSystem()->Open(path, OpenMode::kTestExclusive) == nullptr;
}

std::string GetInstalledVersion(const std::string& directory, const std::string& name) {
  const std::string p = ProductVersion(directory, name);
  if (p.size() <= kVersionBytes) return std::string();
  return p.substr(0, kVersionBytes);
}

std::string GetInstalledLanguage(const std::string& directory, const std::string& name) {
  const std::string p = ProductVersion(directory, name);
  if (p.size() <= kVersionBytes) return std::string();
  return p.substr(kVersionBytes);
}

bool VersionAccepted(const std::string& installed, const std::string& versions) {
  if (versions.empty()) return true;
  for (const std::string& item : SplitList(versions, true)) {
    if (TextEqualsNoCase(TrimText(item), installed)) return true;
  }
  return false;
}

bool LanguageAccepted(const std::string& installed, const std::string& tag) {
  return tag.empty() || TextEqualsNoCase(installed, tag);
}

bool CheckGameVersion(const std::string& directory, const std::string& name,
                      const std::string& versions) {
  if (versions.empty()) return true;
  return VersionAccepted(GetInstalledVersion(directory, name), versions);
}

bool CheckGameLanguage(const std::string& directory, const std::string& name,
                       const std::string& tag) {
  if (tag.empty()) return true;
  return LanguageAccepted(GetInstalledLanguage(directory, name), tag);
}

}  // namespace upkeep
