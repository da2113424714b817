// A delta for files beyond the in-memory encoders' reach (any size): the old
// file is indexed by the hashes of its blocks, and the new file scanned with a
// rolling hash over one block's length; where a block matches, the match is
// grown both ways and copied, and everything else inserted. The output is the
// extended form's records (package/delta_extended.h, "UKX2" first) with plain
// copies only. Both files are read through buffers, so memory is the index
// (at most kMaxMatchBlocks entries) and a few windows, whatever the sizes.
#ifndef UPKEEP_AUTHORING_DELTA_BLOCK_MATCH_H_
#define UPKEEP_AUTHORING_DELTA_BLOCK_MATCH_H_

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/file_system.h"

namespace upkeep {

// The index holds at most this many blocks: larger old files get longer blocks.
constexpr uint64_t kMaxMatchBlocks = uint64_t{1} << 21;
constexpr uint32_t kMinMatchBlock = 4096;

struct BlockMatchOptions {
  // 0: chosen from the old file's size (kMinMatchBlock, or longer so that
  // the index stays within kMaxMatchBlocks).
  uint32_t block = 0;
  // Bytes of the new file kept in memory at most (tests make it small).
  size_t window = size_t{8} << 20;
  // Give up (a whole file costs less) once this much of the new file was
  // scanned with less than 1/32 of it found in the old one; 0 never.
  uint64_t giveUpAfter = uint64_t{256} << 20;
  // Told the new file's bytes covered so far, every few MB.
  std::function<void(uint64_t done)> progress;
};

struct BlockMatchResult {
  uint64_t copied = 0;    // new bytes taken from the old file
  uint64_t inserted = 0;  // new bytes carried in the delta
  bool gaveUp = false;    // stopped early by giveUpAfter; the records are incomplete
};

// Writes the records to `out` (false from it stops the work). False when a
// file cannot be read, memory runs out, `out` refused, or the encoder gave up.
bool EncodeBlockMatchDelta(File* oldFile, uint64_t oldSize, File* newFile, uint64_t newSize,
                           const BlockMatchOptions& options,
                           const std::function<bool(const uint8_t*, size_t)>& out,
                           BlockMatchResult* result);

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_DELTA_BLOCK_MATCH_H_
