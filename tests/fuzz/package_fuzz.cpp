// The archive directory and the reads of its entries. The input is served as
// an in-memory package file; every entry of an accepted archive is read whole
// in each way the updater reads one.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "memory_file_system.h"
#include "package/package.h"
#include "fuzz_check.h"

namespace {

using namespace upkeep;

const char kPath[] = "\\fuzz\\input.pak";

using upkeep::fuzz::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::MemoryFileSystem fs;
  fs.Add(kPath, data, size);
  PackageArchive* archive = OpenPackage(kPath);
  if (archive == nullptr) return 0;
  Check(archive->entries.size() == static_cast<size_t>(archive->entryCount));
  for (size_t i = 0; i < archive->entries.size() && i < 64; ++i) {
    PackageEntry* entry = archive->entries[i].get();
    // Accepted records lie inside the file.
    const uint64_t stored = entry->packedSize != 0 ? entry->packedSize : entry->size;
    Check(uint64_t{entry->offset} + stored <= size);
    std::vector<uint8_t> whole;
    if (ReadPackageEntry(entry, &whole)) Check(whole.size() == entry->size);
    if (entry->packedSize == 0 && entry->size > 0) {
      // Stored entries also read in pieces from any position, and text mode.
      SeekPackageFile(entry, static_cast<int32_t>(entry->size / 2), 0);
      std::vector<uint8_t> rest(entry->size);
      const size_t got = ReadPackageFile(rest.data(), 1, rest.size(), entry);
      Check(got == entry->size - entry->size / 2);
      if (!whole.empty()) {
        Check(std::equal(rest.begin(), rest.begin() + got, whole.begin() + entry->size / 2));
      }
      PackageFile* text = OpenPackageFile(entry->name.c_str(), "rt");
      if (text != nullptr) {
        const size_t n = ReadPackageFile(rest.data(), 1, rest.size(), text);
        Check(n <= entry->size);
        ClosePackageFile(text);
      }
    }
    std::unique_ptr<Payload> payload = LoadPayload(entry);
    if (payload != nullptr) Check(payload->data.size() <= kMaxPayloadSize);
  }
  while (ClosePackage(kPath) == 0) {
  }
  return 0;
}
