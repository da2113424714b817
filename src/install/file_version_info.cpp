#include "install/file_version_info.h"

#include <cstdio>
#include <cstring>

#include "install/installation.h"
#include "platform/version_info.h"

namespace upkeep {

bool FileVersionInfo::Load(const std::string& path) {
  codePage = kDefaultVersionCodePage;
  language = kDefaultVersionLanguage;
  memset(fixedInfo, 0, sizeof(fixedInfo));
  versionData.clear();
  if (path.size() > kMaxInstallPath) return false;
  uint32_t size = ReadVersionInfoSize(path);
  if (size == 0) return false;
  versionData.assign(size, 0);
  if (!ReadVersionInfo(path, size, versionData.data())) {
    versionData.clear();
    return false;
  }
  const uint8_t* value = nullptr;
  uint32_t length = 0;
  if (!QueryVersionValue(versionData.data(), size, "\\", &value, &length)) return false;
  // A short record leaves the rest zero, so its signature cannot pass by chance.
  memcpy(fixedInfo, value, length < sizeof(fixedInfo) ? length : sizeof(fixedInfo));
  if (QueryVersionValue(versionData.data(), size, "\\VarFileInfo\\Translation", &value, &length) &&
      length >= 4) {
    language = static_cast<uint16_t>(value[0] | (value[1] << 8));
    codePage = static_cast<uint16_t>(value[2] | (value[3] << 8));
  }
  uint32_t signature = static_cast<uint32_t>(fixedInfo[0]) | (fixedInfo[1] << 8) |
                       (fixedInfo[2] << 16) | (static_cast<uint32_t>(fixedInfo[3]) << 24);
  return signature == kFixedInfoSignature;
}

std::string FileVersionInfo::GetVersionString(const std::string& name) {
  if (versionData.empty()) return std::string();
  char prefix[32];
  snprintf(prefix, sizeof(prefix), "\\StringFileInfo\\%04x%04x\\", language, codePage);
  const uint8_t* value = nullptr;
  uint32_t length = 0;
  if (!QueryVersionValue(versionData.data(), static_cast<uint32_t>(versionData.size()),
                         prefix + name, &value, &length)) {
    return std::string();
  }
  // Up to the terminator, and never past the value: a resource may store its
  // text without one.
  const char* text = reinterpret_cast<const char*>(value);
  size_t n = 0;
  while (n < length && text[n] != 0) ++n;
  return std::string(text, n);
}

}  // namespace upkeep
