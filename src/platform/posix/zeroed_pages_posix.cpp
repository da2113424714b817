#include "platform/zeroed_pages.h"

#include <sys/mman.h>

namespace upkeep {

void* AllocateZeroedPages(size_t size) {
  void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return pages == MAP_FAILED ? nullptr : pages;
}

void FreeZeroedPages(void* pages, size_t size) {
  if (pages != nullptr) munmap(pages, size);
}

}  // namespace upkeep
