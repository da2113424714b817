// Memory taken straight from the system as zeroed pages that are not touched
// until used: a large table of which a small input uses a few entries costs
// only those pages, where the heap would clear all of it first.
#ifndef UPKEEP_PLATFORM_ZEROED_PAGES_H_
#define UPKEEP_PLATFORM_ZEROED_PAGES_H_

#include <cstddef>

namespace upkeep {

// Null when the system has no room.
void* AllocateZeroedPages(size_t size);
// `size` as given to AllocateZeroedPages; null does nothing.
void FreeZeroedPages(void* pages, size_t size);

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_ZEROED_PAGES_H_
