#include <gtest/gtest.h>

#include <filesystem>

#include "engine/command_context.h"
#include "engine/commands.h"
#include "engine_test_util.h"

namespace upkeep {
namespace {

using test::CrcText;
using test::Crlf;
using test::ProgressRecorder;
using test::RunOptions;
using test::UpdateFixture;

std::vector<uint8_t> Bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

// A script line that fails with 6 before anything changed and with 3 after.
const char kProbe[] = " CheckFile(\"probe\", \"00000001\")";

TEST(EngineCommandsTest, CheckFileAndCheckDir) {
  UpdateFixture f;
  f.WriteText("a.dat", "hello");
  f.MakeDir("sub");
  std::string crc = CrcText(Bytes("hello"));
  ProgressRecorder rec;
  RunOptions o;
  o.progress = ProgressRecorder::callback();
  EXPECT_EQ(f.Run("all() { CheckFile(\"a.dat\", \"" + crc +
                      "\") CheckFile(\"none\", \"00000000\")"
                      " CheckDir(\"sub\") }",
                  o),
            kRunSucceeded);
  EXPECT_EQ(f.log(), "");
  auto verifying = rec.WithText(ExpandedText("&IDS_PROGRESS_VERYFING_SOURCE_FILE&"));
  ASSERT_GE(verifying.size(), 3u);
  EXPECT_EQ(verifying.front().step, 0);
  EXPECT_EQ(verifying.front().file, f.EnginePath("a.dat"));
  EXPECT_EQ(verifying.back().step, 100);

  // A file where a directory is wanted.
  EXPECT_EQ(f.Run("all() { CheckDir(\"a.dat\") }"), kOperationFailed);
  EXPECT_EQ(f.log(), Crlf("B\xB3\xB9"
                          "d: nie znaleziono katalogu " +
                          f.EnginePath("a.dat") + " !\n"));
}

TEST(EngineCommandsTest, IsOKFileRepairsFromTheSourceRoot) {
  UpdateFixture f;
  test::TempDir source;
  std::vector<uint8_t> good = test::RandomBytes(250000, 8);
  test::WriteFileBytes(source.Join("a.dat"), good);
  f.WriteText("a.dat", "damaged");
  f.SetReadOnly("a.dat", true);
  std::string script = "all() { IsOKFile(\"a.dat\", \"" + CrcText(good) + "\")" + kProbe + " }";
  ProgressRecorder rec;
  RunOptions o;
  o.progress = ProgressRecorder::callback();
  // The repair does not count as a change: the probe still fails with 6.
  EXPECT_EQ(f.RunWithSource(script, source.path(), o), kChecksumBeforeChange);
  EXPECT_EQ(f.Read("a.dat"), good);
  std::string source_path = source.path() + "\\a.dat";
  auto copying = rec.WithText(ExpandedText("&IDS_PROGRESS_COPYING_FILE&"));
  ASSERT_FALSE(copying.empty());
  EXPECT_EQ(copying.front().file, source_path);
  EXPECT_EQ(copying.front().step, 0);
  EXPECT_EQ(copying.back().step, 100);
  EXPECT_EQ(f.log(), Crlf("Copying file: " + f.EnginePath("a.dat") + "\n" + "ERROR: wrong CRC of " +
                          source.path() + "\\probe !\n"));

  // A correct file is left alone.
  rec.events.clear();
  EXPECT_EQ(
      f.RunWithSource("all() { IsOKFile(\"a.dat\", \"" + CrcText(good) + "\") }", source.path(), o),
      kRunSucceeded);
  EXPECT_EQ(f.log(), "");
  EXPECT_TRUE(rec.WithText(ExpandedText("&IDS_PROGRESS_COPYING_FILE&")).empty());

  // No source to copy from: the target stays as it was.
  f.WriteText("b.dat", "mine");
  EXPECT_EQ(f.RunWithSource("all() { IsOKFile(\"b.dat\", \"12345678\") }", source.path()),
            kOperationFailed);
  EXPECT_EQ(f.Read("b.dat"), Bytes("mine"));
  EXPECT_EQ(f.log(), Crlf("Copying file: " + f.EnginePath("b.dat") + "\n" +
                          "ERROR: couldn't copy file " + source.path() + "\\b.dat !\n"));
}

TEST(EngineCommandsTest, IsOKFileWithOneRootForBothNeverTruncates) {
  UpdateFixture f;
  f.WriteText("a.dat", "precious");
  EXPECT_EQ(f.Run("all() { IsOKFile(\"a.dat\", \"12345678\") }"), kOperationFailed);
  EXPECT_EQ(f.Read("a.dat"), Bytes("precious"));
  EXPECT_EQ(f.log(), Crlf("Copying file: " + f.EnginePath("a.dat") + "\n" +
                          "ERROR: couldn't copy file " + f.EnginePath("a.dat") + " !\n"));
  // Another spelling of the same file is the same file.
  EXPECT_FALSE(CopyFileWithProgress(f.EnginePath("a.dat"), f.game() + "\\.\\A.DAT", nullptr, 0));
  EXPECT_EQ(f.Read("a.dat"), Bytes("precious"));
}

TEST(EngineCommandsTest, DirectoryCreation) {
  UpdateFixture f;
  f.MakeDir("old");
  EXPECT_EQ(f.Run("all() { IsOKDir(\"old\") IsOKDir(\"new\") CreateDir(\"old\") CreateDir(\"c\")" +
                  std::string(kProbe) + " }"),
            kChecksumBeforeChange);
  EXPECT_EQ(f.log(), Crlf("Created dir: " + f.EnginePath("new") + "\n" + "Created dir: " +
                          f.EnginePath("old") + "\n" + "Created dir: " + f.EnginePath("c") + "\n" +
                          "ERROR: wrong CRC of " + f.EnginePath("probe") + " !\n"));
  EXPECT_TRUE(f.Exists("new"));
  EXPECT_TRUE(f.Exists("c"));

  EXPECT_EQ(f.Run("all() { CreateDir(\"A\\\\B\") }"), kOperationFailed);
  EXPECT_EQ(f.log(), Crlf("ERROR: couldn't create dir " + f.EnginePath("A\\B") + " !\n"));
  EXPECT_EQ(f.Run("all() { IsOKDir(\"A\\\\B\") }"), kOperationFailed);
  EXPECT_EQ(f.log(), Crlf("ERROR: couldn't create dir: " + f.EnginePath("A\\B") + " !\n"));
}

TEST(EngineCommandsTest, DeleteDirRemovesTreesAndNeverStopsTheRun) {
  UpdateFixture f;
  f.WriteText("tree\\a.txt", "a");
  f.WriteText("tree\\sub\\deeper\\b.txt", "b");
  f.WriteText("tree\\sub\\c.txt", "c");
  f.SetReadOnly("tree\\sub\\c.txt", true);
  f.MakeDir("tree\\empty");
  EXPECT_EQ(f.Run(std::string("all() { DeleteDir(\"tree\")") + kProbe + " }"),
            kChecksumAfterChange);
  EXPECT_FALSE(f.Exists("tree"));
  EXPECT_EQ(f.log(), Crlf("Removed dir: " + f.EnginePath("tree") + "\n" + "ERROR: wrong CRC of " +
                          f.EnginePath("probe") + " !\n"));

  // A missing directory: logged, run goes on, nothing counts as changed.
  EXPECT_EQ(f.Run(std::string("all() { DeleteDir(\"none\")") + kProbe + " }"),
            kChecksumBeforeChange);
  EXPECT_EQ(f.log(), Crlf("ERROR: couldn't remove dir: " + f.EnginePath("none") + " !\n" +
                          "ERROR: wrong CRC of " + f.EnginePath("probe") + " !\n"));

  // A file that cannot go: the rest goes, the change counts.
  f.WriteText("keep\\stuck.txt", "s");
  f.WriteText("keep\\loose.txt", "l");
  {
    test::FaultyFileSystem fs;
    fs.refuseDeleteWith = "stuck";
    EXPECT_EQ(f.Run(std::string("all() { DeleteDir(\"keep\")") + kProbe + " }"),
              kChecksumAfterChange);
  }
  EXPECT_TRUE(f.Exists("keep/stuck.txt"));
  EXPECT_FALSE(f.Exists("keep/loose.txt"));
  EXPECT_EQ(f.log(), Crlf("ERROR: couldn't remove dir: " + f.EnginePath("keep") + " !\n" +
                          "ERROR: wrong CRC of " + f.EnginePath("probe") + " !\n"));
}

TEST(EngineCommandsTest, RemoveDirectoryTreeHandlesDeepTreesWithoutTouchingTheCwd) {
  test::TempDir dir;
  std::string rel;
  for (int i = 0; i < 40; ++i) rel += (i ? "/" : "") + std::string("d");
  std::string deep = dir.Join(rel);
  std::filesystem::create_directories(deep);
  test::WriteFileText(deep + "/f", "x");
  std::string cwd = GetFileSystem()->GetCurrentDir();
  EXPECT_EQ(RemoveDirectoryTree(dir.Join("d")), kTreeRemoved);
  EXPECT_EQ(GetFileSystem()->GetCurrentDir(), cwd);
  EXPECT_FALSE(std::filesystem::exists(dir.Join("d")));
  test::WriteFileText(dir.Join("file"), "x");
  EXPECT_EQ(RemoveDirectoryTree(dir.Join("file")), kTreeNotEntered);
  EXPECT_TRUE(std::filesystem::exists(dir.Join("file")));
}

TEST(EngineCommandsTest, DeleteFile) {
  UpdateFixture f;
  f.WriteText("ro.txt", "r");
  f.SetReadOnly("ro.txt", true);
  EXPECT_EQ(f.Run("all() { DeleteFile(\"ro.txt\", \"0\") DeleteFile(\"none.txt\", \"0\") }"),
            kRunSucceeded);
  EXPECT_FALSE(f.Exists("ro.txt"));
  EXPECT_EQ(f.log(), Crlf("Deleted file: " + f.EnginePath("ro.txt") + "\n" +
                          "ERROR: couldn't remove file " + f.EnginePath("none.txt") + " !\n"));
}

TEST(EngineCommandsTest, CreateFileFromPayloads) {
  UpdateFixture f;
  std::vector<uint8_t> data = test::RandomBytes(70000, 6);
  f.AddPayload("00000007.FILE", data);
  f.WriteText("ro.dat", "old");
  f.SetReadOnly("ro.dat", true);
  std::string crc = CrcText(data);
  // Entry names are looked up in any letter case.
  EXPECT_EQ(f.Run("all() { CreateFile(\"ro.dat\", \"00000007.file\", \"" + crc + "\") }"),
            kRunSucceeded);
  EXPECT_EQ(f.Read("ro.dat"), data);
  EXPECT_EQ(f.log(), Crlf("Created file: " + f.EnginePath("ro.dat") + "\n"));

  EXPECT_EQ(f.Run("all() { CreateFile(\"x.dat\", \"00000008.FILE\", \"" + crc + "\") }"),
            kOperationFailed);
  EXPECT_EQ(f.log(),
            Crlf("ERROR: couldn' create file " + f.EnginePath("x.dat") + " - reason 3!\n"));
  EXPECT_EQ(f.Run("all() { CreateFile(\"no\\\\x.dat\", \"00000007.FILE\", \"" + crc + "\") }"),
            kOperationFailed);
  EXPECT_EQ(f.log(),
            Crlf("ERROR: couldn' create file " + f.EnginePath("no\\x.dat") + " - reason 2!\n"));
  // Content with a wrong checksum never takes the file's place.
  EXPECT_EQ(f.Run("all() { CreateFile(\"y.dat\", \"00000007.FILE\", \"00000001\") }"),
            kChecksumAfterChange);
  EXPECT_FALSE(f.Exists("y.dat"));
  EXPECT_FALSE(f.Exists("y.dat.~up"));
  // The log claims only files that are there: none for content refused, none
  // where a folder of that name stands in the way.
  EXPECT_EQ(f.log(), Crlf("ERROR: wrong CRC of " + f.EnginePath("y.dat") + " after creation!\n"));
  f.MakeDir("folder.dat");
  EXPECT_EQ(f.Run("all() { CreateFile(\"folder.dat\", \"00000007.FILE\", \"" + crc + "\") }"),
            kOperationFailed);
  EXPECT_EQ(f.log(),
            Crlf("ERROR: couldn' create file " + f.EnginePath("folder.dat") + " - reason 2!\n"));
  EXPECT_FALSE(f.Exists("folder.dat.~up"));
}

TEST(EngineCommandsTest, RenameFileWorksOnTheLinkBase) {
  UpdateFixture f;
  f.WriteText("a.txt", "a");
  f.WriteText("b.txt", "b");
  EXPECT_EQ(f.Run("all() { RenameFile(\"a.txt\", \"b.txt\") RenameFile(\"a.txt\", \"c.txt\") }"),
            kRunSucceeded);
  EXPECT_EQ(f.log(), Crlf("Couldn't rename file: a.txt\nRenamed file: a.txt to c.txt\n"));
  EXPECT_EQ(f.Read("b.txt"), Bytes("b"));
  EXPECT_EQ(f.Read("c.txt"), Bytes("a"));
}

TEST(EngineCommandsTest, OverlongPathsAreRefusedNotTruncated) {
  UpdateFixture f;
  std::string longname(260, 'n');
  std::string full = f.EnginePath(longname);
  EXPECT_EQ(f.Run("all() { DeleteFile(\"" + longname + "\", \"0\") DeleteDir(\"" + longname +
                  "\") RenameFile(\"" + longname + "\", \"x\") CreateDir(\"" + longname + "\") }"),
            kOperationFailed);
  EXPECT_EQ(f.log(), Crlf("ERROR: couldn't remove file " + full + " !\n" +
                          "ERROR: couldn't remove dir: " + full + " !\n" +
                          "Couldn't rename file: " + longname + "\n" +
                          "ERROR: couldn't create dir " + full + " !\n"));
  // A refused DeleteFile still counts as a change, as every DeleteFile does.
  EXPECT_EQ(f.Run("all() { DeleteFile(\"" + longname + "\", \"0\")" + kProbe + " }"),
            kChecksumAfterChange);
  // The limit is 255 characters for the joined path.
  std::string fits(255 - f.game().size() - 1, 'a');
  EXPECT_EQ(f.Run("all() { CheckFile(\"" + fits + "\", \"00000000\") CheckFile(\"" + fits +
                  "b\", \"00000000\") }"),
            kOperationFailed);
  EXPECT_EQ(f.log(), Crlf("ERROR: wrong CRC of " + f.EnginePath(fits + "b") + " !\n"));
}

TEST(EngineCommandsTest, MissingTextArgumentsRefuseTheCommand) {
  RunOptions bare;
  bare.withPrelude = false;
  struct Case {
    std::string prototype, call, line;
  };
  UpdateFixture f;
  std::string root = f.EnginePath("");
  std::vector<Case> cases = {
      {"!CheckFile(s)", "CheckFile(\"a\")", "ERROR: wrong CRC of " + root + "a !\n"},
      {"!CheckDir(n)", "CheckDir(1)",
       "B\xB3\xB9"
       "d: nie znaleziono katalogu " +
           root + " !\n"},
      {"!CreateDir()", "CreateDir()", "ERROR: couldn't create dir " + root + " !\n"},
      {"!IsOKDir()", "IsOKDir()", "ERROR: couldn't create dir: " + root + " !\n"},
      {"!IsOKFile(s)", "IsOKFile(\"a\")", "ERROR: couldn't copy file " + root + "a !\n"},
      {"!DeleteDir()", "DeleteDir()", "ERROR: couldn't remove dir: " + root + " !\n"},
      {"!DeleteFile(f)", "DeleteFile(1.5)", "ERROR: couldn't remove file " + root + " !\n"},
      {"!CreateFile(s, s)", "CreateFile(\"a\", \"1.FILE\")",
       "ERROR: couldn' create file " + root + "a - reason 3!\n"},
      {"!RenameFile(s)", "RenameFile(\"a\")", "Couldn't rename file: a\n"},
      {"!PatchFile(s, s, s)", "PatchFile(\"a\", \"1.DELTA\", \"0\")",
       "ERROR: couldn't update file " + root + "a !\n"},
  };
  for (const Case& c : cases) {
    f.WriteText("a", "keep");
    EXPECT_EQ(f.Run("!all()\r\n" + c.prototype + "\r\nall() { " + c.call + " }", bare),
              kOperationFailed)
        << c.call;
    EXPECT_EQ(f.log(), Crlf(c.line)) << c.call;
    EXPECT_EQ(f.Read("a"), Bytes("keep")) << c.call;
  }
}

}  // namespace
}  // namespace upkeep
