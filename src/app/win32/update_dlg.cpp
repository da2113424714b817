#include "app/win32/update_dlg.h"

#include "app/startup.h"
#include "app/text_fit.h"
#include "app/update_driver.h"
#include "app/win32/resource.h"
#include "app/win32/taskbar_progress.h"
#include "platform/process.h"
#include "platform/shell_open.h"
#include "script/string_table.h"

namespace upkeep {

namespace {

// The pacing timer of the progress page.
constexpr UINT_PTR kProgressTimer = 1;

DWORD WINAPI WorkerMain(LPVOID host) { return UpdateDriver(static_cast<UpdateHost*>(host)); }

// The texts of controls newer than most string tables, in English when the
// package's table does not have them.
std::string TextOr(const char* token, const char* fallback) {
  const std::string text = ExpandText(token);
  return text == token ? std::string(fallback) : text;
}

// Width in pixels of `text` drawn in `font`.
int TextWidth(HFONT font, const std::string& text) {
  HDC dc = GetDC(nullptr);
  if (dc == nullptr) return 0;
  HGDIOBJ old = font != nullptr ? SelectObject(dc, font) : nullptr;
  const std::wstring wide = Wide(text);
  SIZE size{0, 0};
  GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
  if (old != nullptr) SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return size.cx;
}

// The caption a message box gets when the program names none of its own: the
// program file's name without its extension.
std::string ApplicationName() {
  std::string name = GetProgramPath();
  size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

}  // namespace

CInfoPage::CInfoPage(CWnd* parent) : CDialog(IDD_INFO_PAGE, parent) {}

CInfoPage::~CInfoPage() = default;

void CInfoPage::DoDataExchange(CDataExchange* pDX) { DDX_Text(pDX, IDC_INFO_TEXT, m_strInfo); }

BOOL CInfoPage::OnInitDialog() {
  CDialog::OnInitDialog();  // copies m_strInfo into its control
  return TRUE;
}

CProgressPage::CProgressPage(CWnd* parent) : CDialog(IDD_PROGRESS_PAGE, parent) {}

std::string CProgressPage::ShownFile(const std::string& file) const {
  // A path too long for its one line keeps its file name: the middle goes.
  RECT box;
  if (!GetClientRect(m_stFile.m_hWnd, &box)) return file;
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(m_stFile.m_hWnd, WM_GETFONT, 0, 0));
  const int room = box.right - box.left;
  return ShortenPathMiddle(
      file, [font, room](const std::string& t) { return TextWidth(font, t) <= room; });
}

CProgressPage::~CProgressPage() = default;

void CProgressPage::DoDataExchange(CDataExchange* pDX) {
  DDX_Control(pDX, IDC_FILE, m_stFile);
  DDX_Control(pDX, IDC_OPERATION, m_stOperation);
  DDX_Control(pDX, IDC_STEP_BAR, m_barStep);
  DDX_Control(pDX, IDC_OVERALL_BAR, m_barOverall);
}

BOOL CProgressPage::OnInitDialog() {
  CDialog::OnInitDialog();
  // The dialog manager turns a control's WS_BORDER into a client edge, which
  // the progress class then drops: put back the plain border of the template.
  for (CProgressCtrl* bar : {&m_barStep, &m_barOverall}) {
    if (bar->m_hWnd == nullptr) continue;
    SetWindowLongPtrW(bar->m_hWnd, GWL_STYLE,
                      GetWindowLongPtrW(bar->m_hWnd, GWL_STYLE) | WS_BORDER);
    SetWindowPos(bar->m_hWnd, nullptr, 0, 0, 0, 0,
                 SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  // The range starts at 1, so position 0 shows an empty bar.
  for (CProgressCtrl* bar : {&m_barStep, &m_barOverall}) {
    bar->SetRange(1, 100);
    bar->SetStep(1);
    bar->SetPos(0);
  }
  return TRUE;
}

bool CProgressPage::SetProgress(int overall, int step, const char* operationText,
                                const char* fileText) {
  // Only what changed is sent to the controls: the worker reports far more
  // often than the page changes, and each control message crosses threads.
  const std::string file = fileText != nullptr ? fileText : "";
  const std::string operation = operationText != nullptr ? operationText : "";
  if (file != m_strFile && m_stFile.m_hWnd != nullptr) m_strShownFile = ShownFile(file);
  const bool changed = !m_bShown || overall != m_nOverall || step != m_nStep || file != m_strFile ||
                       operation != m_strOperation;
  if (!m_bShown || overall != m_nOverall) m_barOverall.SetPos(overall);
  if (!m_bShown || step != m_nStep) m_barStep.SetPos(step);
  if (!m_bShown || file != m_strFile) m_stFile.SetText(m_strShownFile);
  if (!m_bShown || operation != m_strOperation) m_stOperation.SetText(operation);
  m_bShown = true;
  m_nOverall = overall;
  m_nStep = step;
  m_strFile = file;
  m_strOperation = operation;
  return changed;
}

CUpdateDlg::CUpdateDlg(CWnd* parent) : CDialog(IDD_UPDATE_DIALOG, parent) {
  InitializeCriticalSection(&progress_lock_);
  stop_answered_ = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  m_hIcon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME));
}

CUpdateDlg::~CUpdateDlg() {
  delete taskbar_;
  taskbar_ = nullptr;
  delete m_pProgressPage;
  m_pProgressPage = nullptr;
  delete m_pInfoPage;
  m_pInfoPage = nullptr;
  if (m_hThread != nullptr) CloseHandle(m_hThread);
  DeleteCriticalSection(&progress_lock_);
  if (stop_answered_ != nullptr) CloseHandle(stop_answered_);
}

void CUpdateDlg::DoDataExchange(CDataExchange* pDX) {
  DDX_Control(pDX, IDCANCEL, m_btnClose);
  DDX_Control(pDX, IDC_UPDATE, m_btnUpdate);
  DDX_Control(pDX, IDC_STOP, m_btnStop);
  DDX_Control(pDX, IDC_SHOW_LOG, m_btnShowLog);
}

BOOL CUpdateDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

  m_pInfoPage = new CInfoPage();
  m_pInfoPage->SetInfoText(InfoText());
  if (m_pInfoPage->Create(this)) m_pInfoPage->Show(SW_SHOW);

  m_btnClose.SetText(ExpandText("&IDS_BTN_CLOSE&"));
  m_btnUpdate.SetText(ExpandText("&IDS_BTN_UPDATE&"));
  m_btnStop.SetText(TextOr("&IDS_BTN_CANCEL&", "Cancel"));
  m_btnShowLog.SetText(TextOr("&IDS_BTN_SHOW_LOG&", "Show log"));
  SetText(FittingCaption());

  taskbar_created_ = RegisterWindowMessageW(L"TaskbarButtonCreated");
  taskbar_ = new TaskbarProgress(m_hWnd);

  // Enter means Update, the default button: so does the focus.
  SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(m_btnUpdate.m_hWnd), TRUE);
  // Unattended: the dialog first appears with the progress page.
  if (m_bForce) OnUpdate();
  return FALSE;
}

std::string CUpdateDlg::FittingCaption() const {
  // The title bar's room: the window less its frame, icon and the two boxes.
  RECT window;
  if (!GetWindowRect(m_hWnd, &window)) return DialogCaption();
  const int room = (window.right - window.left) - GetSystemMetrics(SM_CXSMICON) -
                   2 * GetSystemMetrics(SM_CXSIZE) - 4 * GetSystemMetrics(SM_CXFIXEDFRAME) - 16;
  NONCLIENTMETRICSW metrics;
  metrics.cbSize = sizeof metrics;
  if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    return DialogCaption();
  }
  HFONT font = CreateFontIndirectW(&metrics.lfCaptionFont);
  const std::string caption = FittingDialogCaption(
      [font, room](const std::string& text) { return TextWidth(font, text) <= room; });
  if (font != nullptr) DeleteObject(font);
  return caption;
}

void CUpdateDlg::OnUpdate() {
  // A posted command reaches here even when the button is disabled.
  if (IsRunning() || !m_btnUpdate.IsEnabled()) return;
  const std::string question = UpdateQuestion();
  const std::string caption = MessageCaption();
  if (!m_bForce && ShowBox(m_hWnd, question, caption, MB_ICONQUESTION | MB_YESNO) != IDYES) {
    return;
  }

  if (m_pInfoPage != nullptr) m_pInfoPage->Show(SW_HIDE);
  m_btnClose.Enable(false);
  m_btnUpdate.Enable(false);
  // Cancel takes Update's place for the run; the last run's log button goes.
  stop_requested_ = false;
  log_path_.clear();
  m_btnShowLog.Show(SW_HIDE);
  m_btnUpdate.Show(SW_HIDE);
  m_btnStop.Enable(true);
  m_btnStop.Show(SW_SHOW);
  SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(m_btnStop.m_hWnd), TRUE);
  if (taskbar_ != nullptr) taskbar_->SetPercent(0);

  m_pProgressPage = new CProgressPage();
  CWnd* main =
      AfxGetApp() != nullptr && AfxGetApp()->m_pMainWnd != nullptr ? AfxGetApp()->m_pMainWnd : this;
  if (m_pProgressPage->Create(main)) {
    // Shown with the run's first step named: the worker's first report may
    // come only after the page is on screen.
    m_pProgressPage->SetProgress(0, 0, ExpandText("&IDS_PROGRESS_INIT&"), "");
    m_pProgressPage->Show(SW_SHOW);
  }

  // The previous run's thread has ended: its last act was WM_UPDATE_FINISHED.
  if (m_hThread != nullptr) {
    CloseHandle(m_hThread);
    m_hThread = nullptr;
  }
  m_hThread = CreateThread(nullptr, 0, &WorkerMain, static_cast<UpdateHost*>(this), 0, nullptr);
  if (m_hThread == nullptr) {
    ShowBox(m_hWnd, ExpandText("&IDS_ERR_FATAL_ERROR&"), ApplicationName(),
            MB_ICONEXCLAMATION | MB_OK);
    SendMessageW(m_hWnd, WM_UPDATE_FINISHED, static_cast<WPARAM>(UpdateOutcome::Failed), 0);
  }
}

LRESULT CUpdateDlg::OnUpdateFinished(WPARAM outcome, LPARAM) {
  // Anything but the two known outcomes is taken as a failure.
  UpdateOutcome result = UpdateOutcome::Failed;
  if (outcome == static_cast<WPARAM>(UpdateOutcome::Interrupted)) {
    result = UpdateOutcome::Interrupted;
  } else if (outcome == static_cast<WPARAM>(UpdateOutcome::Succeeded)) {
    result = UpdateOutcome::Succeeded;
  }
  // The worker has reported its last: what it left goes onto the page first.
  KillTimer(m_hWnd, kProgressTimer);
  ApplyPendingProgress();
  EnterCriticalSection(&progress_lock_);
  progress_posted_ = false;
  LeaveCriticalSection(&progress_lock_);

  ++run_count_;
  last_outcome_ = result;
  if (m_pInfoPage != nullptr) {
    m_pInfoPage->SetInfoText(OutcomeText(result));
    m_pInfoPage->UpdateData(false);
  }
  m_btnClose.Enable(true);
  m_btnUpdate.Enable(CanUpdateAgain(result));
  m_btnStop.Show(SW_HIDE);
  m_btnUpdate.Show(SW_SHOW);
  // A run that did not succeed may say why in its log.
  if (result != UpdateOutcome::Succeeded && !log_path_.empty()) m_btnShowLog.Show(SW_SHOW);
  if (taskbar_ != nullptr) {
    taskbar_->Finish(result == UpdateOutcome::Succeeded     ? TaskbarProgress::End::kNone
                     : result == UpdateOutcome::Interrupted ? TaskbarProgress::End::kPaused
                                                            : TaskbarProgress::End::kError);
  }

  if (m_pProgressPage != nullptr) {
    m_pProgressPage->DestroyWindow();
    delete m_pProgressPage;
    m_pProgressPage = nullptr;
  }
  if (m_pInfoPage != nullptr) m_pInfoPage->Show(SW_SHOW);
  // The focus was on a button that the run disabled: without this, the keys
  // would reach nothing after the final box.
  CButton& focus = m_btnUpdate.IsEnabled() ? m_btnUpdate : m_btnClose;
  SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(focus.m_hWnd), TRUE);
  return 0;
}

void CUpdateDlg::OnStop() {
  if (!IsRunning() || stop_requested_ || !m_btnStop.IsEnabled()) return;
  const std::string question =
      TextOr("&IDS_STOP_UPDATE&",
             "Stop the update?\nIt stops at the next step it can stop at safely. Files it has "
             "already updated stay updated; running the update again finishes it.");
  if (stop_answered_ != nullptr) ResetEvent(stop_answered_);
  const bool stop =
      ShowBox(m_hWnd, question, MessageCaption(), MB_ICONQUESTION | MB_YESNO) == IDYES;
  // The run may have ended while the question was up.
  if (stop && IsRunning()) {
    stop_requested_ = true;
    m_btnStop.Enable(false);
  }
  if (stop_answered_ != nullptr) SetEvent(stop_answered_);
}

bool CUpdateDlg::StopRequested() const {
  if (stop_answered_ != nullptr) WaitForSingleObject(stop_answered_, INFINITE);
  return stop_requested_;
}

void CUpdateDlg::OnShowLog() {
  if (!log_path_.empty()) ShellOpenTextFile(log_path_, m_hWnd);
}

void CUpdateDlg::LogWritten(const std::string& path) { log_path_ = path; }

void CUpdateDlg::OnCancel() {
  // Ending the process while the worker changes the installation would leave
  // it half-updated: a cancel that arrives during a run (Esc, the close box) is
  // ignored, as the disabled Close button is.
  if (IsRunning()) return;
  ExitProcess(0xFFFFFFFFu);
}

void CUpdateDlg::OnOK() {
  // Enter would end the dialog, and with it the program, under a running update.
  if (IsRunning()) return;
  CDialog::OnOK();
}

BOOL CUpdateDlg::DestroyWindow() {
  if (m_pInfoPage != nullptr) {
    m_pInfoPage->DestroyWindow();
    delete m_pInfoPage;
    m_pInfoPage = nullptr;
  }
  return CDialog::DestroyWindow();
}

bool CUpdateDlg::OnCommand(int id, int code, HWND control) {
  if (id == IDC_UPDATE && code == BN_CLICKED) {
    OnUpdate();
    return true;
  }
  if (id == IDC_STOP && code == BN_CLICKED) {
    OnStop();
    return true;
  }
  if (id == IDC_SHOW_LOG && code == BN_CLICKED) {
    OnShowLog();
    return true;
  }
  return CDialog::OnCommand(id, code, control);
}

bool CUpdateDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR* result) {
  if (taskbar_created_ != 0 && message == taskbar_created_) {
    if (taskbar_ != nullptr) taskbar_->Reconnect();
    *result = 0;
    return true;
  }
  switch (message) {
    case WM_PAINT:
      if (!IsIconic(m_hWnd)) return false;
      OnPaint();
      *result = 0;
      return true;
    case WM_QUERYDRAGICON:
      *result = reinterpret_cast<INT_PTR>(OnQueryDragIcon());
      return true;
    case WM_UPDATE_FINISHED:
      *result = OnUpdateFinished(wParam, lParam);
      return true;
    case WM_UPDATE_PROGRESS:
      OnUpdateProgress();
      *result = 0;
      return true;
    case WM_TIMER:
      if (wParam != kProgressTimer) return false;
      OnProgressTimer();
      *result = 0;
      return true;
    default:
      return false;
  }
}

void CUpdateDlg::OnPaint() {
  // Minimised: the icon, centred in the client area.
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(m_hWnd, &ps);
  SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  int cx_icon = GetSystemMetrics(SM_CXICON);
  int cy_icon = GetSystemMetrics(SM_CYICON);
  RECT rect;
  GetClientRect(m_hWnd, &rect);
  int x = (rect.right - rect.left - cx_icon + 1) / 2;
  int y = (rect.bottom - rect.top - cy_icon + 1) / 2;
  DrawIcon(dc, x, y, m_hIcon);
  EndPaint(m_hWnd, &ps);
}

int CUpdateDlg::ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon,
                            MessageButtons buttons) {
  UINT style = 0;
  switch (icon) {
    case MessageIcon::Information:
      style |= MB_ICONINFORMATION;
      break;
    case MessageIcon::Warning:
      style |= MB_ICONWARNING;
      break;
    case MessageIcon::Error:
      style |= MB_ICONERROR;
      break;
    case MessageIcon::Question:
      style |= MB_ICONQUESTION;
      break;
    case MessageIcon::Exclamation:
      style |= MB_ICONEXCLAMATION;
      break;
  }
  switch (buttons) {
    case MessageButtons::Ok:
      style |= MB_OK;
      break;
    case MessageButtons::RetryCancel:
      style |= MB_RETRYCANCEL;
      break;
    case MessageButtons::YesNo:
      style |= MB_YESNO;
      break;
  }
  // The box comes up over the page as the last report left it.
  CUpdateDlg* dialog = ProgressTarget();
  if (dialog->m_hWnd != nullptr) SendMessageW(dialog->m_hWnd, WM_UPDATE_PROGRESS, 0, 0);
  return ShowBox(m_hWnd, text, caption, style);
}

void CUpdateDlg::Finished(UpdateOutcome outcome) {
  SendMessageW(m_hWnd, WM_UPDATE_FINISHED, static_cast<WPARAM>(outcome), 0);
}

void CUpdateDlg::ShellOpen(const std::string& path) { ShellOpenFile(path, m_hWnd); }

CUpdateDlg* CUpdateDlg::ProgressTarget() {
  CWinApp* app = AfxGetApp();
  CUpdateDlg* dialog = app != nullptr ? dynamic_cast<CUpdateDlg*>(app->m_pMainWnd) : this;
  return dialog != nullptr ? dialog : this;
}

void CUpdateDlg::SetProgress(int32_t overall, int32_t step, const char* operationText,
                             const char* fileName) {
  // Each control message from this thread would wait for the window's thread
  // and its repaint: the report is left for that thread instead, which shows
  // the latest one and skips those it never got to.
  CUpdateDlg* dialog = ProgressTarget();
  if (dialog->m_hWnd == nullptr) return;
  EnterCriticalSection(&dialog->progress_lock_);
  dialog->pending_overall_ = overall;
  dialog->pending_step_ = step;
  dialog->pending_operation_ = operationText != nullptr ? operationText : "";
  dialog->pending_file_ = fileName != nullptr ? fileName : "";
  dialog->progress_dirty_ = true;
  const bool post = !dialog->progress_posted_;
  dialog->progress_posted_ = true;
  LeaveCriticalSection(&dialog->progress_lock_);
  if (post) PostMessageW(dialog->m_hWnd, WM_UPDATE_PROGRESS, 0, 0);
}

bool CUpdateDlg::ApplyPendingProgress() {
  EnterCriticalSection(&progress_lock_);
  const bool dirty = progress_dirty_;
  const int overall = pending_overall_;
  const int step = pending_step_;
  const std::string operation = pending_operation_;
  const std::string file = pending_file_;
  progress_dirty_ = false;
  LeaveCriticalSection(&progress_lock_);
  if (!dirty) return false;
  if (taskbar_ != nullptr && IsRunning()) taskbar_->SetPercent(overall);
  CProgressPage* page = m_pProgressPage;
  if (page == nullptr || page->m_hWnd == nullptr) return true;
  if (!page->SetProgress(overall, step, operation.c_str(), file.c_str())) return true;
  // Painted now, not when the queue has nothing else: only the controls that
  // changed, which invalidated themselves.
  RedrawWindow(page->m_hWnd, nullptr, nullptr, RDW_ALLCHILDREN | RDW_UPDATENOW);
  return true;
}

void CUpdateDlg::OnUpdateProgress() {
  // The first report after a quiet spell shows at once; those that follow
  // within the pace wait for the timer.
  ApplyPendingProgress();
  if (IsRunning()) SetTimer(m_hWnd, kProgressTimer, kProgressPaceMs, nullptr);
}

void CUpdateDlg::OnProgressTimer() {
  EnterCriticalSection(&progress_lock_);
  const bool dirty = progress_dirty_;
  // Under the lock with the check: a report left after it posts again.
  if (!dirty) progress_posted_ = false;
  LeaveCriticalSection(&progress_lock_);
  if (!dirty) {
    KillTimer(m_hWnd, kProgressTimer);
    return;
  }
  ApplyPendingProgress();
}

}  // namespace upkeep
