#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "platform/console.h"

namespace upkeep {

bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }
bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

namespace {
bool SizeOf(int fd, struct winsize* size) {
  return ioctl(fd, TIOCGWINSZ, size) == 0 && size->ws_col > 0;
}
int ColumnsOf(int fd) {
  struct winsize size;
  return SizeOf(fd, &size) ? size.ws_col : 80;
}
}  // namespace

int TerminalColumns() { return ColumnsOf(STDOUT_FILENO); }

int TerminalRows() {
  struct winsize size;
  return SizeOf(STDOUT_FILENO, &size) && size.ws_row > 0 ? size.ws_row : 24;
}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

int StderrColumns() { return ColumnsOf(STDERR_FILENO); }

namespace {

constexpr int kHeld[] = {SIGQUIT, SIGHUP, SIGTERM};
struct sigaction g_saved[sizeof kHeld / sizeof kHeld[0]];
struct sigaction g_saved_interrupt;
bool g_holding = false;
volatile sig_atomic_t g_interrupted = 0;
volatile sig_atomic_t g_exit_code = 255;

void NoteInterrupt(int) { g_interrupted = 1; }

void EndOnInterrupt(int) {
  // Only async-signal-safe calls: the line the terminal's "^C" stands on ends.
  const char eol = '\n';
  ssize_t ignored = write(STDOUT_FILENO, &eol, 1);
  (void)ignored;
  _exit(g_exit_code);
}

}  // namespace

void ExitOnInterrupt(int code) {
  g_exit_code = code;
  struct sigaction end = {};
  end.sa_handler = EndOnInterrupt;
  sigemptyset(&end.sa_mask);
  sigaction(SIGINT, &end, nullptr);
}

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
  if (hold) {
    g_interrupted = 0;
    struct sigaction note = {};
    note.sa_handler = NoteInterrupt;
    sigemptyset(&note.sa_mask);
    sigaction(SIGINT, &note, &g_saved_interrupt);
  } else {
    sigaction(SIGINT, &g_saved_interrupt, nullptr);
  }
}

bool TakeInterrupt() {
  const bool was = g_interrupted != 0;
  g_interrupted = 0;
  return was;
}

bool InterruptPending() { return g_interrupted != 0; }

void IgnoreBrokenPipes() { signal(SIGPIPE, SIG_IGN); }

namespace {
// Input read but not yet handed out: this is the only reader of the stream.
std::mutex g_input_lock;
std::string g_input;
bool g_input_ended = false;
}  // namespace

InputLine ReadInputLine(std::string* line) {
  std::lock_guard<std::mutex> lock(g_input_lock);
  for (;;) {
    const size_t eol = g_input.find('\n');
    if (eol != std::string::npos) {
      line->assign(g_input, 0, eol);
      g_input.erase(0, eol + 1);
      return InputLine::kLine;
    }
    if (g_input_ended) {
      if (g_input.empty()) return InputLine::kEnd;
      line->swap(g_input);
      g_input.clear();
      return InputLine::kLine;
    }
    if (TakeInterrupt()) return InputLine::kInterrupted;
    // Waits in short steps, so a Ctrl-C caught on any thread is seen here.
    struct pollfd in = {STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&in, 1, 100);
    if (ready < 0 && errno != EINTR) {
      g_input_ended = true;
      continue;
    }
    if (ready <= 0) continue;
    char buffer[4096];
    const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) {
      g_input_ended = true;
      continue;
    }
    g_input.append(buffer, static_cast<size_t>(got));
  }
}

}  // namespace upkeep
