// Writes version resources (the VS_VERSIONINFO tree) and small PE images that
// carry them, for sample games and tests. The output loads with the system's
// version API: a resource-only image with one ".rsrc" section.
#ifndef UPKEEP_AUTHORING_VERSION_RESOURCE_WRITER_H_
#define UPKEEP_AUTHORING_VERSION_RESOURCE_WRITER_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace upkeep {

// One node of a version block: key, value and children, laid out with the
// usual 32-bit alignment. `value_length` is written as given when set (tests of
// odd blocks); otherwise it is the value's size in its units (UTF-16 units for
// text, bytes for binary data).
struct VersionNode {
  std::u16string key;
  uint16_t type = 0;  // 1: text value (UTF-16LE), 0: binary
  std::vector<uint8_t> value;
  int32_t value_length = -1;
  std::vector<VersionNode> children;
};

// A text value's bytes: UTF-16LE of the UTF-8 text, with a terminator.
std::vector<uint8_t> VersionText(const std::string& utf8);

struct VersionStringTable {
  std::string key;  // eight hex digits, language then code page ("040904e4")
  std::vector<std::pair<std::string, std::string>> strings;  // name, UTF-8 text
};

struct VersionResource {
  uint16_t file_version[4] = {1, 0, 0, 0};
  uint16_t product_version[4] = {1, 0, 0, 0};
  std::vector<VersionStringTable> tables;
  // language | code page << 16 each; none leaves out VarFileInfo altogether.
  std::vector<uint32_t> translations;
};

// The tree of a usual version resource.
VersionNode MakeVersionTree(const VersionResource& resource);
// Serialises a tree (at most 8 levels deep; deeper ones give an empty result).
std::vector<uint8_t> WriteVersionBlock(const VersionNode& root);
inline std::vector<uint8_t> WriteVersionResource(const VersionResource& resource) {
  return WriteVersionBlock(MakeVersionTree(resource));
}

struct PeResourceEntry {
  uint16_t type = 16;  // RT_VERSION
  uint16_t id = 1;
  uint16_t language = 0x0409;
  std::vector<uint8_t> data;
};

// The contents of a ".rsrc" section that will live at `rva`: the directory
// tree by type, id and language (in ascending order, as the loader searches
// it), the data entries, then the data.
std::vector<uint8_t> WriteResourceSection(const std::vector<PeResourceEntry>& resources,
                                          uint32_t rva);

// A resource-only DLL image (PE32, or PE32+ when `pe32_plus`) holding the
// resources given.
std::vector<uint8_t> WritePeImage(const std::vector<PeResourceEntry>& resources,
                                  bool pe32_plus = false);

// The usual case: one version resource in a PE image.
std::vector<uint8_t> WriteVersionedPe(const VersionResource& resource, bool pe32_plus = false);

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_VERSION_RESOURCE_WRITER_H_
