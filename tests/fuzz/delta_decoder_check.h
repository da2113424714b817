// What every delta decoder's fuzz target holds, whatever the bytes: the
// checking pass accepts what the writing pass accepts, an accepted delta
// writes exactly the bytes both announced, and it needs no more of the old
// file than there is. The first two input bytes choose how much of the rest
// is the old file.
#ifndef UPKEEP_TESTS_FUZZ_DELTA_DECODER_CHECK_H_
#define UPKEEP_TESTS_FUZZ_DELTA_DECODER_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "package/delta_extended.h"

namespace upkeep {
namespace fuzz {

using DeltaDecoder = bool (*)(const uint8_t* stored, size_t storedSize, const uint8_t* old,
                              uint64_t oldSize, const DeltaSink& sink, ExtendedDeltaInfo* info);

// `passes_agree`: the checking pass refuses all the writing pass refuses too
// (it can, when it sees everything the writing pass reads).
inline void CheckDeltaDecoder(DeltaDecoder decode, bool passes_agree, const uint8_t* data,
                              size_t size) {
  if (size < 2) return;
  const size_t old_size = (data[0] | data[1] << 8) % (size - 1);
  const uint8_t* old = data + 2;
  const uint8_t* stored = old + old_size;
  const size_t n = size - 2 - old_size;

  ExtendedDeltaInfo checked;
  const bool check_ok = decode(stored, n, nullptr, old_size, nullptr, &checked);
  // The old bytes in a buffer of their own, so reading past them is caught.
  std::vector<uint8_t> old_copy(old, old + old_size);
  uint64_t written = 0;
  DeltaSink sink = [&](const uint8_t*, size_t k) { written += k; };
  ExtendedDeltaInfo info;
  const bool ok =
      decode(stored, n, old_copy.empty() ? nullptr : old_copy.data(), old_size, sink, &info);
  if (passes_agree) Check(ok == check_ok);
  if (!ok) return;
  Check(check_ok);
  Check(written == info.outputSize && info.outputSize == checked.outputSize);
  Check(info.oldNeeded <= old_size && info.oldNeeded == checked.oldNeeded);
}

}  // namespace fuzz
}  // namespace upkeep

#endif  // UPKEEP_TESTS_FUZZ_DELTA_DECODER_CHECK_H_
