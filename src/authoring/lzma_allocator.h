// Where make packs many small LZMA2 streams (a small delta's streams, each
// with several settings), setting up the encoder is most of the work: it takes
// about a megabyte of tables each time, and fresh memory costs a page fault
// per page. This allocator keeps those blocks for the next encoder that
// asks for the same sizes.
#ifndef UPKEEP_AUTHORING_LZMA_ALLOCATOR_H_
#define UPKEEP_AUTHORING_LZMA_ALLOCATOR_H_

#include <lzma.h>

#include <cstddef>

namespace upkeep {

// Streams up to this size are packed through SmallLzmaAllocator.
constexpr size_t kSmallLzmaInput = size_t{32} << 10;

// Blocks come zeroed (so no byte of an encoder's output depends on what an
// earlier one left); at most a few MiB are kept, for all threads together.
const lzma_allocator* SmallLzmaAllocator();

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_LZMA_ALLOCATOR_H_
