// The whole run's progress on the program's taskbar button, where the system
// offers it (ITaskbarList3, Windows 7 and later); elsewhere it does nothing.
#ifndef UPKEEP_APP_WIN32_TASKBAR_PROGRESS_H_
#define UPKEEP_APP_WIN32_TASKBAR_PROGRESS_H_

#include <windows.h>

struct ITaskbarList3;

namespace upkeep {

class TaskbarProgress {
 public:
  // For `window`, on its own thread.
  explicit TaskbarProgress(HWND window);
  ~TaskbarProgress();
  TaskbarProgress(const TaskbarProgress&) = delete;
  TaskbarProgress& operator=(const TaskbarProgress&) = delete;

  // Percent of the whole run, 0 to 100.
  void SetPercent(int percent);
  // A run ended: none shown after success, the bar left red after a failure
  // and yellow after an interruption, until the next run.
  enum class End { kNone, kError, kPaused };
  void Finish(End end);
  // The shell made the button anew (Explorer restarted): ask for it again.
  void Reconnect();

 private:
  bool Connect();

  HWND window_;
  ITaskbarList3* list_ = nullptr;
  bool com_ = false;
  int shown_ = -1;
};

}  // namespace upkeep

#endif  // UPKEEP_APP_WIN32_TASKBAR_PROGRESS_H_
