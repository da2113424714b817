#include <windows.h>

#include "platform/instance_guard.h"

namespace upkeep {

// The section's SHARED flag makes every process of this image file see one
// copy of the counter; the loader maps it, so attaching is nothing to do.
extern "C" {
volatile LONG InstanceCounter __attribute__((section("Shared"), shared)) = 1;
}

void AttachInstanceCounter() {}

bool ClaimInstanceSlot() {
  if (InterlockedDecrement(&InstanceCounter) >= 0) return true;
  InterlockedIncrement(&InstanceCounter);
  return false;
}

}  // namespace upkeep
