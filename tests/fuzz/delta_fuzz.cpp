// The delta parser and applier over decoded delta bytes. The first two input
// bytes choose how much of the rest is the old file; the remainder is the
// delta. An accepted delta must account for every byte, keep its inserts
// inside the bytes, and write exactly what its records say, or nothing when a
// copy reaches past the old file. The streamed decoder the updater uses, fed
// the same bytes as a payload and the old file through a small window, must
// agree with it on every input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "authoring/payload_writer.h"
#include "engine/delta.h"
#include "package/delta_stream.h"
#include "engine/mapped_file.h"
#include "memory_file_system.h"
#include "fuzz_check.h"

namespace {

using namespace upkeep;

using upkeep::fuzz::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t old_size = (data[0] | data[1] << 8) % (size - 1);
  const uint8_t* old = data + 2;
  const uint8_t* bytes = old + old_size;
  const size_t n = size - 2 - old_size;

  Delta delta;
  const bool parsed = ParseDelta(bytes, n, &delta.records, &delta.outputSize);
  {
    std::vector<uint8_t> payload;
    Check(EncodePayload(bytes, n, &payload));
    MemorySource stored(payload.data(), payload.size());
    MemoryOldSource whole(old, old_size);
    std::vector<uint8_t> streamed;
    ExtendedDeltaInfo info;
    const bool decoded = DecodeBasicDelta(
        stored, &whole, old_size,
        [&streamed](const uint8_t* p, size_t k) { streamed.insert(streamed.end(), p, p + k); },
        &info);
    Check(decoded == (parsed && DeltaFitsSource(delta, old_size)));
    if (decoded) {
      Check(info.outputSize == delta.outputSize && streamed.size() == delta.outputSize);
      size_t at = 0;
      for (const DeltaRecord& r : delta.records) {
        const uint8_t* src = r.isCopy ? old + r.sourceOffset : r.data;
        Check(r.length == 0 || memcmp(streamed.data() + at, src, r.length) == 0);
        at += r.length;
      }
    }
  }
  if (!parsed) return 0;
  uint64_t total = 0;
  size_t consumed = 0;
  for (const DeltaRecord& r : delta.records) {
    total += r.length;
    consumed += r.isCopy ? 8 : 4 + r.length;
    if (!r.isCopy) Check(r.data >= bytes && r.data + r.length <= bytes + n);
  }
  Check(total == delta.outputSize && consumed == n);
  if (delta.outputSize > (16u << 20)) return 0;  // keeps each run fast

  fuzz::MemoryFileSystem fs;
  std::vector<uint8_t> old_copy(old, old + old_size);
  MappedFile mapped;
  mapped.view = old_copy.empty() ? nullptr : old_copy.data();
  mapped.size = static_cast<uint32_t>(old_copy.size());
  const int result = ApplyDelta(delta, mapped, "\\fuzz\\new", nullptr, 0, "");
  const std::vector<uint8_t>* written = fs.Get("\\fuzz\\new");
  if (!DeltaFitsSource(delta, old_size)) {
    Check(result == kApplyDoesNotFit && written == nullptr);
    return 0;
  }
  Check(result == kApplyDone && written != nullptr && written->size() == delta.outputSize);
  size_t at = 0;
  for (const DeltaRecord& r : delta.records) {
    const uint8_t* src = r.isCopy ? old + r.sourceOffset : r.data;
    Check(r.length == 0 || memcmp(written->data() + at, src, r.length) == 0);
    at += r.length;
  }
  return 0;
}
