// Shared by the package layer's own files only.
#ifndef UPKEEP_PACKAGE_PACKAGE_INTERNAL_H_
#define UPKEEP_PACKAGE_PACKAGE_INTERNAL_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "package/package.h"
#include "platform/file_system.h"

namespace upkeep {
namespace package_internal {

// The process-wide table behind OpenPackages().
std::vector<std::unique_ptr<PackageArchive>>& Table();

inline uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Length of `text` when it is at most `limit` characters, else limit + 1.
inline size_t BoundedLength(const char* text, size_t limit) {
  size_t n = 0;
  while (n <= limit && text[n] != 0) ++n;
  return n;
}

// One open file as a source.
class FileSource : public PackageSource {
 public:
  FileSource(std::unique_ptr<File> file, uint64_t size) : file_(std::move(file)), size_(size) {}
  bool ReadAt(uint64_t offset, void* dst, size_t n) override;
  uint64_t size() const override { return size_; }

 private:
  std::unique_ptr<File> file_;
  uint64_t size_;
};

// Files end to end, read as one: a read that crosses a file's end goes on in
// the next.
class VolumeSet : public PackageSource {
 public:
  void Add(std::unique_ptr<File> file, uint64_t size);
  bool ReadAt(uint64_t offset, void* dst, size_t n) override;
  uint64_t size() const override { return size_; }

 private:
  struct Part {
    std::unique_ptr<File> file;
    uint64_t start;
    uint64_t size;
  };
  std::vector<Part> parts_;
  uint64_t size_ = 0;
};

}  // namespace package_internal
}  // namespace upkeep

#endif  // UPKEEP_PACKAGE_PACKAGE_INTERNAL_H_
