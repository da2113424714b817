// The main dialog with its information and progress pages. It is the Windows
// front end of the update driver: the driver's message boxes, progress reports
// and final notification arrive here from the worker thread.
#ifndef UPKEEP_APP_WIN32_UPDATE_DLG_H_
#define UPKEEP_APP_WIN32_UPDATE_DLG_H_

#include <windows.h>

#include <atomic>
#include <string>

#include "app/host.h"
#include "app/win32/dialog.h"

namespace upkeep {

// The dialog's private message: wParam an UpdateOutcome, lParam 0, result 0.
constexpr UINT WM_UPDATE_FINISHED = WM_USER + 100;
static_assert(WM_UPDATE_FINISHED == 1124, "fixed message number");
// Posted by the worker when it has left a progress report for the page, and
// sent before each of its message boxes; wParam and lParam 0, result 0.
constexpr UINT WM_UPDATE_PROGRESS = WM_USER + 101;

class CInfoPage : public CDialog {
 public:
  explicit CInfoPage(CWnd* parent = nullptr);
  ~CInfoPage() override;
  // Stores the text only; UpdateData(false) shows it.
  void SetInfoText(const std::string& text) { m_strInfo = text; }

  std::string m_strInfo;

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnInitDialog() override;
};

class CProgressPage : public CDialog {
 public:
  explicit CProgressPage(CWnd* parent = nullptr);
  ~CProgressPage() override;
  // Lower bar, upper bar, file label, operation label, in that order; false
  // when the page already showed exactly that.
  bool SetProgress(int overall, int step, const char* operationText, const char* fileText);

  CStatic m_stFile;
  CStatic m_stOperation;
  CProgressCtrl m_barStep;     // upper bar
  CProgressCtrl m_barOverall;  // lower bar

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnInitDialog() override;

 private:
  // The file text as the label can show it.
  std::string ShownFile(const std::string& file) const;

  bool m_bShown = false;  // nothing reported yet
  int m_nOverall = 0;
  int m_nStep = 0;
  std::string m_strFile;
  std::string m_strShownFile;
  std::string m_strOperation;
};

class TaskbarProgress;

class CUpdateDlg : public CDialog, public UpdateHost {
 public:
  explicit CUpdateDlg(CWnd* parent = nullptr);
  ~CUpdateDlg() override;
  BOOL DestroyWindow() override;

  // A run is active from OnUpdate until its WM_UPDATE_FINISHED.
  bool IsRunning() const { return m_pProgressPage != nullptr; }
  // Runs finished so far, and the outcome of the last one.
  int RunCount() const { return run_count_; }
  UpdateOutcome LastOutcome() const { return last_outcome_; }

  // UpdateHost, called from the worker thread.
  bool SkipSpaceCheck() const override { return m_bSkipSpaceCheck; }
  bool SkipShortcuts() const override { return m_bSkipShortcuts; }
  int ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon,
                  MessageButtons buttons) override;
  void Finished(UpdateOutcome outcome) override;
  void ShellOpen(const std::string& path) override;
  std::string LogCopyPath() const override { return m_strLogCopy; }
  // While the Cancel question is up, the run waits here for the answer: it
  // would otherwise go on changing the game, even to its end, under it.
  bool StopRequested() const override;
  void LogWritten(const std::string& path) override;

  // The progress callback: the progress page of the application's main
  // window, when it has one. The worker only leaves the report here; the
  // window's own thread shows the latest one, at most about every
  // kProgressPaceMs while reports keep coming.
  void SetProgress(int32_t overall, int32_t step, const char* operationText,
                   const char* fileName) override;
  static constexpr UINT kProgressPaceMs = 30;

  CInfoPage* m_pInfoPage = nullptr;
  CProgressPage* m_pProgressPage = nullptr;
  bool m_bForce = false;
  bool m_bSkipSpaceCheck = false;
  bool m_bSkipShortcuts = false;
  HANDLE m_hThread = nullptr;
  CButton m_btnClose;
  CButton m_btnUpdate;
  CButton m_btnStop;     // Cancel, in Update's place while a run is active
  CButton m_btnShowLog;  // after a run that did not succeed, when it left a log
  HICON m_hIcon = nullptr;
  // Where each run's log is copied ("-log"); empty for nowhere.
  std::string m_strLogCopy;

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  bool OnCommand(int id, int code, HWND control) override;
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR* result) override;

  void OnPaint();
  HCURSOR OnQueryDragIcon() { return reinterpret_cast<HCURSOR>(m_hIcon); }
  void OnUpdate();
  LRESULT OnUpdateFinished(WPARAM outcome, LPARAM unused);
  void OnUpdateProgress();
  void OnProgressTimer();
  void OnStop();
  void OnShowLog();
  // The dialog caption, the program name shortened until it fits the title bar.
  std::string FittingCaption() const;

 private:
  // The dialog whose page shows the reports, and its window thread's side:
  // the pending report onto the page; false when there was none.
  CUpdateDlg* ProgressTarget();
  bool ApplyPendingProgress();

  // The latest report not yet on the page, shared with the worker.
  CRITICAL_SECTION progress_lock_;
  int pending_overall_ = 0;
  int pending_step_ = 0;
  std::string pending_operation_;
  std::string pending_file_;
  bool progress_dirty_ = false;
  // A WM_UPDATE_PROGRESS or the pacing timer is on its way: the worker posts
  // nothing more until the window thread finds no new report.
  bool progress_posted_ = false;

  int run_count_ = 0;
  UpdateOutcome last_outcome_ = UpdateOutcome::Failed;
  // Cancel was confirmed: the worker stops at its next safe point.
  std::atomic<bool> stop_requested_{false};
  // Reset while the Cancel question is up, set once it is answered.
  HANDLE stop_answered_ = nullptr;
  // The patch.log of the last run, set by the worker before it finishes.
  std::string log_path_;
  TaskbarProgress* taskbar_ = nullptr;
  UINT taskbar_created_ = 0;  // the shell's "TaskbarButtonCreated" message
};

}  // namespace upkeep

#endif  // UPKEEP_APP_WIN32_UPDATE_DLG_H_
