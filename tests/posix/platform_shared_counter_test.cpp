#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

#include "platform/posix/shared_counter.h"
#include "test_util.h"

namespace upkeep {
namespace {

using posix::SharedCounter;

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Runs `body` in a child process and returns its exit status (or -1).
template <typename Body>
int InChild(Body body) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Claims the way the guard does: decrement, and give back on refusal.
bool Claim(SharedCounter* counter) {
  if (counter->Decrement() >= 0) return true;
  counter->Increment();
  return false;
}

// Two SharedCounter objects hold separate locks, as two processes do.
TEST(PosixSharedCounter, OneSlotForEveryoneAttached) {
  test::TempDir dir;
  const std::string path = dir.Join("counter");
  SharedCounter first;
  ASSERT_TRUE(first.Attach(path, 1));
  EXPECT_EQ(first.Load(), 1);
  EXPECT_TRUE(Claim(&first));

  SharedCounter second;
  ASSERT_TRUE(second.Attach(path, 1));
  EXPECT_EQ(second.Load(), 0) << "a newcomer must not reset a live counter";
  EXPECT_FALSE(Claim(&second));
  EXPECT_FALSE(Claim(&second)) << "refusals are repeatable";
  EXPECT_EQ(first.Load(), 0) << "the holder's claim stays as it was";

  // Another process sees the same memory.
  EXPECT_EQ(InChild([&] {
              SharedCounter third;
              if (!third.Attach(path, 1)) return 2;
              return Claim(&third) ? 1 : 0;
            }),
            0);
}

TEST(PosixSharedCounter, OutlivesTheHolderWhileAnyoneIsAttached) {
  test::TempDir dir;
  const std::string path = dir.Join("counter");
  auto holder = std::make_unique<SharedCounter>();
  ASSERT_TRUE(holder->Attach(path, 1));
  ASSERT_TRUE(Claim(holder.get()));
  SharedCounter late;  // started while the holder ran
  ASSERT_TRUE(late.Attach(path, 1));
  holder.reset();  // the holder ends without giving its slot back
  EXPECT_TRUE(Exists(path));
  EXPECT_FALSE(Claim(&late));
  late.Detach();
  EXPECT_FALSE(Exists(path)) << "the last one to leave removes the file";

  SharedCounter fresh;
  ASSERT_TRUE(fresh.Attach(path, 1));
  EXPECT_TRUE(Claim(&fresh));
}

TEST(PosixSharedCounter, LeftoversOfCrashedProcessesAreReset) {
  test::TempDir dir;
  const std::string path = dir.Join("counter");
  // A process that claims and dies without any clean-up.
  EXPECT_EQ(InChild([&] {
              SharedCounter c;
              if (!c.Attach(path, 1) || !Claim(&c)) return 1;
              kill(getpid(), SIGKILL);
              return 3;
            }),
            -1);
  ASSERT_TRUE(Exists(path));
  SharedCounter next;
  ASSERT_TRUE(next.Attach(path, 1));
  EXPECT_EQ(next.Load(), 1);

  // A file of any other size or content, with nobody attached, is reset too.
  next.Detach();
  {
    std::ofstream junk(path, std::ios::binary | std::ios::trunc);
    junk << "garbage that is not a counter";
  }
  SharedCounter after_junk;
  ASSERT_TRUE(after_junk.Attach(path, 1));
  EXPECT_EQ(after_junk.Load(), 1);
}

TEST(PosixSharedCounter, ManyProcessesClaimingAtOnceLetExactlyOneThrough) {
  test::TempDir dir;
  const std::string path = dir.Join("counter");
  const std::string gate = dir.Join("gate");
  SharedCounter keeper;  // keeps the counter alive while the children race
  ASSERT_TRUE(keeper.Attach(path, 1));
  constexpr int kChildren = 8;
  pid_t pids[kChildren];
  // Each child reports on `tried` once it has claimed, then holds on until
  // `release` closes, so the winner keeps its claim while all others try.
  int tried[2], release[2];
  ASSERT_EQ(pipe(tried), 0);
  ASSERT_EQ(pipe(release), 0);
  fflush(nullptr);
  for (int i = 0; i < kChildren; ++i) {
    pids[i] = fork();
    if (pids[i] == 0) {
      close(tried[0]);
      close(release[1]);
      SharedCounter c;
      const bool attached = c.Attach(path, 1);
      while (!Exists(gate)) usleep(1000);
      const bool won = attached && Claim(&c);
      char byte = 'x';
      if (write(tried[1], &byte, 1) != 1) _exit(2);
      while (read(release[0], &byte, 1) > 0) {
      }
      _exit(!attached ? 2 : won ? 1 : 0);
    }
  }
  close(tried[1]);
  close(release[0]);
  ASSERT_TRUE(test::WriteFileText(gate, "go"));
  for (int reported = 0; reported < kChildren; ++reported) {
    char byte;
    if (read(tried[0], &byte, 1) != 1) break;  // a child died; its status tells
  }
  close(tried[0]);
  close(release[1]);
  int winners = 0;
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 2);
    winners += WEXITSTATUS(status);
  }
  EXPECT_EQ(winners, 1);
  EXPECT_EQ(keeper.Load(), 0);
}

TEST(PosixSharedCounter, KeyedByTheProgramFileNotItsName) {
  test::TempDir dir;
  const std::string a = dir.Join("a");
  const std::string b = dir.Join("b");
  ASSERT_TRUE(test::WriteFileText(a, "x"));
  ASSERT_TRUE(test::WriteFileText(b, "x"));
  ASSERT_EQ(link(a.c_str(), dir.Join("a-link").c_str()), 0);
  EXPECT_EQ(posix::InstanceCounterPath(a), posix::InstanceCounterPath(dir.Join("a-link")));
  EXPECT_NE(posix::InstanceCounterPath(a), posix::InstanceCounterPath(b));
  EXPECT_EQ(posix::InstanceCounterPath(dir.Join("missing")), "");
}

}  // namespace
}  // namespace upkeep
