#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "install/installation.h"
#include "test_util.h"

namespace upkeep {
namespace {

// Polls `condition` until it holds (true) or the timeout passes (false).
bool WaitFor(const std::function<bool()>& condition, int timeout_ms = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Starts `sh -c script` in a process group of its own, with the game's folder as its working
// directory and waits until the script has opened what it holds. The test process adopts
// the script's orphans meanwhile, so that Stop() can wait until every one has gone.
class Holder {
 public:
  Holder(const std::string& dir, const std::string& script) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      setpgid(0, 0);  // one group, so Stop() ends the grandchildren too
      if (chdir(dir.c_str()) != 0) _exit(126);
      dup2(ready[1], 9);
      execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(ready[1]);
    char c;
    EXPECT_EQ(read(ready[0], &c, 1), 1);  // the script writes once it holds the file
    close(ready[0]);
  }
  ~Holder() { Stop(); }
  void Stop() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGKILL);
    // The shell first, then its children, which it leaves to us as it dies.
    int st;
    while (waitpid(-pid_, &st, 0) > 0) {
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    pid_ = -1;
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

TEST(InstallRunningPosix, AnotherProcessHoldingTheProgramMeansRunning) {
  test::TempDir dir;
  const std::string exe = dir.Join("Game.exe");
  ASSERT_TRUE(test::WriteFileText(exe, "MZ"));
  ASSERT_FALSE(IsGameRunning(dir.path(), "Game.exe"));
  const char* scripts[] = {
      "exec 3<Game.exe; echo >&9; exec sleep 30",           // a reader
      "exec 3>>Game.exe; echo >&9; exec sleep 30",          // a writer
      "(exec 3<Game.exe; echo >&9; exec sleep 30) & wait",  // held by a grandchild
  };
  for (const char* script : scripts) {
    Holder holder(dir.path(), script);
    EXPECT_TRUE(IsGameRunning(dir.path(), "Game.exe")) << script;
    EXPECT_TRUE(IsGameRunning(dir.path(), "game.exe")) << script;
    holder.Stop();
    EXPECT_FALSE(IsGameRunning(dir.path(), "Game.exe")) << script;
  }
  EXPECT_EQ(test::ReadFileText(exe), "MZ");
}

TEST(InstallRunningPosix, AProgramBeingExecutedIsRunning) {
  test::TempDir dir;
  const std::string exe = dir.Join("sleeper.exe");
  ASSERT_EQ(system(("cp /bin/sleep '" + exe + "'").c_str()), 0);
  ASSERT_FALSE(IsGameRunning(dir.path(), "sleeper.exe"));
  Holder holder(dir.path(), "echo >&9; exec ./sleeper.exe 30");
  // The shell said it was ready just before it turned into the program.
  const std::string image = "/proc/" + std::to_string(holder.pid()) + "/exe";
  ASSERT_TRUE(WaitFor([&] {
    char target[4096];
    const ssize_t n = readlink(image.c_str(), target, sizeof target - 1);
    return n > 0 &&
           std::string(target, static_cast<size_t>(n)).find("sleeper.exe") != std::string::npos;
  }));
  EXPECT_TRUE(IsGameRunning(dir.path(), "sleeper.exe"));
  holder.Stop();
  EXPECT_FALSE(IsGameRunning(dir.path(), "sleeper.exe"));
}

// Read-only is a file without any write permission, as Wine shows it; beyond
// that the permissions of whoever runs us decide the open.
TEST(InstallRunningPosix, ReadOnlyMeansNoWriteBitAtAll) {
  test::TempDir dir;
  const std::string exe = dir.Join("Game.exe");
  ASSERT_TRUE(test::WriteFileText(exe, "MZ"));
  const bool root = geteuid() == 0;
  const struct {
    mode_t mode;
    bool running;
  } cases[] = {{0644, false}, {0244, false}, {0444, true}, {0555, true},
               {0000, true},  {0464, !root}, {0446, !root}};
  for (const auto& c : cases) {
    ASSERT_EQ(chmod(exe.c_str(), c.mode), 0);
    EXPECT_EQ(IsGameRunning(dir.path(), "Game.exe"), c.running) << std::oct << c.mode;
  }
}

// A program writable by us but owned by someone else: no lease can be taken
// on it, so its openers are looked for instead.
TEST(InstallRunningPosix, AnotherOwnersWritableProgram) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to change users";
  test::TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string exe = dir.Join("Game.exe");
  ASSERT_TRUE(test::WriteFileText(exe, "MZ"));
  ASSERT_EQ(chmod(exe.c_str(), 0666), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    // A changed user leaves the process undumpable, its /proc entries root's.
    prctl(PR_SET_DUMPABLE, 1);
    if (IsGameRunning(dir.path(), "Game.exe")) _exit(11);
    int ready[2];
    if (pipe(ready) != 0) _exit(12);
    pid_t holder = fork();
    if (holder == 0) {
      int fd = open(exe.c_str(), O_RDONLY);
      char c = fd >= 0 ? 'y' : 'n';
      if (write(ready[1], &c, 1) != 1) _exit(1);
      pause();
      _exit(0);
    }
    char c = 0;
    if (read(ready[0], &c, 1) != 1 || c != 'y') _exit(13);
    bool held = IsGameRunning(dir.path(), "Game.exe");
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    if (!held) _exit(14);
    if (IsGameRunning(dir.path(), "Game.exe")) _exit(15);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(test::ReadFileText(exe), "MZ");
}

}  // namespace
}  // namespace upkeep
