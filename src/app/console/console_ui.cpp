#include "app/console/console_ui.h"

#include <cstdio>
#include <iostream>

#include "platform/code_page.h"
#include "platform/console.h"
#include "platform/text.h"

namespace upkeep {

namespace {

constexpr int kBarWidth = 40;

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

// The first `columns` characters of a UTF-8 line (code points, a fair
// measure for the texts a package carries).
std::string FitColumns(const std::string& utf8, int columns) {
  if (columns <= 0) return std::string();
  int seen = 0;
  for (size_t i = 0; i < utf8.size(); ++i) {
    if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) {
      if (seen == columns) return utf8.substr(0, i);
      ++seen;
    }
  }
  return utf8;
}

// First line only: a label of one line's height.
std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

std::string Bar(int32_t percent) {
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  const int filled = percent * kBarWidth / 100;
  char tail[16];
  snprintf(tail, sizeof tail, "] %3d%%", static_cast<int>(percent));
  return "[" + std::string(static_cast<size_t>(filled), '#') +
         std::string(static_cast<size_t>(kBarWidth - filled), '.') + tail;
}

}  // namespace

ConsoleUi::ConsoleUi(bool force)
    : force_(force), inTerminal_(StdinIsTerminal()), outTerminal_(StdoutIsTerminal()) {}

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

void ConsoleUi::LeaveProgressArea() { progressDrawn_ = false; }

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

size_t ConsoleUi::Choose(const std::vector<std::string>& labels, size_t cancelIndex) {
  std::vector<std::string> shown;
  std::string line;
  for (size_t i = 0; i < labels.size(); ++i) {
    shown.push_back(Shown(WithoutMnemonics(labels[i])));
    line += (i == 0 ? "" : "  ") + std::string("[") + std::to_string(i + 1) + "] " + shown[i];
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    LeaveProgressArea();
    Write(line + "\n");
  }
  if (!CanAsk()) return cancelIndex;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      Write("> ");
    }
    std::string answer;
    if (!std::getline(std::cin, answer)) {
      Write("\n");
      return cancelIndex;
    }
    answer = Trimmed(answer);
    if (!inTerminal_) Write(answer + "\n");  // keeps a transcript readable
    if (answer.empty() && labels.size() == 1) return 0;
    if (!answer.empty() && answer.size() <= 3 &&
        answer.find_first_not_of("0123456789") == std::string::npos) {
      const size_t n = static_cast<size_t>(std::stoul(answer));
      if (n >= 1 && n <= labels.size()) return n - 1;
    }
    const std::string wanted = AsciiLower(answer);
    size_t byInitial = labels.size();
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
  const int columns = TerminalColumns() - 1;
  std::string out;
  // Back to the top of the four lines drawn last time, then each one anew.
  if (progressDrawn_) out += "\033[4F";
  const std::string lines[4] = {
      FitColumns(FirstLine(operation_), columns), FitColumns(FirstLine(file_), columns),
      FitColumns(Bar(step_), columns), FitColumns(Bar(overall_), columns)};
  for (const std::string& line : lines) out += "\r\033[2K" + line + "\n";
  Write(out);
  progressDrawn_ = true;
}

void ConsoleUi::SetProgress(int32_t overall, int32_t step, const char* operationText,
                            const char* fileName) {
  std::lock_guard<std::mutex> lock(mutex_);
  overall_ = overall;
  step_ = step;
  operation_ = Shown(operationText);
  file_ = Shown(fileName);
  if (outTerminal_) {
    DrawBars();
  } else if (operation_ != lastOperation_) {
    // A report without a text (delta application) changes nothing to read.
    lastOperation_ = operation_;
    if (!operation_.empty()) Write(FirstLine(operation_) + "\n");
  }
}

}  // namespace upkeep
