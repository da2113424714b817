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
  m_btnAccept.SetText(ExpandText("&IDS_BTN_ACCEPT&"));
  m_btnDecline.SetText(ExpandText("&IDS_BTN_DECLINE&"));
  SetText(ExpandText("&IDS_TITLE_LICENCE&"));
  // The system gives the focus to the first tab stop, the terms view.
  return TRUE;
}

bool TermsDialog::OnCommand(int id, int code, HWND control) {
  if (id == IDC_TERMS_TEXT && code == EN_SETFOCUS) {
    // A dialog selects an edit control's whole text when it gets the focus;
    // the terms are read, not copied, so show them unselected.
    m_termsView.SetSel(-1, 0);
    m_termsView.ScrollCaret();
    return true;
  }
  return CDialog::OnCommand(id, code, control);
}

}  // namespace upkeep
