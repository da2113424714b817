// The version resource of one file, read once and asked for its strings.
#ifndef UPKEEP_INSTALL_FILE_VERSION_INFO_H_
#define UPKEEP_INSTALL_FILE_VERSION_INFO_H_

#include <cstdint>
#include <string>
#include <vector>

namespace upkeep {

// When a resource has no translation table its strings are looked for under
// US English and the Western code page, the table most resources carry.
constexpr uint16_t kDefaultVersionLanguage = 0x0409;
constexpr uint16_t kDefaultVersionCodePage = 1252;
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BDu;

class FileVersionInfo {
 public:
  FileVersionInfo() = default;
  virtual ~FileVersionInfo() = default;
  FileVersionInfo(const FileVersionInfo&) = delete;
  FileVersionInfo& operator=(const FileVersionInfo&) = delete;

  // True when the resource was read and its fixed record is signed.
  bool Load(const std::string& path);
  // The string value `name` of the first translation, or "".
  std::string GetVersionString(const std::string& name);

  uint8_t fixedInfo[52] = {};        // the fixed record of the root block
  std::vector<uint8_t> versionData;  // the whole block; empty until read
  uint16_t language = kDefaultVersionLanguage;
  uint16_t codePage = kDefaultVersionCodePage;
};

}  // namespace upkeep

#endif  // UPKEEP_INSTALL_FILE_VERSION_INFO_H_
