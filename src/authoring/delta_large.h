// A delta for files too large to hold in memory, of any size. The old file is
// indexed at anchors its own bytes choose: positions where a rolling hash of
// the 64 bytes before them has its top bits clear, about one per `spacing`
// bytes, so the same content has the same anchors wherever it lies. The new
// file is scanned with the same hash; an anchor found in both is checked byte
// for byte and grown both ways into a copy, which goes on over a few
// differing bytes (adds) where the same alignment agrees again right after
// them. Both files are read through ChangeInput::ReadAt a buffer at a time,
// so memory is the index (8 bytes a slot, two slots an anchor at most) and
// fixed buffers, whatever the sizes; inserts are held until packed, up to a
// limit past which the file whole costs less anyway. The result is the
// predicted form (package/delta_predicted.h) with adds against the old bytes.
#ifndef UPKEEP_AUTHORING_DELTA_LARGE_H_
#define UPKEEP_AUTHORING_DELTA_LARGE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "authoring/change_encoder.h"
#include "authoring/delta_encoder.h"

namespace upkeep {

// The index keeps to this many anchors: larger old files get sparser ones.
constexpr uint64_t kMaxLargeAnchors = uint64_t{1} << 25;
constexpr uint32_t kMinLargeSpacing = 64;
// Pieces of the new file searched apart (and on threads where there are).
constexpr size_t kLargePiece = size_t{256} << 20;

struct LargeDeltaOptions {
  uint32_t spacing = 0;  // 0: kMinLargeSpacing or sparser, from the old file's size
  // Inserted bytes past which the work stops: the whole file is then smaller.
  uint64_t max_inserts = uint64_t{256} << 20;
  Pieces pieces = {kLargePiece, nullptr};
  // Told the new bytes scanned (added to), for progress.
  std::atomic<uint64_t>* passed = nullptr;
};

enum class LargeDelta { kDone, kGaveUp, kFailed };

// The stored predicted delta in `stored` (kDone); kGaveUp past max_inserts;
// kFailed when a file cannot be read or memory runs out.
LargeDelta EncodeLargeDelta(const ChangeInput& old_file, const ChangeInput& new_file,
                            const LargeDeltaOptions& options, std::vector<uint8_t>* stored);

// The memory EncodeLargeDelta may hold at its peak for an old file of this
// size, besides its inserts (at most max_inserts): the index, each thread's
// buffers and compressor.
uint64_t LargeDeltaMemory(uint64_t old_size, const LargeDeltaOptions& options, unsigned threads);

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_DELTA_LARGE_H_
