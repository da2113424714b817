#include <windows.h>
#include <io.h>

#include "platform/console.h"

namespace upkeep {

bool StdinIsTerminal() { return _isatty(0) != 0; }
bool StdoutIsTerminal() { return _isatty(1) != 0; }

namespace {
int ColumnsOf(DWORD stdHandle) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(stdHandle), &info)) {
    int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns > 0) return columns;
  }
  return 80;
}
}  // namespace

int TerminalColumns() { return ColumnsOf(STD_OUTPUT_HANDLE); }

bool StderrIsTerminal() { return _isatty(2) != 0; }

int StderrColumns() { return ColumnsOf(STD_ERROR_HANDLE); }

void HoldInterrupts(bool hold) { SetConsoleCtrlHandler(nullptr, hold ? TRUE : FALSE); }

void IgnoreBrokenPipes() {}

}  // namespace upkeep
