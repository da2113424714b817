// The shell shortcut (.lnk) file: a reader and writer of the parts a shortcut
// needs (target, arguments, icon, working directory), keeping every other part
// of a loaded file so that it saves back unchanged. Pure bytes in, bytes out:
// the POSIX shell link object is built on it, and the Windows tests use it to
// check the system's own object against it.
#ifndef UPKEEP_PLATFORM_SHELL_LINK_FORMAT_H_
#define UPKEEP_PLATFORM_SHELL_LINK_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace upkeep {
namespace lnk {

// Header flag bits (LinkFlags).
enum : uint32_t {
  kHasIdList = 0x1,
  kHasLinkInfo = 0x2,
  kHasName = 0x4,
  kHasRelativePath = 0x8,
  kHasWorkingDir = 0x10,
  kHasArguments = 0x20,
  kHasIconLocation = 0x40,
  kIsUnicode = 0x80,
  kForceNoLinkInfo = 0x100,
  kHasExpString = 0x200,
  kHasDarwinId = 0x1000,
  kEnableTargetMetadata = 0x80000,
};

// Larger files are refused unread: a shortcut is a few kilobytes at most.
constexpr size_t kMaxLinkFileSize = 1 << 20;

struct LinkString {
  bool present = false;
  std::u16string text;
};

struct LinkData {
  uint32_t flags = 0;  // as read; the presence bits are recomputed on write
  uint32_t fileAttributes = 0;
  uint64_t creationTime = 0;
  uint64_t accessTime = 0;
  uint64_t writeTime = 0;
  uint32_t fileSize = 0;
  int32_t iconIndex = 0;
  uint32_t showCommand = 1;  // SW_SHOWNORMAL
  uint16_t hotKey = 0;

  // The target as the file records it, from LinkInfo or else from the item list.
  std::u16string target;
  // The raw item list (items and terminator, without its size field) and
  // LinkInfo structure, written back as read until the target changes.
  bool hasIdList = false;
  std::vector<uint8_t> idList;
  bool hasLinkInfo = false;
  std::vector<uint8_t> linkInfo;

  LinkString name;
  LinkString relativePath;
  LinkString workingDir;
  LinkString arguments;
  LinkString iconLocation;

  // ExtraData blocks, each whole (size and signature included), in file order.
  std::vector<std::vector<uint8_t>> extraBlocks;
};

// False when the bytes are not a shortcut or any part is cut short or points
// outside the file. Malformed extra data ends the block list instead. ANSI
// texts in the file are read in `codePage` (see platform/code_page.h), the
// code page of the machine that wrote them. The target is the LinkInfo's
// unless only the item list holds it in UTF-16.
bool ParseLink(const uint8_t* data, size_t size, int codePage, LinkData* out);

// The file bytes: strings in UTF-16, every present part with its flag set.
std::vector<uint8_t> SerializeLink(const LinkData& link);

// What the new target is on disk, for the item list and header. `exists`
// false writes the target as a file with no attributes, size or times.
struct TargetFacts {
  bool exists = false;
  bool isDirectory = false;
  uint32_t attributes = 0;
  uint32_t size = 0;
};

// Points the link at `path` ("X:\...", or empty for none), text in
// `codePage`. Builds a new item list and LinkInfo, and drops what described
// the old target (relative path, environment, tracker, target metadata,
// known-folder and installer blocks). Names are stored in UTF-16, with the
// ANSI copies the format also keeps in `fileCodePage` (the machine's, in
// which the system reads them). False, changing nothing, for a non-empty path
// that is not "X:\...", is not valid text in `codePage`, or whose item list
// would not fit.
bool SetLinkTarget(LinkData* link, const std::string& path, const TargetFacts& facts, int codePage,
                   int fileCodePage);

}  // namespace lnk
}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_SHELL_LINK_FORMAT_H_
