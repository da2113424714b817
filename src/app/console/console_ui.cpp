#include "app/console/console_ui.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/text_fit.h"
#include "platform/code_page.h"
#include "platform/console.h"
#include "platform/text.h"

namespace upkeep {

namespace {

const char* IconName(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Information:
      return "information";
    case MessageIcon::Warning:
    case MessageIcon::Exclamation:
      return "warning";
    case MessageIcon::Error:
      return "error";
    case MessageIcon::Question:
      return "question";
  }
  return "information";
}

// A button label without its mnemonic marks: "&Update" shows as "Update",
// "&&" as one "&".
std::string WithoutMnemonics(const std::string& label) {
  std::string out;
  for (size_t i = 0; i < label.size(); ++i) {
    if (label[i] == '&') {
      if (i + 1 < label.size() && label[i + 1] == '&') {
        out += '&';
        ++i;
      }
      continue;
    }
    out += label[i];
  }
  return out;
}

std::string Trimmed(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

std::string AsciiLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool IsLead(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

// Columns of a UTF-8 text, one per code point: a fair measure for the texts
// a package carries.
int Columns(const std::string& utf8) {
  int n = 0;
  for (char c : utf8) n += IsLead(c) ? 1 : 0;
  return n;
}

// The first `columns` characters of a UTF-8 line.
std::string FitColumns(const std::string& utf8, int columns) {
  if (columns <= 0) return std::string();
  int seen = 0;
  for (size_t i = 0; i < utf8.size(); ++i) {
    if (IsLead(utf8[i])) {
      if (seen == columns) return utf8.substr(0, i);
      ++seen;
    }
  }
  return utf8;
}

// First line only: a label of one line's height.
std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// The labels of the two bars, as wide as each other.
const char kStepLabel[] = "File ";
const char kOverallLabel[] = "Total";

// The terminal understands cursor movements unless it says it does not.
bool TerminalTakesCursorCodes() {
  const char* term = std::getenv("TERM");
  return term == nullptr || std::strcmp(term, "dumb") != 0;
}

}  // namespace

ConsoleUi::ConsoleUi(bool force)
    : force_(force),
      inTerminal_(StdinIsTerminal()),
      outTerminal_(StdoutIsTerminal()),
      cursor_(outTerminal_ && TerminalTakesCursorCodes()) {}

std::string ConsoleUi::LabelledBar(const std::string& label, int32_t percent, int columns) {
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  char tail[16];
  snprintf(tail, sizeof tail, "] %3d%%", static_cast<int>(percent));
  const int width = columns - static_cast<int>(label.size()) - 2 - static_cast<int>(strlen(tail));
  if (width < 4) {
    snprintf(tail, sizeof tail, " %d%%", static_cast<int>(percent));
    return FitColumns(label + tail, columns);
  }
  const int filled = percent * width / 100;
  return label + " [" + std::string(static_cast<size_t>(filled), '#') +
         std::string(static_cast<size_t>(width - filled), '.') + tail;
}

std::vector<std::string> ConsoleUi::WrapLines(const std::string& utf8, int columns) {
  std::vector<std::string> lines;
  if (columns < 1) columns = 1;
  size_t start = 0;
  for (;;) {
    const size_t end = utf8.find('\n', start);
    std::string rest =
        utf8.substr(start, end == std::string::npos ? std::string::npos : end - start);
    // A paragraph is broken at its last blank before the width; a word wider
    // than a line is cut.
    for (;;) {
      if (Columns(rest) <= columns) {
        lines.push_back(rest);
        break;
      }
      const std::string fitting = FitColumns(rest, columns);
      size_t cut = fitting.find_last_of(' ');
      size_t next = cut;
      if (cut == std::string::npos || cut == 0) {
        cut = next = fitting.size();
      } else {
        ++next;
      }
      lines.push_back(rest.substr(0, cut));
      rest.erase(0, next);
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  // The text's own last line end makes no empty line of its own.
  if (lines.size() > 1 && lines.back().empty()) lines.pop_back();
  return lines;
}

std::string ConsoleUi::Shown(const std::string& ansi) const {
  std::string utf8 = AnsiToUtf8(ansi, CurrentCodePage());
  std::string out;
  for (size_t i = 0; i < utf8.size(); ++i) {
    if (utf8[i] == '\r') {
      if (i + 1 < utf8.size() && utf8[i + 1] == '\n') continue;
      out += '\n';
    } else {
      out += utf8[i];
    }
  }
  return out;
}

void ConsoleUi::Write(const std::string& utf8) {
  fwrite(utf8.data(), 1, utf8.size(), stdout);
  fflush(stdout);
}

void ConsoleUi::LeaveProgressArea() {
  // The bars make way for what comes next: back to their first line, and
  // everything from there cleared.
  if (progressDrawn_ && cursor_) Write("\033[4F\033[J");
  progressDrawn_ = false;
}

void ConsoleUi::ShowCaption(const std::string& caption) {
  std::lock_guard<std::mutex> lock(mutex_);
  LeaveProgressArea();
  Write("\n== " + Shown(caption) + " ==\n");
}

void ConsoleUi::ShowText(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  LeaveProgressArea();
  std::string shown = Shown(text);
  if (shown.empty() || shown.back() != '\n') shown += '\n';
  Write("\n" + shown);
}

void ConsoleUi::ShowLongText(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  LeaveProgressArea();
  const std::vector<std::string> lines = WrapLines(Shown(text), TerminalColumns() - 1);
  // A screen at a time only for a person at a terminal; the prompt's own
  // line and the one before it stay free.
  const bool paged = inTerminal_ && outTerminal_;
  const size_t page = static_cast<size_t>(TerminalRows() > 4 ? TerminalRows() - 2 : 2);
  Write("\n");
  size_t shown = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    Write(lines[i] + "\n");
    if (!paged || ++shown < page || i + 1 == lines.size()) continue;
    shown = 0;
    Write("-- more (Enter; q: the rest) --");
    std::string answer;
    const bool got = ReadInputLine(&answer) == InputLine::kLine;
    if (cursor_) {
      Write("\033[1F\033[2K");  // the prompt and the answer go
    } else {
      Write("\n");
    }
    if (!got || AsciiLower(Trimmed(answer)) == "q") {
      for (++i; i < lines.size(); ++i) Write(lines[i] + "\n");
      break;
    }
  }
}

size_t ConsoleUi::Choose(const std::vector<std::string>& labels, size_t cancelIndex) {
  std::vector<std::string> shown;
  for (const std::string& label : labels) shown.push_back(Shown(WithoutMnemonics(label)));
  return Ask(shown, cancelIndex, false);
}

size_t ConsoleUi::ChooseListed(const std::vector<std::string>& utf8Labels, size_t cancelIndex) {
  return Ask(utf8Labels, cancelIndex, true);
}

size_t ConsoleUi::Ask(const std::vector<std::string>& shown, size_t cancelIndex, bool listed) {
  std::string line;
  for (size_t i = 0; i < shown.size(); ++i) {
    const std::string choice = "[" + std::to_string(i + 1) + "] " + shown[i];
    line += listed ? "  " + choice + "\n" : (i == 0 ? "" : "  ") + choice;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    LeaveProgressArea();
    Write(listed ? line : line + "\n");
  }
  if (!CanAsk()) return cancelIndex;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      Write("> ");
    }
    std::string answer;
    const InputLine got = ReadInputLine(&answer);
    if (got != InputLine::kLine) {
      // The end of input, or Ctrl-C: the question's cancel, as its close box.
      Write("\n");
      return cancelIndex;
    }
    answer = Trimmed(answer);
    if (!inTerminal_) Write(answer + "\n");  // keeps a transcript readable
    if (answer.empty() && shown.size() == 1) return 0;
    if (!answer.empty() && answer.size() <= 3 &&
        answer.find_first_not_of("0123456789") == std::string::npos) {
      const size_t n = static_cast<size_t>(std::stoul(answer));
      if (n >= 1 && n <= shown.size()) return n - 1;
    }
    const std::string wanted = AsciiLower(answer);
    size_t byInitial = shown.size();
    size_t initials = 0;
    for (size_t i = 0; i < shown.size(); ++i) {
      const std::string label = AsciiLower(Trimmed(shown[i]));
      if (!wanted.empty() && label == wanted) return i;
      if (wanted.size() == 1 && !label.empty() && label[0] == wanted[0]) {
        byInitial = i;
        ++initials;
      }
    }
    if (initials == 1) return byInitial;
    std::lock_guard<std::mutex> lock(mutex_);
    Write("Type a number from 1 to " + std::to_string(shown.size()) +
          (listed ? "" : ", or a choice's name,") + " and press Enter.\n");
  }
}

int ConsoleUi::MessageBox(const std::string& text, const std::string& caption, MessageIcon icon,
                          MessageButtons buttons) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    LeaveProgressArea();
    std::string shown = Shown(text);
    while (!shown.empty() && shown.back() == '\n') shown.pop_back();
    Write("\n-- " + Shown(caption) + " --\n" + IconName(icon) + ": " + shown + "\n");
  }
  switch (buttons) {
    case MessageButtons::Ok:
      // A forced run waits for nobody; interactively the box stays until
      // dismissed.
      if (force_ || !inTerminal_) {
        std::lock_guard<std::mutex> lock(mutex_);
        Write("[OK]\n");
        return kIdOk;
      }
      Choose({"OK"}, 0);
      return kIdOk;
    case MessageButtons::RetryCancel:
      return Choose({"Retry", "Cancel"}, 1) == 0 ? kIdRetry : kIdCancel;
    case MessageButtons::YesNo:
      // A Yes/No box has no cancel button; closing it is not possible, so
      // the answer that changes nothing stands in for it.
      return Choose({"Yes", "No"}, 1) == 0 ? kIdYes : kIdNo;
  }
  return kIdCancel;
}

void ConsoleUi::BeginProgress() {
  std::lock_guard<std::mutex> lock(mutex_);
  LeaveProgressArea();
  lastOperation_.clear();
  operation_.clear();
  file_.clear();
  overall_ = 0;
  step_ = 0;
  Write("\n");
}

void ConsoleUi::EndProgress() {
  std::lock_guard<std::mutex> lock(mutex_);
  LeaveProgressArea();
}

void ConsoleUi::DrawBars() {
  // One column short of the width: a line that fills the last column would
  // wrap on some terminals and break the redraw.
  const int columns = TerminalColumns() - 1;
  if (file_ != fittedFrom_ || columns != fittedColumns_) {
    fittedFrom_ = file_;
    fittedColumns_ = columns;
    fitted_ = ShortenPathMiddle(
        file_, [this, columns](const std::string& t) { return Columns(Shown(t)) <= columns; });
  }
  const std::string& file = fitted_;
  std::string out;
  // Back to the top of the four lines drawn last time, then each one anew.
  if (progressDrawn_) out += "\033[4F";
  const std::string lines[4] = {FitColumns(FirstLine(Shown(operation_)), columns),
                                FitColumns(FirstLine(Shown(file)), columns),
                                LabelledBar(kStepLabel, step_, columns),
                                LabelledBar(kOverallLabel, overall_, columns)};
  for (const std::string& line : lines) out += "\r\033[2K" + line + "\n";
  Write(out);
  progressDrawn_ = true;
}

void ConsoleUi::SetProgress(int32_t overall, int32_t step, const char* operationText,
                            const char* fileName) {
  std::lock_guard<std::mutex> lock(mutex_);
  overall_ = overall;
  step_ = step;
  operation_ = operationText != nullptr ? operationText : "";
  file_ = fileName != nullptr ? fileName : "";
  if (cursor_) {
    DrawBars();
    return;
  }
  const std::string shown = Shown(operation_);
  if (shown != lastOperation_) {
    lastOperation_ = shown;
    if (!shown.empty()) Write(FirstLine(shown) + "\n");
  }
}

}  // namespace upkeep
