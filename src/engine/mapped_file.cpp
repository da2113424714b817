#include "engine/mapped_file.h"

namespace upkeep {

MappedFile OpenMappedFile(const std::string& path) {
  MappedFile mapped;
  FileSystem* fs = GetFileSystem();
  mapped.file = fs->Open(path, OpenMode::kRead);
  if (mapped.file == nullptr) return mapped;
  int64_t end = mapped.file->Seek(0, SeekOrigin::kEnd);
  mapped.file->Seek(0, SeekOrigin::kBegin);
  if (end < 0 || end > 0xFFFFFFFFll) {
    // Outside the 32-bit model: keep a non-zero size without a view.
    mapped.size = 0xFFFFFFFFu;
    return mapped;
  }
  mapped.size = static_cast<uint32_t>(end);
  if (mapped.size == 0) return mapped;
  mapped.mapping = fs->Map(mapped.file.get(), mapped.size);
  if (mapped.mapping != nullptr) mapped.view = mapped.mapping->data();
  return mapped;
}

void CloseMappedFile(MappedFile* mapped) {
  mapped->view = nullptr;
  mapped->mapping.reset();
  mapped->file.reset();
  mapped->size = 0;
}

}  // namespace upkeep
