// The terms agreement: the package's terms text in a read-only view, with an
// accept and a decline button. Start-up goes on only after IDOK.
#ifndef UPKEEP_APP_WIN32_TERMS_DIALOG_H_
#define UPKEEP_APP_WIN32_TERMS_DIALOG_H_

#include <string>

#include "app/win32/dialog.h"

namespace upkeep {

class TermsDialog : public CDialog {
 public:
  explicit TermsDialog(CWnd* parent = nullptr);
  ~TermsDialog() override;

  CEdit m_termsView;
  CButton m_btnDecline;
  CButton m_btnAccept;
  std::string termsText;

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnInitDialog() override;
  bool OnCommand(int id, int code, HWND control) override;

 private:
  HICON m_hIcon = nullptr;
  int m_nCaret = 0;  // where the caret was when the view lost the focus
};

}  // namespace upkeep

#endif  // UPKEEP_APP_WIN32_TERMS_DIALOG_H_
