// The packed-entry decoder, two ways: the input as stored bytes decoded into
// buffers of several sizes (each exactly as large as the decoder is told, so
// a write past it is caught), and the input as content that the encoder packs
// and the decoder must give back unchanged.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "authoring/packed_entry_encoder.h"
#include "package/package.h"
#include "fuzz_check.h"

namespace {

using upkeep::fuzz::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace upkeep;
  std::vector<uint8_t> stored(data, data + size);
  // The header's own length, up to 64 KiB so that each run stays quick.
  const size_t declared = size >= 8 ? (data[4] | data[5] << 8) : 0;
  for (size_t dest_size : {declared, size_t{0}, size_t{1}, size / 2, size * 3}) {
    if (stored.size() >= 8) {
      for (int i = 0; i < 4; ++i) stored[4 + i] = static_cast<uint8_t>(dest_size >> (8 * i));
    }
    std::vector<uint8_t> dest(dest_size);
    DecodePackedEntry(stored.data(), stored.size(), dest.data(), dest.size());
    // A header that disagrees with the buffer is refused.
    if (stored.size() >= 8) {
      std::vector<uint8_t> other(dest_size + 1);
      Check(!DecodePackedEntry(stored.data(), stored.size(), other.data(), other.size()));
    }
  }

  std::vector<uint8_t> packed;
  Check(EncodePackedEntry(data, size, &packed));
  std::vector<uint8_t> back(size);
  Check(DecodePackedEntry(packed.data(), packed.size(), back.data(), back.size()));
  Check(std::vector<uint8_t>(data, data + size) == back);
  return 0;
}
