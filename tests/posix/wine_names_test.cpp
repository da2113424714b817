// Names outside ASCII in a Wine prefix: ANSI text in the program, UTF-8 on
// disk, and back again for names found there.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/code_page.h"
#include "platform/file_system.h"
#include "platform/posix/path.h"
#include "platform/text.h"
#include "test_util.h"

namespace upkeep {
namespace {

std::vector<std::string> Names(const std::vector<FindEntry>& entries) {
  std::vector<std::string> names;
  for (const auto& e : entries) {
    if (e.name != "." && e.name != "..") names.push_back(e.name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool OnDisk(const std::string& native) {
  struct stat st;
  return lstat(native.c_str(), &st) == 0;
}

TEST(WineNames, AnsiPathsReachUtf8NamesAndComeBackAsAnsi) {
  test::TempDir prefix;
  const std::string c = prefix.path() + "/drive_c";
  ASSERT_EQ(mkdir(c.c_str(), 0777), 0);
  ASSERT_EQ(mkdir((prefix.path() + "/dosdevices").c_str(), 0777), 0);
  ASSERT_EQ(symlink("../drive_c", (prefix.path() + "/dosdevices/c:").c_str()), 0);
  // As Wine keeps them: UTF-8 names, one of them beyond code page 1250.
  const std::string game = c + "/Gry/\xC5\xBB\xC3\xB3\xC5\x82w";  // Żółw
  ASSERT_EQ(mkdir((c + "/Gry").c_str(), 0777), 0);
  ASSERT_EQ(mkdir(game.c_str(), 0777), 0);
  ASSERT_TRUE(test::WriteFileText(game + "/Dane.pak", "data"));
  ASSERT_TRUE(test::WriteFileText(game + "/\xE6\x97\xA5\xE6\x9C\xAC.txt", "jp"));  // 日本
  posix::UseWinePrefix(prefix.path());
  ASSERT_TRUE(SelectLocale("Polish"));
  FileSystem* fs = GetFileSystem();
  const std::string dir = "C:\\Gry\\\xAF\xF3\xB3w";  // Żółw in 1250

  // Found as spelled and in other letter case (the case of letters beyond ASCII too).
  EXPECT_TRUE(IsDirectory(dir));
  EXPECT_NE(fs->Open(dir + "\\dane.PAK", OpenMode::kRead), nullptr);
  EXPECT_TRUE(IsDirectory("c:\\GRY\\\xAF\xD3\xA3W"));
  EXPECT_EQ(fs->GetLongPath("c:\\GRY\\\xAF\xD3\xA3W\\DANE.pak"),
            "c:\\Gry\\" + dir.substr(7) + "\\Dane.pak");

  // Created, renamed and removed under their UTF-8 names.
  const std::string lodz = "\xA3\xF3\x64\x9F.txt";  // Łódź.txt
  auto file = fs->Open(dir + "\\" + lodz, OpenMode::kWrite);
  ASSERT_NE(file, nullptr);
  file.reset();
  EXPECT_TRUE(OnDisk(game + "/\xC5\x81\xC3\xB3\x64\xC5\xBA.txt"));
  EXPECT_EQ(fs->CreateDir(dir + "\\\x8F\x72\xF3\x64\xB3\x61"),
            CreateDirResult::kCreated);  // Źródła
  EXPECT_TRUE(OnDisk(game + "/\xC5\xB9r\xC3\xB3"
                            "d\xC5\x82"
                            "a"));
  EXPECT_TRUE(fs->Move(dir + "\\" + lodz, dir + "\\\xE6ma.txt"));  // ćma.txt
  EXPECT_TRUE(OnDisk(game + "/\xC4\x87ma.txt"));

  // A listing gives ANSI names; the one 1250 cannot hold is left out rather
  // than shown with stand-ins.
  std::vector<FindEntry> found;
  ASSERT_TRUE(fs->Find(dir + "\\*.*", &found));
  EXPECT_EQ(Names(found), (std::vector<std::string>{"Dane.pak",
                                                    "\x8Fr\xF3"
                                                    "d\xB3"
                                                    "a",
                                                    "\xE6ma.txt"}));
  // A relative listing too, and the current directory survives a round trip.
  const std::string before = fs->GetCurrentDir();
  ASSERT_TRUE(fs->SetCurrentDir(dir));
  ASSERT_TRUE(fs->Find("*.txt", &found));
  EXPECT_EQ(Names(found), std::vector<std::string>{"\xE6ma.txt"});
  EXPECT_TRUE(fs->Delete("\xE6ma.txt"));
  const std::string inside = fs->GetCurrentDir();
  ASSERT_TRUE(fs->SetCurrentDir(before));
  EXPECT_TRUE(fs->SetCurrentDir(inside));
  ASSERT_TRUE(fs->SetCurrentDir(before));
  EXPECT_FALSE(OnDisk(game + "/\xC4\x87ma.txt"));
  EXPECT_TRUE(fs->RemoveDir(dir + "\\\x8Fr\xF3"
                                  "d\xB3"
                                  "a"));

  // Native paths are the system's bytes, untouched.
  EXPECT_TRUE(PathExists(game + "/Dane.pak"));
  // A stand-in never names a file, even one a native program called so.
  ASSERT_TRUE(test::WriteFileText(c + "/Gry/?", "x"));
  EXPECT_FALSE(PathExists("C:\\Gry\\?"));
  // A byte 1250 leaves undefined names nothing at all.
  EXPECT_EQ(posix::NativePath("C:\\Gry\\\x81"), "");

  SelectLocale("C");
  posix::UseWinePrefix("");
}

TEST(WineNames, ExactConversionsRefuseWhatTheCodePageCannotHold) {
  std::string out;
  EXPECT_TRUE(Utf8ToAnsiExact("\xC5\xBB\xC3\xB3\xC5\x82w", &out, 1250));
  EXPECT_EQ(out, "\xAF\xF3\xB3w");
  EXPECT_FALSE(Utf8ToAnsiExact("\xC5\xBB", &out, 1252));  // Ż
  EXPECT_FALSE(Utf8ToAnsiExact("\xE6\x97\xA5", &out, 1250));
  EXPECT_FALSE(Utf8ToAnsiExact("bad\xFF", &out, 1252));  // not UTF-8
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(
      AnsiToUtf8Exact("S\xFC\xDF"
                      "e",
                      &out, 1252));  // Süße
  EXPECT_EQ(out,
            "S\xC3\xBC\xC3\x9F"
            "e");
  EXPECT_FALSE(AnsiToUtf8Exact("\x81", &out, 932));  // a lead byte alone
}

}  // namespace
}  // namespace upkeep
