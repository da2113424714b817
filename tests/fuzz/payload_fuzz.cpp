// The payload loader: the input as a stored payload (a file of that name, as
// LoadPayloadEntry falls back to the disk), whose result must be exactly its
// declared length; and the input as content, whose payload must load back
// unchanged, by name and from a package entry.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "authoring/archive_writer.h"
#include "authoring/payload_writer.h"
#include "memory_file_system.h"
#include "package/package.h"
#include "fuzz_check.h"

namespace {

using namespace upkeep;

using upkeep::fuzz::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::MemoryFileSystem fs;
  fs.Add("\\fuzz\\00000001.FILE", data, size);
  if (std::unique_ptr<Payload> p = LoadPayloadEntry("\\fuzz\\00000001.FILE")) {
    Check(size >= 8);
    const uint32_t declared = data[size - 4] | data[size - 3] << 8 | data[size - 2] << 16 |
                              uint32_t{data[size - 1]} << 24;
    Check(p->data.size() == declared && declared <= kMaxPayloadSize);
  }

  const std::vector<uint8_t> content(data, data + size);
  std::vector<uint8_t> payload;
  Check(EncodePayload(data, size, &payload));
  fs.Add("\\fuzz\\00000002.FILE", payload.data(), payload.size());
  std::unique_ptr<Payload> by_name = LoadPayloadEntry("\\fuzz\\00000002.FILE");
  Check(by_name != nullptr && by_name->data == content);

  std::vector<uint8_t> image;
  Check(BuildPackage({}, {ArchiveEntry{"00000003.FILE", payload, size % 2 == 0}}, &image));
  fs.Add("\\fuzz\\p.pak", image.data(), image.size());
  PackageArchive* archive = OpenPackage("\\fuzz\\p.pak");
  Check(archive != nullptr);
  PackageEntry* entry = FindPackageEntry(*archive, "00000003.file");
  Check(entry != nullptr);
  std::unique_ptr<Payload> from_entry = LoadPayload(entry);
  Check(from_entry != nullptr && from_entry->data == content);
  ClosePackage("\\fuzz\\p.pak");
  return 0;
}
