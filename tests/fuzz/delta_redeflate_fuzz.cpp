// The deflated-view delta decoder over arbitrary stored bytes. The first two
// input bytes choose how much of the rest is the old file. Whatever the bytes,
// a delta the writing pass accepts was accepted by the checking pass, writes
// exactly the bytes both announced, and needs no more of the old file than it has.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "package/delta_redeflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace upkeep;
  if (size < 2) return 0;
  const size_t old_size = (data[0] | data[1] << 8) % (size - 1);
  const uint8_t* old = data + 2;
  const uint8_t* stored = old + old_size;
  const size_t n = size - 2 - old_size;

  ExtendedDeltaInfo checked;
  const bool check_ok = DecodeRedeflateDelta(stored, n, nullptr, old_size, nullptr, &checked);
  // The old bytes in a buffer of their own, so reading past them is caught.
  std::vector<uint8_t> old_copy(old, old + old_size);
  uint64_t written = 0;
  DeltaSink sink = [&](const uint8_t*, size_t k) { written += k; };
  ExtendedDeltaInfo info;
  const bool ok = DecodeRedeflateDelta(stored, n, old_copy.empty() ? nullptr : old_copy.data(),
                                       old_size, sink, &info);
  if (!ok) return 0;
  fuzz::Check(check_ok);
  fuzz::Check(written == info.outputSize && info.outputSize == checked.outputSize);
  fuzz::Check(info.oldNeeded <= old_size && info.oldNeeded == checked.oldNeeded);
  return 0;
}
