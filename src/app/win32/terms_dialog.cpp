#include "app/win32/terms_dialog.h"

#include "script/string_table.h"
#include "app/win32/resource.h"

namespace upkeep {

TermsDialog::TermsDialog(CWnd* parent) : CDialog(IDD_TERMS_DIALOG, parent) {}

TermsDialog::~TermsDialog() = default;

void TermsDialog::DoDataExchange(CDataExchange* pDX) {
  DDX_Control(pDX, IDC_TERMS_TEXT, m_termsView);
  DDX_Control(pDX, IDCANCEL, m_btnDecline);
  DDX_Control(pDX, IDOK, m_btnAccept);
  DDX_Text(pDX, IDC_TERMS_TEXT, termsText);
}

BOOL TermsDialog::OnInitDialog() {
  CDialog::OnInitDialog();  // binds the controls and shows termsText
  // The program's icon, as the main dialog has it: in the title bar and on
  // the taskbar, the licence is the first window a player sees.
  m_hIcon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME));
  SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
  m_btnAccept.SetText(ExpandText("&IDS_BTN_ACCEPT&"));
  m_btnDecline.SetText(ExpandText("&IDS_BTN_DECLINE&"));
  SetText(ExpandText("&IDS_TITLE_LICENCE&"));
  // The system gives the focus to the first tab stop, the terms view.
  return TRUE;
}

bool TermsDialog::OnCommand(int id, int code, HWND control) {
  if (id == IDC_TERMS_TEXT && code == EN_KILLFOCUS) {
    DWORD start = 0;
    SendMessageW(m_termsView.m_hWnd, EM_GETSEL, reinterpret_cast<WPARAM>(&start), 0);
    m_nCaret = static_cast<int>(start);
    return true;
  }
  if (id == IDC_TERMS_TEXT && code == EN_SETFOCUS) {
    // A dialog selects an edit control's whole text when it gets the focus,
    // which leaves the caret after the last clause: the terms are read from
    // their start, and found again where the reader left them.
    m_termsView.SetSel(m_nCaret, m_nCaret);
    if (m_nCaret == 0) SendMessageW(m_termsView.m_hWnd, WM_VSCROLL, SB_TOP, 0);
    return true;
  }
  return CDialog::OnCommand(id, code, control);
}

}  // namespace upkeep
