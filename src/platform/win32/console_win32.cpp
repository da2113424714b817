#include <windows.h>
#include <io.h>

#include <iostream>

#include "platform/console.h"

namespace upkeep {

bool StdinIsTerminal() { return _isatty(0) != 0; }
bool StdoutIsTerminal() { return _isatty(1) != 0; }

namespace {
bool InfoOf(DWORD stdHandle, CONSOLE_SCREEN_BUFFER_INFO* info) {
  return GetConsoleScreenBufferInfo(GetStdHandle(stdHandle), info) != 0;
}
int ColumnsOf(DWORD stdHandle) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (InfoOf(stdHandle, &info)) {
    int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns > 0) return columns;
  }
  return 80;
}
}  // namespace

int TerminalColumns() { return ColumnsOf(STD_OUTPUT_HANDLE); }

int TerminalRows() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (InfoOf(STD_OUTPUT_HANDLE, &info)) {
    int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    if (rows > 0) return rows;
  }
  return 24;
}

bool StderrIsTerminal() { return _isatty(2) != 0; }

int StderrColumns() { return ColumnsOf(STD_ERROR_HANDLE); }

// The Windows programs have no terminal front end: Ctrl-C keeps the system's
// meaning outside a held stretch and is ignored inside one.
void ExitOnInterrupt(int) {}

void HoldInterrupts(bool hold) { SetConsoleCtrlHandler(nullptr, hold ? TRUE : FALSE); }

bool TakeInterrupt() { return false; }

bool InterruptPending() { return false; }

void IgnoreBrokenPipes() {}

InputLine ReadInputLine(std::string* line) {
  if (!std::getline(std::cin, *line)) return InputLine::kEnd;
  return InputLine::kLine;
}

}  // namespace upkeep
