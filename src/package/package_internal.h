// Shared by the package layer's own files only.
#ifndef UPKEEP_PACKAGE_PACKAGE_INTERNAL_H_
#define UPKEEP_PACKAGE_PACKAGE_INTERNAL_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "package/package.h"

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

}  // namespace package_internal
}  // namespace upkeep

#endif  // UPKEEP_PACKAGE_PACKAGE_INTERNAL_H_
