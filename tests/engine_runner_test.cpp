#include <gtest/gtest.h>

#include "authoring/payload_writer.h"
#include "engine/command_context.h"
#include "engine/run_journal.h"
#include "engine/script_runner.h"
#include "engine/shortcut_hook.h"
#include "engine_test_util.h"
#include "package/manifest.h"
#include "platform/file_system.h"
#include "test_util.h"

namespace upkeep {
namespace {

using test::CrcText;
using test::Crlf;
using test::Lit;
using test::ProgressRecorder;
using test::RunOptions;
using test::UpdateFixture;

const char kBadScript[] =
    "B\xB3\xB9"
    "d: nieprawid\xB3owy format pliku skryptowego!\n";
const char kNoSpace[] =
    "B\xB3\xB9"
    "d: niewystarczaj\xB9"
    "ca ilo\x9C\xE6 miejsca na dysku!\n";

std::string CreatedDir(const UpdateFixture& f, const std::string& name) {
  return "Created dir: " + f.EnginePath(name) + "\n";
}

TEST(EngineRunnerTest, VersionSectionsChainInScriptOrder) {
  UpdateFixture f;
  std::string chain =
      "Version(\"1.0.0\", \"1.0.1\") { CreateDir(\"v1\") }\r\n"
      "Version(\"1.0.1\", \"1.0.2\") { CreateDir(\"v2\") }\r\n"
      "Version(\"1.0.0\", \"1.0.9\") { CreateDir(\"skipped\") }\r\n"
      "all() { CreateDir(\"all\") }\r\n";
  EXPECT_EQ(f.Run(chain), kRunSucceeded);
  EXPECT_EQ(f.log(), Crlf(CreatedDir(f, "v1") + CreatedDir(f, "v2") + CreatedDir(f, "all")));

  UpdateFixture g;
  std::string reversed =
      "Version(\"1.0.1\", \"1.0.2\") { CreateDir(\"v2\") }\r\n"
      "Version(\"1.0.0\", \"1.0.1\") { CreateDir(\"v1\") }\r\n";
  EXPECT_EQ(g.Run(reversed), kRunSucceeded);
  EXPECT_EQ(g.log(), Crlf(CreatedDir(g, "v1")));
  EXPECT_FALSE(g.Exists("v2"));

  // The version comparison is exact, letter case included.
  UpdateFixture h;
  RunOptions upper;
  upper.currentVersion = "A1";
  EXPECT_EQ(h.Run("Version(\"a1\", \"a2\") { CreateDir(\"x\") }\r\n", upper), kRunSucceeded);
  EXPECT_EQ(h.log(), "");
}

TEST(EngineRunnerTest, ModifiedCarriesAcrossSectionsAndDecidesSixOrThree) {
  std::string bad_check = "CheckFile(\"a.dat\", \"12345678\")";
  UpdateFixture before;
  before.WriteText("a.dat", "abc");
  EXPECT_EQ(before.Run("all() { " + bad_check + " }\r\n"), kChecksumBeforeChange);
  EXPECT_EQ(before.log(), Crlf("ERROR: wrong CRC of " + before.EnginePath("a.dat") + " !\n"));

  // "All", a version section, "All": the last sees the flag the first set.
  UpdateFixture after;
  after.WriteText("a.dat", "abc");
  after.WriteText("gone.dat", "x");
  std::string script =
      "all() { DeleteFile(\"gone.dat\", \"0\") }\r\n"
      "Version(\"1.0.0\", \"1.0.1\") { CreateDir(\"d\") }\r\n"
      "all() { " +
      bad_check + " }\r\n";
  EXPECT_EQ(after.Run(script), kChecksumAfterChange);
  EXPECT_EQ(after.log(),
            Crlf("Deleted file: " + after.EnginePath("gone.dat") + "\n" + CreatedDir(after, "d") +
                 "ERROR: wrong CRC of " + after.EnginePath("a.dat") + " !\n"));
}

// Each command that changes the installation turns a later checksum failure
// into code 3; the others leave it at 6.
TEST(EngineRunnerTest, WhichCommandsCountAsChanges) {
  const std::vector<uint8_t> created = {'n', 'e', 'w'};
  const std::vector<uint8_t> old_bytes = {'o', 'l', 'd', '!'}, new_bytes = {'n', 'e', 'w', '!'};
  const std::string bad_check = " CheckFile(\"a.dat\", \"12345678\") }\r\n";
  const std::string patch = "PatchFile(\"p.dat\", \"00000002.DELTA\", \"" + CrcText(old_bytes) +
                            "\", \"" + CrcText(new_bytes) + "\")";
  const std::string create =
      "CreateFile(\"c.dat\", \"00000001.FILE\", \"" + CrcText(created) + "\")";
  const std::vector<std::pair<std::string, int32_t>> cases = {
      {create, kChecksumAfterChange},
      {patch, kChecksumAfterChange},
      {"RenameFile(\"r.dat\", \"s.dat\")", kChecksumBeforeChange},
      {"CreateDir(\"d\")", kChecksumBeforeChange},
      {"IsOKDir(\"d0\")", kChecksumBeforeChange},
  };
  for (const auto& c : cases) {
    UpdateFixture f;
    f.WriteText("a.dat", "abc");
    f.WriteText("r.dat", "r");
    f.MakeDir("d0");
    f.Write("p.dat", old_bytes);
    f.AddPayload("00000001.FILE", created);
    f.AddDelta("00000002.DELTA", old_bytes, new_bytes);
    EXPECT_EQ(f.Run("all() { " + c.first + bad_check), c.second) << c.first << "\n" << f.log();
  }
}

TEST(EngineRunnerTest, FreeSpaceIsCheckedBeforeTheSectionRuns) {
  std::string script = "all() { CreateDir(\"x\") FreeSpace(5000) }\r\n";
  {
    UpdateFixture f;
    test::FaultyFileSystem fs;
    fs.fakeFreeSpace = true;
    fs.freeBytes = 4999;
    ProgressRecorder rec;
    RunOptions o;
    o.progress = ProgressRecorder::callback();
    EXPECT_EQ(f.Run(script, o), kNotEnoughSpace);
    EXPECT_EQ(f.log(), Crlf(kNoSpace));
    EXPECT_FALSE(f.Exists("x"));
    std::string text = ExpandedText("&IDS_PROGRESS_CHECKING_DISK_SPACE&");
    ASSERT_EQ(rec.events.size(), 1u);
    EXPECT_EQ(rec.events[0].overall, 0);
    EXPECT_EQ(rec.events[0].step, 0);
    EXPECT_EQ(rec.events[0].file, "");
    EXPECT_EQ(rec.events[0].text, text);

    // Enough space: reported done, then the section runs.
    fs.freeBytes = 5000;
    rec.events.clear();
    EXPECT_EQ(f.Run(script, o), kRunSucceeded);
    ASSERT_GE(rec.events.size(), 2u);
    EXPECT_EQ(rec.events[1].step, 100);
    EXPECT_EQ(rec.events[1].text, text);
    EXPECT_TRUE(f.Exists("x"));
  }
  {
    UpdateFixture f;
    test::FaultyFileSystem fs;
    fs.fakeFreeSpace = true;
    fs.freeBytes = 0;
    RunOptions skip;
    skip.skipSpaceCheck = true;
    EXPECT_EQ(f.Run(script, skip), kRunSucceeded);
    EXPECT_TRUE(fs.freeSpaceAsked.empty());
    // Outside a section FreeSpace has no effect at all.
    EXPECT_EQ(f.Run("FreeSpace(5000)\r\nall() { CreateDir(\"y\") }\r\n"), kRunSucceeded);
    EXPECT_TRUE(f.Exists("y"));
    // Declared with a text argument it requires nothing.
    std::string text_prototype = std::string("!all()\r\n!FreeSpace(s)\r\n!CreateDir(s)\r\n") +
                                 "all() { FreeSpace(\"lots\") CreateDir(\"z\") }\r\n";
    RunOptions bare;
    bare.withPrelude = false;
    EXPECT_EQ(f.Run(text_prototype, bare), kRunSucceeded);
    EXPECT_TRUE(f.Exists("z"));
  }
}

// A literal wider than 32 bits asks for what it says; every other integer is
// taken modulo 2^32 as the format has always read it.
TEST(EngineRunnerTest, FreeSpaceTakesLiteralsWiderThanThirtyTwoBits) {
  const uint64_t kGiB = uint64_t{1} << 30;
  const struct {
    const char* literal;
    uint64_t free;
    int32_t code;
  } cases[] = {
      {"6442450944", 6 * kGiB - 1, kNotEnoughSpace},  // 6 GiB: once taken as 2 GiB
      {"6442450944", 6 * kGiB, kRunSucceeded},
      {"4294967296", 4 * kGiB - 1, kNotEnoughSpace},  // once taken as 0
      {"4294967295", 4 * kGiB - 1, kRunSucceeded},
      {"99999999999999999999999", UINT64_MAX - 1, kNotEnoughSpace},  // saturates
      {"-1", 4 * kGiB - 2, kNotEnoughSpace},                         // wraps, as before
      {"-1", 4 * kGiB - 1, kRunSucceeded},
      {"BIG", 6 * kGiB - 1, kNotEnoughSpace},  // through a constant
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.literal);
    UpdateFixture f;
    test::FaultyFileSystem fs;
    fs.fakeFreeSpace = true;
    fs.freeBytes = c.free;
    EXPECT_EQ(f.Run(std::string("$big(i, 6442450944)\r\nall() { FreeSpace(") + c.literal +
                    ") CreateDir(\"x\") }\r\n"),
              c.code);
    EXPECT_EQ(f.Exists("x"), c.code == kRunSucceeded);
  }
}

// Before the first change the run compares what it will read with the
// package's manifest: a damaged download changes nothing, and says so.
TEST(EngineRunnerTest, ADamagedPackageChangesNothing) {
  const std::vector<uint8_t> old_bytes = test::RandomBytes(30000, 1);
  std::vector<uint8_t> new_bytes = old_bytes;
  new_bytes[100] ^= 1;
  const std::vector<uint8_t> created = test::RandomBytes(20000, 2);
  const std::string script = "all() { CheckFile(\"p.dat\", \"" + CrcText(old_bytes) +
                             "\") DeleteFile(\"gone.dat\", \"0\") PatchFile(\"p.dat\", "
                             "\"00000002.DELTA\", \"0\", \"" +
                             CrcText(new_bytes) +
                             "\") CreateFile(\"c.dat\", \"00000001.FILE\", \"" + CrcText(created) +
                             "\") }";
  // Where the damage is: the last payload's last byte, in the last volume or
  // in the program file itself.
  const auto flip_last_byte = [](const std::string& path) {
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(test::ReadFileBytes(path, &bytes));
    bytes.back() ^= 0x40;
    ASSERT_TRUE(test::WriteFileBytes(path, bytes));
  };
  for (uint64_t volume_size : {uint64_t{0}, uint64_t{8192}}) {
    SCOPED_TRACE(volume_size);
    UpdateFixture f;
    f.Write("p.dat", old_bytes);
    f.Write("gone.dat", {1, 2, 3});
    f.AddDelta("00000002.DELTA", old_bytes, new_bytes);
    f.AddPayload("00000001.FILE", created);
    RunOptions o;
    o.manifest = true;
    o.volumeSize = volume_size;
    std::string damaged;
    o.damage = [&](const std::string& package) {
      if (volume_size == 0) {
        // The last payload is right before the manifest: found by its offset.
        PackageArchive* a = OpenPackage(package.c_str());
        ASSERT_NE(a, nullptr);
        const PackageEntry* e = FindPackageEntry(*a, "00000001.FILE");
        const uint64_t at = e->offset + e->size - 1;
        ClosePackage(package.c_str());
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(test::ReadFileBytes(package, &bytes));
        bytes[at] ^= 0x40;
        ASSERT_TRUE(test::WriteFileBytes(package, bytes));
        damaged = package;
      } else {
        const std::string folder = package.substr(0, package.find_last_of("\\/") + 1);
        size_t last = 0;
        while (GetFileSystem()->GetAttributes(folder + VolumeFileName(package, last + 1)) !=
               kInvalidAttributes) {
          ++last;
        }
        ASSERT_GE(last, 1u);
        damaged = folder + VolumeFileName(package, last);
        flip_last_byte(damaged);
      }
    };
    EXPECT_EQ(f.Run(script, o), kPackageDamaged);
    EXPECT_EQ(f.log(), Crlf("ERROR: the update's data is damaged: " + damaged + " !\n"));
    EXPECT_EQ(f.Read("p.dat"), old_bytes);
    EXPECT_TRUE(f.Exists("gone.dat"));
    EXPECT_FALSE(f.Exists("c.dat"));
    // Undamaged, the same package runs.
    o.damage = nullptr;
    EXPECT_EQ(f.Run(script, o), kRunSucceeded) << f.log();
    EXPECT_EQ(f.Read("p.dat"), new_bytes);
    EXPECT_EQ(f.Read("c.dat"), created);
  }
}

TEST(EngineRunnerTest, FreeSpaceMeasuresTheDriveRootOrTheCurrentDirectory) {
  test::FaultyFileSystem fs;
  fs.fakeFreeSpace = true;
  fs.freeBytes = 100;
  EXPECT_TRUE(HasEnoughFreeSpace("C:\\Games\\X", 100));
  EXPECT_FALSE(HasEnoughFreeSpace("d:/Games", 101));
  EXPECT_TRUE(HasEnoughFreeSpace("Games", 0));
  ASSERT_EQ(fs.freeSpaceAsked.size(), 3u);
  EXPECT_EQ(fs.freeSpaceAsked[0], "C:\\");
  EXPECT_EQ(fs.freeSpaceAsked[1], "d:/");
  EXPECT_EQ(fs.freeSpaceAsked[2].substr(0, 1), GetFileSystem()->GetCurrentDir().substr(0, 1));
}

TEST(EngineRunnerTest, HandlersSeeTheOverallPercentOfTheirCall) {
  UpdateFixture f;
  ProgressRecorder rec;
  RunOptions o;
  o.progress = ProgressRecorder::callback();
  EXPECT_EQ(
      f.Run("all() { CreateDir(\"a\") CreateDir(\"b\") CreateDir(\"c\") CreateDir(\"d\") }", o),
      kRunSucceeded);
  std::vector<int32_t> overall;
  for (const auto& e : rec.WithText(ExpandedText("&IDS_PROGRESS_CREATING_DIR&"))) {
    if (e.step == 0) overall.push_back(e.overall);
  }
  EXPECT_EQ(overall, (std::vector<int32_t>{25, 50, 75, 100}));
}

// Over several sections, each with its own free-space check and a patch: the
// lower bar only moves forward and ends full, and every report says what it
// does and names no temporary file.
TEST(EngineRunnerTest, TheWholeRunBarOnlyMovesForwardAndEveryStepIsNamed) {
  UpdateFixture f;
  const std::vector<uint8_t> old_bytes = test::RandomBytes(300000, 3);
  std::vector<uint8_t> new_bytes = old_bytes;
  new_bytes[1000] ^= 1;
  f.Write("p.dat", old_bytes);
  f.AddDelta("00000001.DELTA", old_bytes, new_bytes);
  ProgressRecorder rec;
  RunOptions o;
  o.progress = ProgressRecorder::callback();
  const std::string script =
      "Version(\"1.0.0\", \"1.0.1\") { FreeSpace(1) CreateDir(\"a\") CreateDir(\"b\") "
      "CreateDir(\"c\") CreateDir(\"d\") CreateDir(\"e\") }\r\n"
      "all() { FreeSpace(1) CheckFile(\"p.dat\", " +
      Lit(CrcText(old_bytes)) +
      ") }\r\n"
      "all() { FreeSpace(1) PatchFile(\"p.dat\", \"00000001.DELTA\", \"0\", " +
      Lit(CrcText(new_bytes)) + ") RenameFile(\"p.dat\", \"q.dat\") }\r\n";
  ASSERT_EQ(f.Run(script, o), kRunSucceeded) << f.log();
  ASSERT_FALSE(rec.events.empty());
  int32_t last = 0;
  for (const auto& e : rec.events) {
    EXPECT_GE(e.overall, last) << e.text << " " << e.file;
    last = e.overall;
    EXPECT_FALSE(e.text.empty()) << e.overall << " " << e.step << " " << e.file;
    EXPECT_EQ(e.file.find("mya$$"), std::string::npos) << e.text;
  }
  EXPECT_EQ(last, 100);
}

// Stale caches go at the run's first change and not before: a run that
// stops at a check keeps them, and the hook's own change counts as one.
TEST(EngineRunnerTest, TheFirstChangeHookRunsOnceJustBeforeTheFirstChange) {
  UpdateFixture f;
  f.WriteText("a.dat", "abc");
  const std::string good = "CheckFile(\"a.dat\", " + Lit(CrcText({'a', 'b', 'c'})) + ")";
  const std::string bad = "CheckFile(\"a.dat\", \"12345678\")";
  int calls = 0;
  bool existed = false;
  RunOptions o;
  o.beforeFirstChange = [&] {
    ++calls;
    existed = f.Exists("y");
    return true;
  };
  bool changed = true;
  o.changed = &changed;
  EXPECT_EQ(f.Run("all() { " + good + " " + bad + " }", o), kChecksumBeforeChange);
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(changed);
  // A folder that is there already changes nothing either.
  f.MakeDir("x");
  EXPECT_EQ(f.Run("all() { CreateDir(\"x\") IsOKDir(\"x\") }", o), kRunSucceeded);
  EXPECT_EQ(calls, 0);

  EXPECT_EQ(f.Run("all() { " + good + " CreateDir(\"y\") CreateDir(\"z\") }", o), kRunSucceeded);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(existed);
  EXPECT_TRUE(f.Exists("z"));
  // What the hook changed is a change, though the command then fails.
  calls = 0;
  changed = false;
  EXPECT_EQ(f.Run("all() { CreateDir(\"no\\\\such\") }", o), kOperationFailed);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(changed);
}

// A stop asked for between commands ends the run there, the commands before
// it done and logged, the rest not begun.
TEST(EngineRunnerTest, AStopRequestEndsTheRunBetweenCommands) {
  UpdateFixture f;
  RunOptions o;
  o.stopRequested = [&f] { return f.Exists("b"); };
  bool changed = false;
  o.changed = &changed;
  EXPECT_EQ(f.Run("all() { CreateDir(\"a\") CreateDir(\"b\") CreateDir(\"c\") }\r\n"
                  "all() { CreateDir(\"d\") }",
                  o),
            kRunStopped);
  EXPECT_TRUE(f.Exists("a"));
  EXPECT_FALSE(f.Exists("c"));
  EXPECT_FALSE(f.Exists("d"));
  EXPECT_TRUE(changed);
  EXPECT_EQ(f.log(),
            Crlf(CreatedDir(f, "a") + CreatedDir(f, "b") + "Update stopped on request.\n"));
}

int g_shortcut_calls = 0;
std::string g_shortcut_first;
void FakeShortcut(CommandContext& context, const ScriptCall& call) {
  ++g_shortcut_calls;
  g_shortcut_first = StringArgument(&call, 0);
  EXPECT_EQ(context.gameExecutable, "game.exe");
}

TEST(EngineRunnerTest, ShortcutCommandsGoThroughTheHookUnlessSkipped) {
  // The fake for AddDesktopLink and no other shortcut handler.
  test::ShortcutHandlersGuard guard(nullptr);
  RegisterShortcutHandler(CommandId::kAddDesktopLink, FakeShortcut);
  std::string script =
      "all() {\r\n"
      "  AddDesktopLink(\"Game.lnk\", \"game.exe\", \"\", \"game.exe\", 0)\r\n"
      "  UpdateStartMenuLink(\"a.exe\", \"\", \"b.exe\", \"\")\r\n"
      "  RenameFile(\"old.txt\", \"new.txt\")\r\n"
      "}\r\n";
  std::string adding = ExpandedText("&IDS_PROGRESS_ADDING_SHORTCUT&");
  std::string updating = ExpandedText("&IDS_PROGRESS_UPDATING_SHORTCUT&");
  std::string renaming = ExpandedText("&IDS_PROGRESS_RENAMING_FILE&");
  {
    UpdateFixture f;
    f.WriteText("old.txt", "x");
    ProgressRecorder rec;
    RunOptions skip;
    skip.skipShortcuts = true;
    skip.progress = ProgressRecorder::callback();
    g_shortcut_calls = 0;
    EXPECT_EQ(f.Run(script, skip), kRunSucceeded);
    EXPECT_EQ(g_shortcut_calls, 0);
    EXPECT_TRUE(rec.WithText(adding).empty());
    EXPECT_TRUE(rec.WithText(updating).empty());
    ASSERT_EQ(rec.WithText(renaming).size(), 1u);
    EXPECT_EQ(rec.WithText(renaming)[0].overall, 100);
    EXPECT_TRUE(f.Exists("new.txt"));
    EXPECT_EQ(f.log(), Crlf("Renamed file: old.txt to new.txt\n"));
  }
  {
    UpdateFixture f;
    ProgressRecorder rec;
    RunOptions o;
    o.progress = ProgressRecorder::callback();
    g_shortcut_calls = 0;
    EXPECT_EQ(f.Run(script, o), kRunSucceeded);
    EXPECT_EQ(g_shortcut_calls, 1);
    EXPECT_EQ(g_shortcut_first, "Game.lnk");
    // The text follows each shortcut command, handled or not yet.
    ASSERT_EQ(rec.events.size(), 3u);
    EXPECT_EQ(rec.events[0].text, adding);
    EXPECT_EQ(rec.events[1].text, updating);
    EXPECT_EQ(rec.events[2].text, renaming);
    EXPECT_EQ(f.log(), Crlf("Couldn't rename file: old.txt\n"));
  }
}

TEST(EngineRunnerTest, UnreadableScriptsStopWithCodeTwo) {
  UpdateFixture f;
  EXPECT_EQ(f.Run(""), kOperationFailed);  // prototypes only
  EXPECT_EQ(f.log(), Crlf(kBadScript));
  EXPECT_EQ(f.Run("all() { CreateDir(\"x\") }\r\nNoSuchCommand()\r\n"), kOperationFailed);
  EXPECT_EQ(f.log(), Crlf(kBadScript));
  EXPECT_FALSE(f.Exists("x"));
  // Calls the runner does not know are passed over, in sections and outside.
  std::string strings =
      "!String(s, s)\r\nString(\"K\", \"V\")\r\nall() { String(\"A\", \"B\") }\r\n";
  EXPECT_EQ(f.Run(strings), kRunSucceeded);
  EXPECT_EQ(f.log(), "");
}

TEST(EngineRunnerTest, VersionTextsLongerThanNineCharactersAreRefusedUpFront) {
  UpdateFixture f;
  std::string script =
      "all() { CreateDir(\"x\") }\r\n"
      "Version(\"1.0.0\", \"1.0.0-beta1\") { CreateDir(\"y\") }\r\n";
  EXPECT_EQ(f.Run(script), kOperationFailed);
  EXPECT_EQ(f.log(), Crlf(kBadScript));
  EXPECT_FALSE(f.Exists("x"));
  RunOptions long_version;
  long_version.currentVersion = "1.0.0.1234";
  EXPECT_EQ(f.Run("all() { CreateDir(\"x\") }\r\n", long_version), kOperationFailed);
  EXPECT_FALSE(f.Exists("x"));
  // Nine characters fit.
  RunOptions nine;
  nine.currentVersion = "1.0.0.123";
  EXPECT_EQ(f.Run("Version(\"1.0.0.123\", \"1.0.0.124\") { CreateDir(\"x\") }\r\n", nine),
            kRunSucceeded);
  EXPECT_TRUE(f.Exists("x"));
}

TEST(EngineRunnerTest, WithoutADriverLogTheRunOpensAndClosesItsOwn) {
  UpdateFixture f;
  RunOptions own;
  own.withLog = false;
  EXPECT_EQ(f.Run("all() { CreateDir(\"x\") CheckDir(\"none\") }\r\n", own), kOperationFailed);
  EXPECT_EQ(f.log(), Crlf(CreatedDir(f, "x") +
                          "B\xB3\xB9"
                          "d: nie znaleziono katalogu " +
                          f.EnginePath("none") + " !\n"));
}

// Flushes follow the work done, not the calls: checks of one name, folders
// made again, deletions of what is not there cost none, however many, and
// every call done is still on record at the end.
TEST(EngineRunnerTest, RepeatedNamesCostNoFlushes) {
  UpdateFixture f;
  const std::vector<uint8_t> a = test::RandomBytes(3000, 7), fresh = test::RandomBytes(900, 8);
  f.Write("a.dat", a);
  f.AddPayload("00000001.FILE", fresh);
  std::string script = "all() {\r\n CreateDir(\"Data\")\r\n";
  const int kRepeats = 500;
  for (int i = 0; i < kRepeats; ++i) {
    script +=
        " CheckDir(\"Data\") CreateDir(\"data\") IsOKDir(\"Data\")"
        " DeleteFile(\"missing.txt\", \"\") CheckFile(\"a.dat\", \"" +
        CrcText(a) + "\")\r\n";
  }
  script +=
      " CreateFile(\"Data\\\\new.dat\", \"00000001.FILE\", \"" + CrcText(fresh) + "\")\r\n}\r\n";
  const std::string path = RunJournal::PathIn(f.game());
  RunJournal journal;
  ASSERT_TRUE(journal.Begin(path, JournalStart()));
  RunOptions options;
  options.journal = &journal;
  test::FaultyFileSystem flushes;
  flushes.failKind = test::FaultyFileSystem::Op::kFlush;  // counted, never failed
  EXPECT_EQ(f.Run(script, options), kRunSucceeded);
  const int counted = flushes.opsSeen;
  journal.Close();
  EXPECT_LT(counted, 12);
  EXPECT_EQ(f.Read("Data/new.dat"), fresh);
  RunJournal done;
  ASSERT_TRUE(done.Load(path));
  // Every call but the deletions of a missing file.
  EXPECT_EQ(done.doneCount(), static_cast<size_t>(2 + 4 * kRepeats));
}

}  // namespace
}  // namespace upkeep
