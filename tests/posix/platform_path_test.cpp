#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "engine/commands.h"
#include "platform/file_system.h"
#include "platform/posix/path.h"
#include "platform/stream.h"
#include "test_util.h"

namespace upkeep {
namespace {

// Points WINEPREFIX at a throwaway prefix for one test.
class PrefixEnv {
 public:
  explicit PrefixEnv(const std::string& prefix) {
    const char* old = getenv("WINEPREFIX");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("WINEPREFIX", prefix.c_str(), 1);
  }
  ~PrefixEnv() {
    if (had_) {
      setenv("WINEPREFIX", old_.c_str(), 1);
    } else {
      unsetenv("WINEPREFIX");
    }
  }

 private:
  bool had_;
  std::string old_;
};

TEST(PosixPath, DriveLettersGoThroughTheWinePrefix) {
  test::TempDir dir;
  namespace fs = std::filesystem;
  fs::create_directories(dir.path() + "/drive_c/Games/My Game");
  fs::create_directories(dir.path() + "/dosdevices");
  fs::create_directory_symlink("../drive_c", dir.path() + "/dosdevices/c:");
  ASSERT_TRUE(test::WriteFileText(dir.path() + "/drive_c/Games/My Game/Game.EXE", "MZ"));
  PrefixEnv env(dir.path());

  EXPECT_TRUE(PathExists("C:\\Games\\My Game\\Game.EXE"));
  EXPECT_TRUE(PathExists("c:\\GAMES\\my game\\game.exe"));
  EXPECT_TRUE(PathExists("C:/games/MY GAME/game.exe"));
  // Folders spelled exactly, the name in another case.
  EXPECT_TRUE(PathExists("C:\\Games\\My Game\\game.exe"));
  EXPECT_EQ(GetFileSystem()->GetLongPath("C:\\Games\\My Game\\game.exe"),
            "C:\\Games\\My Game\\Game.EXE");
  EXPECT_FALSE(PathExists("C:\\Games\\Other\\game.exe"));
  EXPECT_TRUE(IsDirectory("C:\\GAMES\\MY GAME\\"));
  EXPECT_EQ(GetFileSystem()->GetLongPath("c:\\games\\MY GAME\\GAME.exe"),
            "c:\\Games\\My Game\\Game.EXE");
  EXPECT_EQ(GetFileSystem()->GetLongPath("c:\\games\\nothing"), "");

  // New files keep the spelling they were given; existing folders are reused.
  auto s = Stream::Open("C:\\GAMES\\MY GAME\\patch.log", "wt");
  ASSERT_NE(s, nullptr);
  s->Printf("x\n");
  s->Close();
  EXPECT_EQ(test::ReadFileText(dir.path() + "/drive_c/Games/My Game/patch.log"), "x\r\n");

  EXPECT_EQ(GetFileSystem()->GetFullPath("C:\\Games\\.\\X\\..\\My Game"), "C:\\Games\\My Game");
}

TEST(PosixPath, CaseOnlyRenameWorks) {
  test::TempDir dir;
  ASSERT_TRUE(test::WriteFileText(dir.Join("readme.txt"), "r"));
  EXPECT_TRUE(GetFileSystem()->Move(dir.Join("readme.txt"), dir.Join("README.TXT")));
  EXPECT_EQ(test::ReadFileText(dir.Join("README.TXT")), "r");
}

}  // namespace
}  // namespace upkeep

namespace upkeep {
namespace {

TEST(PosixPath, TreeRemovalRemovesLinksNotWhatTheyPointAt) {
  test::TempDir dir;
  namespace fs = std::filesystem;
  fs::create_directories(dir.Join("outside/keep"));
  ASSERT_TRUE(test::WriteFileText(dir.Join("outside/keep/precious.txt"), "p"));
  fs::create_directories(dir.Join("game/data"));
  fs::create_directory_symlink(dir.Join("outside"), dir.Join("game/data/link"));
  std::vector<FindEntry> found;
  ASSERT_TRUE(GetFileSystem()->Find(dir.Join("game/data/*.*"), &found));
  bool saw_link = false;
  for (const auto& e : found) {
    if (e.name == "link") {
      saw_link = true;
      EXPECT_NE(e.attributes & kAttrReparsePoint, 0u);
      EXPECT_NE(e.attributes & kAttrDirectory, 0u);
    }
  }
  EXPECT_TRUE(saw_link);
  EXPECT_EQ(RemoveDirectoryTree(dir.Join("game")), 0);
  EXPECT_FALSE(fs::exists(dir.Join("game")));
  EXPECT_EQ(test::ReadFileText(dir.Join("outside/keep/precious.txt")), "p");
}

}  // namespace
}  // namespace upkeep

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/posix/exclusive_open.h"

namespace upkeep {
namespace {

TEST(PosixExclusive, FallbackSeesAnotherProcessHoldingTheFile) {
  test::TempDir dir;
  std::string path = dir.Join("game.exe");
  ASSERT_TRUE(test::WriteFileText(path, "MZ"));
  EXPECT_FALSE(posix::OpenedElsewhereForTesting(path));
  // The holder knows the file by another name, as a game in a container does.
  std::string other = dir.Join("seen-elsewhere.exe");
  ASSERT_EQ(link(path.c_str(), other.c_str()), 0);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    dup2(ready[1], 9);
    execl("/bin/sh", "sh", "-c", ("exec 3<'" + other + "'; echo >&9; exec sleep 30").c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ready[1]);
  char c;
  EXPECT_EQ(read(ready[0], &c, 1), 1);  // the file is open from here on
  close(ready[0]);
  EXPECT_TRUE(posix::OpenedElsewhereForTesting(path));
  EXPECT_LT(posix::OpenExclusive(path), 0);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_FALSE(posix::OpenedElsewhereForTesting(path));
  int fd = posix::OpenExclusive(path);
  EXPECT_GE(fd, 0);
  if (fd >= 0) close(fd);
}

}  // namespace
}  // namespace upkeep

namespace upkeep {
namespace {

TEST(PosixPath, EmptyPathNamesNothing) {
  EXPECT_FALSE(PathExists(""));
  EXPECT_FALSE(IsDirectory(""));
  EXPECT_EQ(GetFileSystem()->Open("", OpenMode::kRead), nullptr);
  EXPECT_EQ(GetFileSystem()->Open("", OpenMode::kWrite), nullptr);
  EXPECT_EQ(GetFileSystem()->CreateDir(""), CreateDirResult::kFailed);
}

}  // namespace
}  // namespace upkeep

namespace upkeep {
namespace {

TEST(PosixPath, DotDotGoesByTheText) {
  test::TempDir dir;
  ASSERT_TRUE(test::WriteFileText(dir.Join("x.txt"), "x"));
  EXPECT_TRUE(PathExists(dir.path() + "\\nodir\\..\\x.txt"));
  EXPECT_TRUE(PathExists(dir.path() + "/./nodir/deeper/../../x.txt"));
  EXPECT_FALSE(PathExists(dir.path() + "\\nodir\\x.txt"));
  std::string before = GetFileSystem()->GetCurrentDir();
  ASSERT_TRUE(GetFileSystem()->SetCurrentDir(dir.path()));
  EXPECT_TRUE(PathExists("a\\..\\x.txt"));
  EXPECT_TRUE(GetFileSystem()->SetCurrentDir(before));
}

}  // namespace
}  // namespace upkeep

#include <sys/stat.h>

namespace upkeep {
namespace {

TEST(PosixPath, ReadOnlyOnlyWhenNobodyMayWrite) {
  test::TempDir dir;
  std::string path = dir.Join("f");
  ASSERT_TRUE(test::WriteFileText(path, "x"));
  ASSERT_EQ(chmod(path.c_str(), 0464), 0);
  EXPECT_EQ(GetFileSystem()->GetAttributes(path) & kAttrReadOnly, 0u);
  EXPECT_NE(GetFileSystem()->Open(path, OpenMode::kReadWrite), nullptr);
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  EXPECT_NE(GetFileSystem()->GetAttributes(path) & kAttrReadOnly, 0u);
  EXPECT_EQ(GetFileSystem()->Open(path, OpenMode::kReadWrite), nullptr);
}

}  // namespace
}  // namespace upkeep
