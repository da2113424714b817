// The extended delta decoder over arbitrary stored bytes (both layouts, every
// codec: the seeds hold each). Both passes accept or both refuse.
#include <cstddef>
#include <cstdint>

#include "delta_decoder_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  upkeep::fuzz::CheckDeltaDecoder(upkeep::DecodeExtendedDelta, true, data, size);
  return 0;
}
