#include <algorithm>

#include "package/package_internal.h"

namespace upkeep {
namespace package_internal {

bool FileSource::ReadAt(uint64_t offset, void* dst, size_t n) {
  if (offset > size_ || n > size_ - offset) return false;
  return n == 0 || file_->ReadAt(offset, dst, n) == static_cast<int64_t>(n);
}

void VolumeSet::Add(std::unique_ptr<File> file, uint64_t size) {
  parts_.push_back(Part{std::move(file), size_, size});
  size_ += size;
}

bool VolumeSet::ReadAt(uint64_t offset, void* dst, size_t n) {
  if (offset > size_ || n > size_ - offset) return false;
  // The first part that ends after `offset`.
  auto part = std::upper_bound(parts_.begin(), parts_.end(), offset,
                               [](uint64_t at, const Part& p) { return at < p.start + p.size; });
  uint8_t* out = static_cast<uint8_t*>(dst);
  while (n > 0) {
    if (part == parts_.end()) return false;
    const uint64_t within = offset - part->start;
    const size_t k = static_cast<size_t>(std::min<uint64_t>(n, part->size - within));
    if (k > 0 && part->file->ReadAt(within, out, k) != static_cast<int64_t>(k)) return false;
    out += k;
    offset += k;
    n -= k;
    ++part;
  }
  return true;
}

}  // namespace package_internal
}  // namespace upkeep
