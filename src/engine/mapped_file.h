// A read-only view of a whole disk file, the base of checksums and deltas.
#ifndef UPKEEP_ENGINE_MAPPED_FILE_H_
#define UPKEEP_ENGINE_MAPPED_FILE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/file_system.h"

namespace upkeep {

struct MappedFile {
  // The open file and its view; null when the file could not be opened.
  std::unique_ptr<MappedView> mapping;
  const uint8_t* view = nullptr;  // null for an empty or unmappable file
  uint32_t size = 0;

  // Open, and either mapped or empty.
  bool usable() const { return mapping != nullptr && (view != nullptr || size == 0); }
};

// Opens an existing file for reading (others may read too) and maps all of it.
// A file of 4 GiB or more is left unmapped with a non-zero size, so it is never
// usable.
MappedFile OpenMappedFile(const std::string& path);
// Releases the view and the file; safe on a closed or never opened object.
void CloseMappedFile(MappedFile* mapped);

}  // namespace upkeep

#endif  // UPKEEP_ENGINE_MAPPED_FILE_H_
