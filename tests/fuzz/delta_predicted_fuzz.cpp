// The predicted delta decoder over arbitrary stored bytes (every mode and
// codec: the seeds hold each). Both passes accept or both refuse.
#include <cstddef>
#include <cstdint>

#include "delta_decoder_check.h"
#include "package/delta_predicted.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  upkeep::fuzz::CheckDeltaDecoder(upkeep::DecodePredictedDelta, true, data, size);
  return 0;
}
