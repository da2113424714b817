// The procedure of the worker thread that runs one whole update: installation
// facts and checks, the bank clean-up, the update script, and the report in
// the log, in a message box and to the front end.
#ifndef UPKEEP_APP_UPDATE_DRIVER_H_
#define UPKEEP_APP_UPDATE_DRIVER_H_

#include <cstdint>
#include <string>

#include "app/host.h"

namespace upkeep {

// The driver's own result codes beside the runner's 0, 1, 2, 3, 5, 6 and 7.
enum : int32_t {
  kWrongInstallation = -1,  // wrong language or version: may be repeated
  kCannotUpdate = 4,        // no registry entry, directory or program file
  kGameStillRunning = 9,    // the game runs and the player cancelled: nothing changed
  kAlreadyUpToDate = 8,     // the game already is what the update makes it: nothing to do
};

// Runs one update for `host`; returns 0 in every case (the thread's exit code).
uint32_t UpdateDriver(UpdateHost* host);
// The same with the shape StartThread wants; `host` is an UpdateHost*.
uint32_t UpdateDriverThread(void* host);

// What a final report shows and tells the front end.
struct FinalReport {
  std::string text;
  MessageIcon icon;
  UpdateOutcome outcome;
};
// The report of a run that ended with `code`; `message` is the text the
// failing check prepared (codes -1, 4 and 5).
FinalReport FinalReportFor(int32_t code, const std::string& message);

}  // namespace upkeep

#endif  // UPKEEP_APP_UPDATE_DRIVER_H_
