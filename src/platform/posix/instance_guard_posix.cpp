#include "platform/instance_guard.h"

#include "platform/posix/shared_counter.h"
#include "platform/process.h"

namespace upkeep {

namespace {

// Lives until exit; its destructor lets the last process remove the file.
posix::SharedCounter g_counter;
bool g_attach_tried = false;

}  // namespace

void AttachInstanceCounter() {
  if (g_attach_tried) return;
  g_attach_tried = true;
  const std::string path = posix::InstanceCounterPath(GetProgramPath());
  if (!path.empty()) g_counter.Attach(path, 1);
}

bool ClaimInstanceSlot() {
  AttachInstanceCounter();
  // A system without any place for the counter must not make updating
  // impossible: such a process simply runs.
  if (!g_counter.attached()) return true;
  if (g_counter.Decrement() >= 0) return true;
  g_counter.Increment();
  return false;
}

}  // namespace upkeep
