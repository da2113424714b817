// The deflated-view delta decoder over arbitrary stored bytes. Its checking
// pass cannot see whether the old streams inflate as listed, so it may accept
// what the writing pass refuses, never the other way round.
#include <cstddef>
#include <cstdint>

#include "delta_decoder_check.h"
#include "package/delta_redeflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  upkeep::fuzz::CheckDeltaDecoder(upkeep::DecodeRedeflateDelta, false, data, size);
  return 0;
}
