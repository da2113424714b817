#include "authoring/lzma_allocator.h"

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/zeroed_pages.h"

namespace upkeep {

namespace {

constexpr size_t kKeptAtMost = size_t{4} << 20;
constexpr size_t kKeptBlocks = 64;
constexpr size_t kHeader = 16;  // the block's size, keeping malloc's alignment
constexpr size_t kPagesFrom = size_t{64} << 10;

size_t& SizeOf(void* block) { return *static_cast<size_t*>(block); }

void Drop(void* block) {
  const size_t n = SizeOf(block);
  if (n >= kPagesFrom) {
    FreeZeroedPages(block, n + kHeader);
  } else {
    std::free(block);
  }
}

// One store for all threads (a few allocations per encoder, so the lock is
// cheap), not one per thread: MinGW runs thread_local destructors after the
// thread's storage has gone.
struct Kept {
  std::mutex mu;
  std::vector<void*> blocks;  // each starting with its size
  size_t bytes = 0;
  ~Kept();
};

Kept::~Kept() {
  for (void* b : blocks) Drop(b);
}

Kept& Store() {
  static Kept kept;
  return kept;
}


void* Allocate(void*, size_t count, size_t size) {
  if (size != 0 && count > (SIZE_MAX - kHeader) / size) return nullptr;
  const size_t n = count * size;
  void* block = nullptr;
  {
    Kept& kept = Store();
    std::lock_guard<std::mutex> lock(kept.mu);
    for (size_t i = 0; i < kept.blocks.size(); ++i) {
      if (SizeOf(kept.blocks[i]) != n) continue;
      block = kept.blocks[i];
      kept.blocks[i] = kept.blocks.back();
      kept.blocks.pop_back();
      kept.bytes -= n;
      break;
    }
  }
  if (block == nullptr) {
    // Large blocks come from the system, not the heap: kept between two
    // encoders they would pin the heap around them, and make's peak grew by
    // more than they hold.
    block = n >= kPagesFrom ? AllocateZeroedPages(n + kHeader) : std::malloc(n + kHeader);
    if (block == nullptr) return nullptr;
    SizeOf(block) = n;
  }
  // Not cleared: like malloc's, the bytes are liblzma's to set (it clears
  // what it reads before writing, so its output never depends on them).
  return static_cast<char*>(block) + kHeader;
}

void Free(void*, void* data) {
  if (data == nullptr) return;
  void* block = static_cast<char*>(data) - kHeader;
  const size_t n = SizeOf(block);
  {
    Kept& kept = Store();
    std::lock_guard<std::mutex> lock(kept.mu);
    // The list has its room already (SmallLzmaAllocator): a free never allocates.
    if (kept.bytes + n <= kKeptAtMost && kept.blocks.size() < kept.blocks.capacity()) {
      kept.blocks.push_back(block);
      kept.bytes += n;
      return;
    }
  }
  Drop(block);
}

const lzma_allocator kAllocator = {Allocate, Free, nullptr};

}  // namespace

void ReleaseSmallLzmaBlocks() {
  Kept& kept = Store();
  std::lock_guard<std::mutex> lock(kept.mu);
  for (void* b : kept.blocks) Drop(b);
  kept.blocks.clear();
  kept.bytes = 0;
}

const lzma_allocator* SmallLzmaAllocator() {
  Kept& kept = Store();
  std::lock_guard<std::mutex> lock(kept.mu);
  kept.blocks.reserve(kKeptBlocks);
  return &kAllocator;
}

}  // namespace upkeep
