#include "app/win32/dialog.h"

#include <commctrl.h>

#include <vector>

#include "platform/code_page.h"

namespace upkeep {

std::wstring Wide(const std::string& text) {
  const std::u16string wide = AnsiToUtf16(text);
  return std::wstring(wide.begin(), wide.end());
}

std::string Narrow(const std::wstring& text) {
  return Utf16ToAnsi(std::u16string(text.begin(), text.end()));
}

int ShowBox(HWND owner, const std::string& text, const std::string& caption, UINT style) {
  return MessageBoxW(owner, Wide(text).c_str(), Wide(caption).c_str(), style);
}

void CWnd::SetText(const std::string& text) {
  if (m_hWnd != nullptr) SetWindowTextW(m_hWnd, Wide(text).c_str());
}

std::string CWnd::GetText() const {
  if (m_hWnd == nullptr) return std::string();
  int length = GetWindowTextLengthW(m_hWnd);
  if (length <= 0) return std::string();
  std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
  int got = GetWindowTextW(m_hWnd, buffer.data(), length + 1);
  return Narrow(std::wstring(buffer.data(), got > 0 ? static_cast<size_t>(got) : 0));
}

void CWnd::Enable(bool enable) {
  if (m_hWnd != nullptr) EnableWindow(m_hWnd, enable ? TRUE : FALSE);
}

bool CWnd::IsEnabled() const { return m_hWnd != nullptr && IsWindowEnabled(m_hWnd); }

void CWnd::Show(int command) {
  if (m_hWnd != nullptr) ShowWindow(m_hWnd, command);
}

void CEdit::SetSel(int start, int end) {
  SendMessageW(m_hWnd, EM_SETSEL, static_cast<WPARAM>(start), static_cast<LPARAM>(end));
}

void CEdit::ScrollCaret() { SendMessageW(m_hWnd, EM_SCROLLCARET, 0, 0); }

void CProgressCtrl::SetRange(int lower, int upper) {
  SendMessageW(m_hWnd, PBM_SETRANGE32, static_cast<WPARAM>(lower), static_cast<LPARAM>(upper));
}

void CProgressCtrl::SetStep(int step) {
  SendMessageW(m_hWnd, PBM_SETSTEP, static_cast<WPARAM>(step), 0);
}

void CProgressCtrl::SetPos(int pos) {
  SendMessageW(m_hWnd, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
}

int CProgressCtrl::GetPos() const {
  return static_cast<int>(SendMessageW(m_hWnd, PBM_GETPOS, 0, 0));
}

void DDX_Control(CDataExchange* pDX, int id, CWnd& control) {
  if (control.m_hWnd == nullptr) control.m_hWnd = GetDlgItem(pDX->m_hDlg, id);
}

void DDX_Text(CDataExchange* pDX, int id, std::string& value) {
  HWND item = GetDlgItem(pDX->m_hDlg, id);
  if (item == nullptr) return;
  if (pDX->m_bSaveAndValidate) {
    CWnd wnd;
    wnd.m_hWnd = item;
    value = wnd.GetText();
  } else {
    SetWindowTextW(item, Wide(value).c_str());
  }
}

CDialog::CDialog(int templateId, CWnd* parent) : template_id_(templateId), parent_(parent) {}

CDialog::~CDialog() {
  // A window still alive would call back into a dead object.
  if (m_hWnd != nullptr) {
    SetWindowLongPtrW(m_hWnd, DWLP_USER, 0);
    ::DestroyWindow(m_hWnd);
    m_hWnd = nullptr;
  }
}

HWND CDialog::CreateWindowFromTemplate(HWND parent) {
  return CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(template_id_), parent,
                            &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
}

namespace {

// Centres a top-level window on its owner, or on the work area when it has none.
void CenterOnOwner(HWND hwnd, HWND owner) {
  RECT box;
  if (owner == nullptr || !IsWindowVisible(owner) || IsIconic(owner) ||
      !GetWindowRect(owner, &box)) {
    if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &box, 0)) return;
  }
  RECT self;
  if (!GetWindowRect(hwnd, &self)) return;
  int width = self.right - self.left;
  int height = self.bottom - self.top;
  int x = box.left + ((box.right - box.left) - width) / 2;
  int y = box.top + ((box.bottom - box.top) - height) / 2;
  SetWindowPos(hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

INT_PTR CDialog::DoModal() {
  HWND owner = parent_ != nullptr ? parent_->m_hWnd : nullptr;
  modal_running_ = true;
  modal_result_ = IDCANCEL;
  HWND hwnd = CreateWindowFromTemplate(owner);
  if (hwnd == nullptr) {
    modal_running_ = false;
    return -1;
  }
  bool owner_disabled = false;
  if (owner != nullptr && IsWindowEnabled(owner)) {
    EnableWindow(owner, FALSE);
    owner_disabled = true;
  }
  if (modal_running_) {
    CenterOnOwner(hwnd, owner);
    ShowWindow(hwnd, SW_SHOWNORMAL);
    UpdateWindow(hwnd);
  }
  // The modal loop: keyboard navigation (Tab, Enter, Esc) through the dialog
  // manager, everything else dispatched as usual.
  MSG msg;
  while (modal_running_) {
    BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    if (got == -1) break;
    if (m_hWnd != nullptr && IsDialogMessageW(m_hWnd, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  modal_running_ = false;
  if (owner_disabled) EnableWindow(owner, TRUE);
  if (m_hWnd != nullptr) {
    if (owner != nullptr) SetActiveWindow(owner);
    DestroyWindow();
  }
  return modal_result_;
}

bool CDialog::Create(CWnd* parent) {
  parent_ = parent;
  return CreateWindowFromTemplate(parent != nullptr ? parent->m_hWnd : nullptr) != nullptr;
}

BOOL CDialog::DestroyWindow() {
  if (m_hWnd == nullptr) return FALSE;
  HWND hwnd = m_hWnd;
  return ::DestroyWindow(hwnd);
}

bool CDialog::UpdateData(bool saveAndValidate) {
  if (m_hWnd == nullptr) return false;
  CDataExchange dx{m_hWnd, saveAndValidate};
  DoDataExchange(&dx);
  return true;
}

void CDialog::EndDialog(INT_PTR result) {
  modal_result_ = result;
  modal_running_ = false;
  // Wakes the modal loop when this runs outside one of its own messages.
  if (m_hWnd != nullptr) PostMessageW(m_hWnd, WM_NULL, 0, 0);
}

BOOL CDialog::OnInitDialog() {
  UpdateData(false);
  return TRUE;
}

void CDialog::OnOK() {
  UpdateData(true);
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

bool CDialog::OnCommand(int id, int code, HWND control) {
  if (code != BN_CLICKED) return false;
  if (id == IDOK) {
    OnOK();
    return true;
  }
  if (id == IDCANCEL) {
    OnCancel();
    return true;
  }
  return false;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CDialog* self = nullptr;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<CDialog*>(lParam);
    SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    self->m_hWnd = hwnd;
  } else {
    self = reinterpret_cast<CDialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  }
  if (self == nullptr) return FALSE;
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(hwnd, DWLP_USER, 0);
    self->m_hWnd = nullptr;
    return FALSE;
  }
  return self->HandleMessage(message, wParam, lParam);
}

INT_PTR CDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_COMMAND:
      if (OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam))) {
        SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, 0);
        return TRUE;
      }
      return FALSE;
    default:
      break;
  }
  INT_PTR result = 0;
  if (!OnMessage(message, wParam, lParam, &result)) return FALSE;
  // These messages return their value directly; the rest through DWLP_MSGRESULT.
  switch (message) {
    case WM_QUERYDRAGICON:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
      return result;
    default:
      if (m_hWnd != nullptr) SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, result);
      return TRUE;
  }
}

namespace {
CWinApp* g_app = nullptr;
}

CWinApp::CWinApp() { g_app = this; }

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

CWinApp* AfxGetApp() { return g_app; }

}  // namespace upkeep
