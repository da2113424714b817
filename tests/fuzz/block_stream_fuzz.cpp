// The block form of whole files and long deltas, and the manifest: the input
// as stored bytes must decode to exactly its declared length or be refused,
// and the input as content must come back unchanged through the writer; a
// manifest that parses must be written back byte for byte.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "authoring/block_stream_writer.h"
#include "fuzz_check.h"
#include "package/byte_sources.h"
#include "package/manifest.h"
#include "package/payload_stream.h"

using upkeep::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace upkeep;
  MemorySource stored(data, size);
  uint64_t declared = 0, produced = 0;
  if (DecodeBlockStream(
          stored,
          [&produced](const uint8_t*, size_t n) {
            produced += n;
            return true;
          },
          &declared)) {
    Check(produced == declared);
  }

  std::vector<uint8_t> out;
  BlockStreamWriter writer(
      [&out](const uint8_t* p, size_t n) {
        out.insert(out.end(), p, p + n);
        return true;
      },
      size, kMinStreamBlock);
  Check(writer.Write(data, size) && writer.Finish());
  MemorySource again(out.data(), out.size());
  std::vector<uint8_t> back;
  Check(DecodeBlockStream(again, [&back](const uint8_t* p, size_t n) {
    back.insert(back.end(), p, p + n);
    return true;
  }));
  Check(back == std::vector<uint8_t>(data, data + size));

  Manifest manifest;
  if (ParseManifest(data, size, &manifest)) {
    std::vector<uint8_t> written;
    WriteManifest(manifest, &written);
    Check(written == std::vector<uint8_t>(data, data + size));
  }
  return 0;
}
