// The procedure of the worker thread that runs one whole update: installation
// facts and checks, the bank clean-up, the update script, and the report in
// the log, in a message box and to the front end.
#ifndef UPKEEP_APP_UPDATE_DRIVER_H_
#define UPKEEP_APP_UPDATE_DRIVER_H_

#include <cstdint>
#include <string>

#include "app/host.h"
#include "engine/progress.h"

namespace upkeep {

// The driver's own result codes beside the runner's 0, 1, 2, 3 and 6.
enum : int32_t {
  kWrongInstallation = -1,  // wrong language or version: may be repeated
  kCannotUpdate = 4,        // no registry entry, directory or program file, or still running
};

// Runs one update for `host`; returns 0 in every case (the thread's exit code).
uint32_t UpdateDriver(UpdateHost* host);
// The same with the shape StartThread wants; `host` is an UpdateHost*.
uint32_t UpdateDriverThread(void* host);

// Deletes every file whose name matches "bank*.*" (any letter case) in
// `folder` and in all its subfolders, except those whose name begins with '.'.
// Folders stay. Walks iteratively; failures are ignored.
void DeleteBankFiles(const std::string& folder);

// The game's data folders whose bank files are stale before every update,
// relative to the game directory, in the order they are cleaned.
extern const char* const kBankFolders[4];

// Where progress reports go: the front end's progress page while a run is
// active. The worker thread calls it, synchronously.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  // The order of the progress page's SetProgress: lower bar, upper bar, labels.
  virtual void SetProgress(int32_t overall, int32_t step, const char* operationText,
                           const char* fileName) = 0;
};

// The front end sets its sink when it shows its progress page and clears it
// (null) when the page goes; reports without a sink are dropped.
void SetProgressSink(ProgressSink* sink);

// The one ProgressCallback handed to the engine: forwards to the current sink.
void HostProgressCallback(int32_t overallPercent, int32_t stepPercent, const char* fileName,
                          const char* operationText);

// What a final report shows and tells the front end.
struct FinalReport {
  std::string text;
  MessageIcon icon;
  UpdateOutcome outcome;
};
// The report of a run that ended with `code`; `message` is the text the
// failing check prepared (codes -1 and 4).
FinalReport FinalReportFor(int32_t code, const std::string& message);

// Test seam for the platform calls whose real effect a test cannot bear: the
// program's own path (it names the package) and the two waits. Null members
// keep the default.
struct DriverPlatform {
  std::string (*programPath)() = nullptr;
  void (*sleep)(uint32_t ms) = nullptr;
};
void SetDriverPlatform(const DriverPlatform& platform);

}  // namespace upkeep

#endif  // UPKEEP_APP_UPDATE_DRIVER_H_
