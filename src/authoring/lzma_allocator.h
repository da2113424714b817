// Where make packs many small LZMA2 streams (a small delta's streams, each
// with several settings), setting up the encoder is most of the work: it takes
// about a megabyte of tables each time, and fresh memory costs a page fault
// per page. This allocator keeps those blocks for the next encoder of the
// same delta that asks for the same sizes.
#ifndef UPKEEP_AUTHORING_LZMA_ALLOCATOR_H_
#define UPKEEP_AUTHORING_LZMA_ALLOCATOR_H_

#include <lzma.h>

#include <cstddef>

namespace upkeep {

// Streams packed with a dictionary up to this size (small streams alone: a
// piece of a long one has the long one's) go through SmallLzmaAllocator.
constexpr size_t kSmallLzmaInput = size_t{32} << 10;

// Blocks come as malloc's do, not cleared; at most a few MiB are kept, for
// all threads together.
const lzma_allocator* SmallLzmaAllocator();

// Frees the kept blocks. Called when a delta's streams are packed, so that
// they do not sit in the heap between files, where they would keep freed
// memory around them from going back to the system.
void ReleaseSmallLzmaBlocks();

// Releases the kept blocks when it goes.
struct SmallLzmaScope {
  SmallLzmaScope() = default;
  SmallLzmaScope(const SmallLzmaScope&) = delete;
  SmallLzmaScope& operator=(const SmallLzmaScope&) = delete;
  ~SmallLzmaScope() { ReleaseSmallLzmaBlocks(); }
};

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_LZMA_ALLOCATOR_H_
