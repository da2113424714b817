// The terminal twin of the dialogs: message boxes as caption, icon kind and
// text with numbered choices, the two progress bars, and plain pages of text.
// Package texts arrive in the ANSI code page and leave as UTF-8.
#ifndef UPKEEP_APP_CONSOLE_CONSOLE_UI_H_
#define UPKEEP_APP_CONSOLE_CONSOLE_UI_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "app/host.h"

namespace upkeep {

class ConsoleUi {
 public:
  explicit ConsoleUi(bool force);

  // Answers are read from standard input when it is a terminal, or when the
  // run is forced (answers may then be piped in); otherwise every question
  // gets its cancel answer without reading.
  bool CanAsk() const { return inTerminal_ || force_; }

  // A page of package text (ANSI) with a blank line before it.
  void ShowText(const std::string& text);
  // A heading line: the caption of a dialog.
  void ShowCaption(const std::string& caption);

  // A message box; the result is the button's Win32 id (kIdOk...).
  int MessageBox(const std::string& text, const std::string& caption, MessageIcon icon,
                 MessageButtons buttons);

  // Offers the labels (ANSI, '&' marks a mnemonic) as numbered choices and
  // returns the index chosen, or `cancelIndex` when no answer can be had.
  size_t Choose(const std::vector<std::string>& labels, size_t cancelIndex);

  // The progress page: shown while a run is active.
  void BeginProgress();
  void EndProgress();
  void SetProgress(int32_t overall, int32_t step, const char* operationText, const char* fileName);

 private:
  std::string Shown(const std::string& ansi) const;
  void Write(const std::string& utf8);
  void LeaveProgressArea();
  void DrawBars();

  bool force_;
  bool inTerminal_;
  bool outTerminal_;
  std::mutex mutex_;
  bool progressDrawn_ = false;
  std::string lastOperation_;
  std::string operation_;
  std::string file_;
  int32_t overall_ = 0;
  int32_t step_ = 0;
};

}  // namespace upkeep

#endif  // UPKEEP_APP_CONSOLE_CONSOLE_UI_H_
