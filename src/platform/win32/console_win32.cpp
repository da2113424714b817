#include <windows.h>
#include <io.h>

#include "platform/console.h"

namespace upkeep {

bool StdinIsTerminal() { return _isatty(0) != 0; }
bool StdoutIsTerminal() { return _isatty(1) != 0; }

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns > 0) return columns;
  }
  return 80;
}

bool StderrIsTerminal() { return _isatty(2) != 0; }

int StderrColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
    int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns > 0) return columns;
  }
  return 80;
}

void HoldInterrupts(bool hold) { SetConsoleCtrlHandler(nullptr, hold ? TRUE : FALSE); }

void IgnoreBrokenPipes() {}

}  // namespace upkeep
