#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/console.h"

namespace upkeep {

bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }
bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

namespace {
int ColumnsOf(int fd) {
  struct winsize size;
  if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}
}  // namespace

int TerminalColumns() { return ColumnsOf(STDOUT_FILENO); }

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

int StderrColumns() { return ColumnsOf(STDERR_FILENO); }

namespace {

constexpr int kHeld[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};
struct sigaction g_saved[sizeof kHeld / sizeof kHeld[0]];
bool g_holding = false;

}  // namespace

void HoldInterrupts(bool hold) {
  if (hold == g_holding) return;
  g_holding = hold;
  for (size_t i = 0; i < sizeof kHeld / sizeof kHeld[0]; ++i) {
    if (hold) {
      struct sigaction ignore = {};
      ignore.sa_handler = SIG_IGN;
      sigemptyset(&ignore.sa_mask);
      sigaction(kHeld[i], &ignore, &g_saved[i]);
    } else {
      sigaction(kHeld[i], &g_saved[i], nullptr);
    }
  }
}

void IgnoreBrokenPipes() { signal(SIGPIPE, SIG_IGN); }

}  // namespace upkeep
