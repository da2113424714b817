// Bytes every updater program carries, so that upkeep-pack can tell an updater
// from any other program before it puts a package behind one. Only the two
// front ends define them; no other program of the project holds them.
#ifndef UPKEEP_APP_STUB_MARKER_H_
#define UPKEEP_APP_STUB_MARKER_H_

#define UPKEEP_STUB_MARKER "#upkeep-updater-stub#1#"

#endif  // UPKEEP_APP_STUB_MARKER_H_
