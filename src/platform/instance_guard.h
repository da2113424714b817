// The counter that lets one process per program file run an update. It starts
// at 1; a process claims the slot by taking it to 0 and never gives it back.
// The counter lives as long as any process of the same program file runs, so
// a process that started while the holder ran is refused even after the holder
// has ended.
#ifndef UPKEEP_PLATFORM_INSTANCE_GUARD_H_
#define UPKEEP_PLATFORM_INSTANCE_GUARD_H_

namespace upkeep {

// Joins this process to its program file's counter. Start-up calls it first of
// all, where Windows maps the shared section with the image; later calls do
// nothing. Without it ClaimInstanceSlot attaches on first use.
void AttachInstanceCounter();

// Atomically decrements the counter: true when the new value is 0 or more
// (this process now holds the slot); otherwise increments it back and returns
// false. When no counter can be set up at all the process is let through.
bool ClaimInstanceSlot();

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_INSTANCE_GUARD_H_
