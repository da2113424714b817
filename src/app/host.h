// What the update driver needs from its front end. The Windows dialog and the
// console front end implement it; the driver never knows which one runs it.
#ifndef UPKEEP_APP_HOST_H_
#define UPKEEP_APP_HOST_H_

#include <cstdint>
#include <string>

namespace upkeep {

enum class UpdateOutcome : int { Interrupted = 1, Succeeded = 2, Failed = 3 };

enum class MessageIcon { Information, Warning, Error, Question, Exclamation };
enum class MessageButtons { Ok, RetryCancel, YesNo };
// Results with the Win32 values (IDOK, IDCANCEL, IDRETRY, IDYES, IDNO).
enum : int { kIdOk = 1, kIdCancel = 2, kIdRetry = 4, kIdYes = 6, kIdNo = 7 };

class UpdateHost {
 public:
  virtual ~UpdateHost() = default;
  virtual bool SkipSpaceCheck() const = 0;
  virtual bool SkipShortcuts() const = 0;
  // A modal message box owned by the front end's window; called from the worker.
  virtual int ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon,
                          MessageButtons buttons) = 0;
  // The final notification (WM_UPDATE_FINISHED); returns once the front end has
  // handled it.
  virtual void Finished(UpdateOutcome outcome) = 0;
  // Asks the shell to "open" a file; the result is ignored.
  virtual void ShellOpen(const std::string& path) = 0;
  // A progress report, in the order of the progress page's SetProgress: lower
  // bar, upper bar, operation label, file label (never null). Called from the
  // worker, synchronously; a front end without a progress page drops it.
  virtual void SetProgress(int32_t overall, int32_t step, const char* operationText,
                           const char* fileName) = 0;
  // Nobody watches ("-silent"): the pauses that let a user read the progress
  // page are left out.
  virtual bool Silent() const { return false; }
  // Where a copy of each run's log goes ("-log FILE"); empty for none.
  virtual std::string LogCopyPath() const { return std::string(); }
  // The user asked the running update to stop (Cancel): asked from the worker
  // between steps, so the run ends where running it again finishes it.
  virtual bool StopRequested() const { return false; }
  // The run's patch.log is at `path`; called before Finished, once it is whole.
  virtual void LogWritten(const std::string& path) {}
};

}  // namespace upkeep

#endif  // UPKEEP_APP_HOST_H_
