#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/path.h"
#include "platform/shell_open.h"

extern char** environ;

namespace upkeep {

namespace {

bool HasDisplay() {
  const char* x = getenv("DISPLAY");
  const char* wayland = getenv("WAYLAND_DISPLAY");
  return (x != nullptr && *x != '\0') || (wayland != nullptr && *wayland != '\0');
}

}  // namespace

void ShellOpenFile(const std::string& path, void* owner) {
  (void)owner;
  if (!HasDisplay()) return;
  const std::string native = posix::NativePath(path);
  // The opener talks to the terminal otherwise; it must not mix with ours.
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return;
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // A child that starts the opener and leaves at once: the opener is then
  // reparented, so nothing waits on it and no zombie stays behind.
  const char* argv[] = {"/bin/sh", "-c", "xdg-open \"$0\" & exit 0", native.c_str(), nullptr};
  // Signals the caller ignores for its own sake (a run must not be cut
  // short) are the opener's as usual.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGINT, SIGQUIT, SIGHUP, SIGTERM}) sigaddset(&defaults, signal);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t child;
  if (posix_spawn(&child, "/bin/sh", &actions, &attributes, const_cast<char**>(argv), environ) ==
      0) {
    int status;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
}

// The desktop picks the program by the content's type, which is text here.
void ShellOpenTextFile(const std::string& path, void* owner) { ShellOpenFile(path, owner); }

}  // namespace upkeep
