#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/command_line.h"

namespace upkeep {

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

void UseUtf8Console() {}

int RunShellCommand(const std::string& command, const std::string& dir, std::string* problem) {
  const pid_t child = fork();
  if (child < 0) {
    *problem = std::string("cannot start a process: ") + std::strerror(errno);
    return -1;
  }
  if (child == 0) {
    if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(127);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      *problem = std::string("cannot wait for the command: ") + std::strerror(errno);
      return -1;
    }
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  *problem = "the command was ended by signal " + std::to_string(WTERMSIG(status));
  return -1;
}

}  // namespace upkeep
