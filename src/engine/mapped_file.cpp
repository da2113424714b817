#include "engine/mapped_file.h"

namespace upkeep {

MappedFile OpenMappedFile(const std::string& path) {
  MappedFile mapped;
  mapped.mapping = GetFileSystem()->MapFile(path);
  if (mapped.mapping == nullptr) return mapped;
  const uint64_t size = mapped.mapping->size();
  if (size > 0xFFFFFFFFull) {
    // Outside the 32-bit model: keep a non-zero size without a view.
    mapped.size = 0xFFFFFFFFu;
    return mapped;
  }
  mapped.size = static_cast<uint32_t>(size);
  if (mapped.size > 0) mapped.view = mapped.mapping->data();
  return mapped;
}

void CloseMappedFile(MappedFile* mapped) {
  mapped->view = nullptr;
  mapped->mapping.reset();
  mapped->size = 0;
}

}  // namespace upkeep
