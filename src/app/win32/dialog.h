// A thin dialog layer over raw Win32: windows and controls as borrowed handles,
// modal and child dialogs created from templates, text exchange between members
// and controls, and message dispatch to virtual handlers. The names follow the
// classic framework names so the dialog classes read as their design does.
#ifndef UPKEEP_APP_WIN32_DIALOG_H_
#define UPKEEP_APP_WIN32_DIALOG_H_

#include <windows.h>

#include <string>

namespace upkeep {

// Texts of the package are in the string table's code page (the ANSI code
// page the platform uses); the windows are Unicode, so every text reaches the
// system through the W calls, converted from that code page, and reads the
// same on every Windows whatever its own code page.
std::wstring Wide(const std::string& text);
std::string Narrow(const std::wstring& text);
// A modal message box with package texts (MessageBoxW).
int ShowBox(HWND owner, const std::string& text, const std::string& caption, UINT style);

// A window handle the object does not own.
class CWnd {
 public:
  CWnd() = default;
  virtual ~CWnd() = default;
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  HWND GetSafeHwnd() const { return m_hWnd; }
  // The window's text, converted as Wide and Narrow do.
  void SetText(const std::string& text);
  std::string GetText() const;
  void Enable(bool enable);
  bool IsEnabled() const;
  void Show(int command);

  HWND m_hWnd = nullptr;
};

class CButton : public CWnd {};
class CStatic : public CWnd {};

class CEdit : public CWnd {
 public:
  void SetSel(int start, int end);
  void ScrollCaret();
};

class CProgressCtrl : public CWnd {
 public:
  void SetRange(int lower, int upper);
  void SetStep(int step);
  void SetPos(int pos);
  int GetPos() const;
};

// Direction and target of one data exchange.
struct CDataExchange {
  HWND m_hDlg;
  bool m_bSaveAndValidate;  // true: controls to members
};

// Binds a control of the dialog to a control member.
void DDX_Control(CDataExchange* pDX, int id, CWnd& control);
// Exchanges a text member with a control's text.
void DDX_Text(CDataExchange* pDX, int id, std::string& value);

class CDialog : public CWnd {
 public:
  CDialog(int templateId, CWnd* parent);
  ~CDialog() override;

  // Runs the dialog modally; the result given to EndDialog, or -1 when the
  // window cannot be created. The window is destroyed (DestroyWindow) before
  // this returns.
  INT_PTR DoModal();
  // Creates the dialog as a modeless window (a child page when its template
  // says WS_CHILD); false when the window cannot be created.
  bool Create(CWnd* parent);
  virtual BOOL DestroyWindow();
  // Runs DoDataExchange in the given direction.
  bool UpdateData(bool saveAndValidate);
  // Ends a modal run with `result`.
  void EndDialog(INT_PTR result);

 protected:
  virtual void DoDataExchange(CDataExchange* pDX) {}
  // Binds the controls and fills them from the members. TRUE lets the system
  // give the focus to the first tab stop.
  virtual BOOL OnInitDialog();
  // The accept command: members from the controls, then the end with IDOK.
  virtual void OnOK();
  // The cancel command: the end with IDCANCEL.
  virtual void OnCancel();
  // WM_COMMAND: IDOK and IDCANCEL reach OnOK and OnCancel; true when handled.
  virtual bool OnCommand(int id, int code, HWND control);
  // Every other message, like a message table: true when handled, with the
  // handler's result in *result.
  virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR* result) {
    return false;
  }

  int template_id() const { return template_id_; }
  CWnd* parent() const { return parent_; }

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  HWND CreateWindowFromTemplate(HWND parent);

  int template_id_;
  CWnd* parent_;
  bool modal_running_ = false;
  INT_PTR modal_result_ = IDCANCEL;
};

// The application object: start-up runs in InitInstance.
class CWinApp {
 public:
  CWinApp();
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;
  virtual BOOL InitInstance() = 0;

  CWnd* m_pMainWnd = nullptr;
  // The command line after the program name.
  const char* m_lpCmdLine = "";
  // What the process returns when InitInstance has returned.
  int m_nExitCode = 0;
};

// The one application object of the process.
CWinApp* AfxGetApp();

}  // namespace upkeep

#endif  // UPKEEP_APP_WIN32_DIALOG_H_
