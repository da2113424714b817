// The terminal twin of the dialogs: message boxes as caption, icon kind and
// text with numbered choices, the two progress bars, and pages of text.
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
  // A long text (ANSI), word-wrapped to the terminal's width and, when a
  // person reads it in a terminal, shown a screen at a time.
  void ShowLongText(const std::string& text);
  // A heading line: the caption of a dialog.
  void ShowCaption(const std::string& caption);

  // A message box; the result is the button's Win32 id (kIdOk...).
  int MessageBox(const std::string& text, const std::string& caption, MessageIcon icon,
                 MessageButtons buttons);

  // Offers the labels (ANSI, '&' marks a mnemonic) as numbered choices and
  // returns the index chosen, or `cancelIndex` when no answer can be had
  // (end of input, Ctrl-C during a run).
  size_t Choose(const std::vector<std::string>& labels, size_t cancelIndex);
  // The same with labels as they are to be shown (UTF-8, no mnemonics), one
  // a line: names from the disk.
  size_t ChooseListed(const std::vector<std::string>& utf8Labels, size_t cancelIndex);

  // The progress page: shown while a run is active.
  void BeginProgress();
  void EndProgress();
  void SetProgress(int32_t overall, int32_t step, const char* operationText, const char* fileName);

  // Texts fitted to a width in columns (pure, for the front end and tests):
  // a labelled bar, and a text broken into lines at blanks.
  static std::string LabelledBar(const std::string& label, int32_t percent, int columns);
  static std::vector<std::string> WrapLines(const std::string& utf8, int columns);

 private:
  std::string Shown(const std::string& ansi) const;
  void Write(const std::string& utf8);
  void LeaveProgressArea();
  void DrawBars();
  size_t Ask(const std::vector<std::string>& shown, size_t cancelIndex, bool listed);

  bool force_;
  bool inTerminal_;
  bool outTerminal_;
  // The terminal takes cursor movements (not TERM=dumb): bars are redrawn in
  // place rather than written line by line.
  bool cursor_;
  std::mutex mutex_;
  bool progressDrawn_ = false;
  std::string lastOperation_;
  std::string operation_;
  std::string file_;
  // The file label as it fits the width it was last fitted to.
  std::string fittedFrom_;
  int fittedColumns_ = 0;
  std::string fitted_;
  int32_t overall_ = 0;
  int32_t step_ = 0;
};

}  // namespace upkeep

#endif  // UPKEEP_APP_CONSOLE_CONSOLE_UI_H_
