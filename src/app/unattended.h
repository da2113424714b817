// The program without a user: what "-silent" runs after start-up, the same for
// the dialog and the console front ends.
#ifndef UPKEEP_APP_UNATTENDED_H_
#define UPKEEP_APP_UNATTENDED_H_

#include <string>

#include "app/startup.h"

namespace upkeep {

// The single-instance guard without its box, then one update on this thread
// with every question answered by the button that changes nothing (Cancel,
// No), no read-me and nothing shown. `logCopy` is PrepareLogCopy's path or
// empty. Returns the exit code: 0 succeeded, 1 interrupted, 3 failed. A slot
// held by another copy is 1: nothing was changed and a later run may work.
int RunSilently(const StartupOptions& options, const std::string& logCopy);

}  // namespace upkeep

#endif  // UPKEEP_APP_UNATTENDED_H_
