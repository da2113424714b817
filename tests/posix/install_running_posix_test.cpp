#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "install/installation.h"
#include "test_util.h"

namespace upkeep {
namespace {

// Starts `sh -c script` in a process group of its own, with the game's folder as its working
// directory and waits until the script has opened what it holds.
class Holder {
 public:
  Holder(const std::string& dir, const std::string& script) {
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
    int st;
    waitpid(pid_, &st, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

TEST(InstallRunningPosix, AnotherProcessHoldingTheProgramMeansRunning) {
  test::TempDir dir;
  const std::string exe = dir.Join("Game.exe");
  ASSERT_TRUE(test::WriteFileText(exe, "MZ"));
  ASSERT_FALSE(IsGameRunning(dir.path(), "Game.exe"));
  const char* scripts[] = {
      "exec 3<Game.exe; echo >&9; exec sleep 30",   // a reader
      "exec 3>>Game.exe; echo >&9; exec sleep 30",  // a writer
      "exec sleep 30 <Game.exe & echo >&9; wait",   // held by a grandchild
  };
  for (const char* script : scripts) {
    Holder holder(dir.path(), script);
    if (std::string(script).find('&') != std::string::npos) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_TRUE(IsGameRunning(dir.path(), "Game.exe")) << script;
    EXPECT_TRUE(IsGameRunning(dir.path(), "game.exe")) << script;
    holder.Stop();
    // A grandchild outlives its shell for a moment.
    for (int i = 0; i < 50 && IsGameRunning(dir.path(), "Game.exe"); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
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
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(IsGameRunning(dir.path(), "sleeper.exe"));
  holder.Stop();
  EXPECT_FALSE(IsGameRunning(dir.path(), "sleeper.exe"));
}

}  // namespace
}  // namespace upkeep
