#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/update_driver.h"
#include "app_test_util.h"
#include "authoring/payload_writer.h"
#include "engine/command_context.h"
#include "engine/shortcut_hook.h"
#include "engine_test_util.h"
#include "platform/file_system.h"

namespace upkeep {
namespace {

using test::Box;
using test::CrcText;
using test::DriverFixture;
using test::FinalLine;
using test::Lit;

const std::vector<uint8_t> kNewContent = {'n', 'e', 'w', '\n'};

// A script that creates one file from the package.
std::string CreateNewFile(DriverFixture* f) {
  f->AddEntry("00000001.FILE", EncodePayload(kNewContent));
  return "all() { CreateFile(\"new.txt\", \"00000001.FILE\", " + Lit(CrcText(kNewContent)) +
         ") }\r\n";
}

std::string Created(const DriverFixture& f, const std::string& name) {
  return "Created file: " + f.game() + "\\" + name + "\r\n";
}

void ExpectOneFinalBox(const DriverFixture& f, const std::string& text, MessageIcon icon,
                       UpdateOutcome outcome) {
  ASSERT_FALSE(f.host.boxes.empty());
  const Box& last = f.host.boxes.back();
  EXPECT_EQ(last.text, text);
  EXPECT_EQ(last.caption, "New Game update");
  EXPECT_EQ(last.icon, icon);
  EXPECT_EQ(last.buttons, MessageButtons::Ok);
  ASSERT_EQ(f.host.finished.size(), 1u);
  EXPECT_EQ(f.host.finished[0], outcome);
  // The box, then (when the run had a log) where the log is, then the outcome.
  std::vector<std::string> events = f.host.events;
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events.back(), "finished");
  events.pop_back();
  if (events.back() == "log") events.pop_back();
  EXPECT_EQ(events.back(), "box");
}

TEST(AppUpdateDriver, SuccessfulRunReportsEveryStepAndOpensTheReadMe) {
  DriverFixture f;
  f.SetInstallPath(f.game() + "\\");  // a trailing backslash is dropped
  // The front end may end the process as soon as it hears the outcome.
  std::string logWhenFinished;
  f.host.onFinished = [&] { logWhenFinished = f.Read("patch.log"); };
  f.Run(CreateNewFile(&f));

  EXPECT_EQ(f.Read("new.txt"), "new\n");
  EXPECT_EQ(f.Read("patch.log"), Created(f, "new.txt") + FinalLine("success"));
  EXPECT_EQ(logWhenFinished, f.Read("patch.log"));
  ExpectOneFinalBox(f, "success", MessageIcon::Information, UpdateOutcome::Succeeded);
  EXPECT_EQ(f.host.boxes.size(), 1u);
  EXPECT_EQ(f.sleeps, (std::vector<uint32_t>{500, 1000}));
  ASSERT_EQ(f.host.opened.size(), 1u);
  EXPECT_EQ(f.host.opened[0], f.game() + "\\ReadMe.txt");

  // The driver's own reports frame the engine's.
  const auto& p = f.host.progress;
  ASSERT_GE(p.size(), 5u);
  EXPECT_EQ(p[0].operation, "init");
  EXPECT_EQ(p[0].overall, 0);
  EXPECT_EQ(p[0].step, 0);
  EXPECT_EQ(p[0].file, "");
  EXPECT_EQ(p[1].operation, "init done");
  EXPECT_EQ(p[1].step, 100);
  EXPECT_EQ(p[2].operation, "updating");
  EXPECT_EQ(p[2].step, 0);
  const auto& done = p[p.size() - 2];
  EXPECT_EQ(done.operation, "done");
  EXPECT_EQ(done.overall, 100);
  EXPECT_EQ(done.step, 100);
  EXPECT_EQ(p.back().operation, "storing");
  EXPECT_EQ(p.back().overall, 100);
  EXPECT_EQ(p.back().step, 0);
  EXPECT_GT(p.size(), 5u) << "the engine reports through the same callback";
}

TEST(AppUpdateDriver, ReadMeUnlessTheSettingStartsWithZero) {
  DriverFixture off;
  off.strings["SHOW_README"] = "0 (no)";
  off.Run("all() { }\r\n");
  EXPECT_TRUE(off.host.opened.empty());
  ASSERT_EQ(off.host.finished.size(), 1u);
  EXPECT_EQ(off.host.finished[0], UpdateOutcome::Succeeded);

  // A missing key expands to itself, which does not start with "0".
  DriverFixture missing;
  missing.strings.erase("SHOW_README");
  missing.Run("all() { }\r\n");
  EXPECT_EQ(missing.host.opened.size(), 1u);

  // Not after a failed run.
  DriverFixture failed;
  failed.Run("all() { CheckDir(\"absent\") }\r\n");
  EXPECT_TRUE(failed.host.opened.empty());
}

TEST(AppUpdateDriver, MissingRegistryEntryFailsBeforeAnythingIsWritten) {
  DriverFixture f;
  f.strings["REG_DESTINATION"] = "Another Value";
  f.Run(CreateNewFile(&f));
  ExpectOneFinalBox(f, "no registry entry [Old Game|Old Game|New Game]", MessageIcon::Error,
                    UpdateOutcome::Failed);
  EXPECT_FALSE(f.Exists("patch.log"));
  EXPECT_FALSE(f.Exists("new.txt"));
  EXPECT_EQ(f.host.Operations(), std::vector<std::string>{"init"});
  EXPECT_EQ(f.sleeps, std::vector<uint32_t>{500});

  // A value that does not fit 260 bytes is no entry either.
  DriverFixture longer;
  longer.SetInstallPath(longer.game() + "\\" + std::string(260, 'x'));
  longer.Run("all() { }\r\n");
  ExpectOneFinalBox(longer, "no registry entry [Old Game|Old Game|New Game]", MessageIcon::Error,
                    UpdateOutcome::Failed);
}

TEST(AppUpdateDriver, MissingGameDirectory) {
  DriverFixture f;
  f.SetInstallPath(f.game() + "\\not here");
  f.Run(CreateNewFile(&f));
  ExpectOneFinalBox(f, "no directory [Old Game|New Game]", MessageIcon::Error,
                    UpdateOutcome::Failed);
  EXPECT_FALSE(f.Exists("not here"));
  EXPECT_FALSE(f.Exists("patch.log"));
}

// A file system that notes every log opened for writing.
class WriteWatcher : public FileSystemWrapper {
 public:
  WriteWatcher() : FileSystemWrapper(DefaultFileSystem()) { SetFileSystem(this); }
  ~WriteWatcher() override { SetFileSystem(nullptr); }
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    if (mode != OpenMode::kRead && path.find("patch.log") != std::string::npos) {
      written.push_back(path);
    }
    return target()->Open(path, mode);
  }
  std::vector<std::string> written;
};

TEST(AppUpdateDriver, ABackslashAloneIsNoDirectoryAndWritesNoLogAtTheRoot) {
  DriverFixture f;
  f.SetInstallPath("\\");
  WriteWatcher watcher;
  f.Run("all() { }\r\n");
  ExpectOneFinalBox(f, "no directory [Old Game|New Game]", MessageIcon::Error,
                    UpdateOutcome::Failed);
  EXPECT_TRUE(watcher.written.empty()) << watcher.written[0];
}

TEST(AppUpdateDriver, NoCandidateProgramInTheDirectory) {
  DriverFixture f;
  f.strings["SRC_EXE"] = "other.exe; third.exe";
  f.Run(CreateNewFile(&f));
  ExpectOneFinalBox(f, "no program [Old Game|New Game]", MessageIcon::Error, UpdateOutcome::Failed);
  EXPECT_EQ(f.Read("patch.log"), FinalLine("no program [Old Game|New Game]"));
  EXPECT_FALSE(f.Exists("new.txt"));
}

// The search stops at a blank item before it could look at the names after
// it: that is no proof the program is absent, so the run goes on without one.
TEST(AppUpdateDriver, ABlankCandidateEndsTheSearchWithoutAProgram) {
  DriverFixture f;
  f.strings["SRC_EXE"] = "missing.exe; ;game.exe";
  f.Run("all() { }\r\n");
  ExpectOneFinalBox(f, "wrong language for New Game. Yours: , this is for: en",
                    MessageIcon::Warning, UpdateOutcome::Interrupted);

  DriverFixture any;
  any.strings["SRC_EXE"] = " ;game.exe";
  any.strings["LANG_VERSION"] = "";
  any.strings["GAME_VERSION"] = "";
  any.Run(CreateNewFile(&any));
  ExpectOneFinalBox(any, "success", MessageIcon::Information, UpdateOutcome::Succeeded);
  EXPECT_TRUE(any.Exists("new.txt"));
}

// Records what the engine was handed, through a shortcut command.
CommandContext g_seen;
int g_shortcut_calls = 0;
void RecordContext(CommandContext& context, const ScriptCall&) {
  g_seen = context;
  ++g_shortcut_calls;
}

class ShortcutSpy {
 public:
  ShortcutSpy() : saved_(GetShortcutHandler(CommandId::kAddDesktopLink)) {
    g_shortcut_calls = 0;
    g_seen = CommandContext();
    RegisterShortcutHandler(CommandId::kAddDesktopLink, RecordContext);
  }
  ~ShortcutSpy() { RegisterShortcutHandler(CommandId::kAddDesktopLink, saved_); }

 private:
  ShortcutHandler saved_;
};

const char kAddLink[] = "AddDesktopLink(\"x.lnk\", \"game.exe\", \"\", \"\", 0)";

TEST(AppUpdateDriver, TheEngineGetsWhatTheDriverFound) {
  DriverFixture f;
  f.strings["SRC_EXE"] = "missing.exe;game.exe";
  f.SetInstallPath(f.game() + "\\");
  f.host.skipSpaceCheck = true;
  test::FaultyFileSystem full;
  full.fakeFreeSpace = true;
  ShortcutSpy spy;
  // The installed version picks the section; the requirement on a full disk
  // passes only because the space check is skipped.
  f.Run("Version(\"1.0.0.0\", \"1.0.0.1\") { FreeSpace(1) " + std::string(kAddLink) + " }\r\n" +
        "Version(\"1.0.0.9\", \"2\") { CheckDir(\"absent\") }\r\n");
  ASSERT_EQ(g_shortcut_calls, 1);
  EXPECT_EQ(g_seen.packagePath, f.packagePath());
  EXPECT_EQ(g_seen.sourceRoot, f.game());
  EXPECT_EQ(g_seen.targetRoot, f.game());
  EXPECT_NE(g_seen.log, nullptr);
  EXPECT_FALSE(g_seen.logOwned);
  EXPECT_EQ(g_seen.currentVersion, "1.0.0.0");
  EXPECT_TRUE(g_seen.skipSpaceCheck);
  EXPECT_EQ(g_seen.linkBaseDir, f.game() + "\\");
  EXPECT_EQ(g_seen.gameExecutable, "game.exe");
  EXPECT_FALSE(g_seen.skipShortcuts);
  ExpectOneFinalBox(f, "success", MessageIcon::Information, UpdateOutcome::Succeeded);

  DriverFixture skip;
  skip.host.skipShortcuts = true;
  ShortcutSpy spy2;
  skip.Run("all() { " + std::string(kAddLink) + " }\r\n");
  EXPECT_EQ(g_shortcut_calls, 0);
}

TEST(AppUpdateDriver, AnEmptyCandidateListSkipsTheProgramChecks) {
  DriverFixture f;
  f.strings["SRC_EXE"] = "";
  f.strings["LANG_VERSION"] = "";
  f.strings["GAME_VERSION"] = "";
  ShortcutSpy spy;
  f.Run("all() { " + std::string(kAddLink) + " }\r\n");
  ExpectOneFinalBox(f, "success", MessageIcon::Information, UpdateOutcome::Succeeded);
  EXPECT_EQ(g_seen.gameExecutable, "");
  EXPECT_EQ(g_seen.currentVersion, "") << "no program, no version";

  // With a language to check, the missing program has none.
  DriverFixture lang;
  lang.strings["SRC_EXE"] = "";
  lang.Run("all() { }\r\n");
  ExpectOneFinalBox(lang, "wrong language for New Game. Yours: , this is for: en",
                    MessageIcon::Warning, UpdateOutcome::Interrupted);
}

TEST(AppUpdateDriver, RunningGameAsksUntilRetrySucceedsOrCancel) {
  DriverFixture f;
  std::unique_ptr<File> holder = GetFileSystem()->Open(f.Native("game.exe"), OpenMode::kRead);
  ASSERT_NE(holder, nullptr);
  f.host.answers = {kIdRetry, kIdCancel};
  f.Run(CreateNewFile(&f));
  ASSERT_EQ(f.host.boxes.size(), 3u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(f.host.boxes[i].text, "running [Old Game|Old Game]");
    EXPECT_EQ(f.host.boxes[i].caption, "New Game update");
    EXPECT_EQ(f.host.boxes[i].icon, MessageIcon::Error);
    EXPECT_EQ(f.host.boxes[i].buttons, MessageButtons::RetryCancel);
  }
  // Nothing changed: the update may be tried again once the game is closed,
  // and the last box offers no Retry it cannot give.
  ExpectOneFinalBox(f, "still running [Old Game]", MessageIcon::Warning,
                    UpdateOutcome::Interrupted);
  EXPECT_EQ(f.Read("patch.log"), FinalLine("still running [Old Game]"));
  EXPECT_FALSE(f.Exists("new.txt"));

  // The game ends while the box is up: Retry goes on with the update.
  DriverFixture g;
  holder = GetFileSystem()->Open(g.Native("game.exe"), OpenMode::kRead);
  ASSERT_NE(holder, nullptr);
  g.host.answers = {kIdRetry};
  g.host.onBox = [&holder](const Box&) { holder.reset(); };
  g.Run(CreateNewFile(&g));
  EXPECT_EQ(g.host.boxes.size(), 2u);
  ExpectOneFinalBox(g, "success", MessageIcon::Information, UpdateOutcome::Succeeded);
  EXPECT_EQ(g.Read("new.txt"), "new\n");
}

TEST(AppUpdateDriver, WrongLanguageOrVersionInterrupts) {
  DriverFixture lang;
  test::WriteFileBytes(lang.Native("game.exe"), test::GameExecutable("1.0.0.0de"));
  lang.Run(CreateNewFile(&lang));
  const std::string text = "wrong language for New Game. Yours: de, this is for: en";
  ExpectOneFinalBox(lang, text, MessageIcon::Warning, UpdateOutcome::Interrupted);
  EXPECT_EQ(lang.Read("patch.log"), FinalLine(text));
  EXPECT_FALSE(lang.Exists("new.txt"));

  // The installed language is shown as it is, never read as inserts.
  DriverFixture odd;
  test::WriteFileBytes(odd.Native("game.exe"), test::GameExecutable("1.0.0.0%1%0x"));
  odd.Run("all() { }\r\n");
  ExpectOneFinalBox(odd, "wrong language for New Game. Yours: %1%0x, this is for: en",
                    MessageIcon::Warning, UpdateOutcome::Interrupted);

  DriverFixture version;
  test::WriteFileBytes(version.Native("game.exe"), test::GameExecutable("1.0.0.7en"));
  version.Run(CreateNewFile(&version));
  ExpectOneFinalBox(version, "wrong version, need [1.0.0.0; 1.0.0.1]", MessageIcon::Warning,
                    UpdateOutcome::Interrupted);
  EXPECT_FALSE(version.Exists("new.txt"));
}

TEST(AppUpdateDriver, RunnerCodesBecomeTextsIconsAndOutcomes) {
  struct Case {
    std::string script;
    std::string text;
    MessageIcon icon;
    UpdateOutcome outcome;
  };
  const std::vector<Case> cases = {
      {"all() { FreeSpace(1) }\r\n", "no space", MessageIcon::Error, UpdateOutcome::Failed},
      {"all() { CheckDir(\"absent\") }\r\n", "generic failure", MessageIcon::Error,
       UpdateOutcome::Failed},
      {"all() { CheckFile(\"game.exe\", \"00000000\") }\r\n", "wrong checksum",
       MessageIcon::Warning, UpdateOutcome::Interrupted},
      {"all() { DeleteFile(\"gone\", \"\") CheckFile(\"game.exe\", \"00000000\") }\r\n",
       "wrong checksum", MessageIcon::Error, UpdateOutcome::Failed},
      {"", "generic failure", MessageIcon::Error, UpdateOutcome::Failed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    test::FaultyFileSystem full;  // no byte free anywhere
    full.fakeFreeSpace = true;
    DriverFixture f;
    f.Run(c.script);
    ExpectOneFinalBox(f, c.text, c.icon, c.outcome);
    const std::string log = f.Read("patch.log");
    ASSERT_GE(log.size(), FinalLine(c.text).size());
    EXPECT_EQ(log.substr(log.size() - FinalLine(c.text).size()), FinalLine(c.text));
    EXPECT_TRUE(f.host.opened.empty());
  }

  // A code no runner returns is a failure, not a success.
  const FinalReport unknown = FinalReportFor(42, "");
  EXPECT_EQ(unknown.outcome, UpdateOutcome::Failed);
  EXPECT_EQ(unknown.icon, MessageIcon::Error);
}

TEST(AppUpdateDriver, WithoutItsOwnPathTheRunStopsBeforeTouchingAnything) {
  DriverFixture f;
  f.programPath = "";
  f.MakeDir("Data");
  f.MakeDir("Data\\Levels");
  f.Write("Data/Levels/bank.dat", "x");
  f.Run(CreateNewFile(&f));
  ExpectOneFinalBox(f, "generic failure", MessageIcon::Error, UpdateOutcome::Failed);
  EXPECT_TRUE(f.Exists("Data/Levels/bank.dat"));
  EXPECT_FALSE(f.Exists("new.txt"));
  EXPECT_EQ(f.Read("patch.log"), FinalLine("generic failure"));
}

TEST(AppUpdateDriver, ALogThatCannotBeOpenedIsNoError) {
  DriverFixture f;
  f.MakeDir("patch.log");  // a directory: the log cannot be created
  test::TempDir cwd;
  const std::string saved = GetFileSystem()->GetCurrentDir();
  ASSERT_TRUE(GetFileSystem()->SetCurrentDir(cwd.path()));
  f.Run(CreateNewFile(&f));
  GetFileSystem()->SetCurrentDir(saved);
  ExpectOneFinalBox(f, "success", MessageIcon::Information, UpdateOutcome::Succeeded);
  // The runner kept a log of its own, without the driver's final line.
  EXPECT_EQ(test::ReadFileText(cwd.Join("patch.log")), Created(f, "new.txt"));
}

// The stale bank files go with the run's first change, from the four folders
// only: a run that ends having changed nothing, however it ends, leaves
// every one of them as it was.
TEST(AppUpdateDriver, BankFilesGoFromTheFourFoldersOnlyAndOnlyWhenTheGameChanges) {
  const std::vector<std::string> doomed = {
      "Data/Levels/bank1.dat",          "Data/Levels/BANK2.DAT",     "Data/Levels/Bank",
      "Data/Levels/sub/deeper/bAnK3.x", "Data/Levels/bankdir/bank4", "Data/LevelsNet/bank5",
      "Data/Films/bank6.bin",           "Data/LevelsCustom/x/bank7",
  };
  const std::vector<std::string> kept = {
      "Data/Levels/.hidden/bank8",
      "Data/Levels/notbank.dat",
      "Data/Other/bank9",
      "bank10",
      "Data/bank11",
  };
  auto build = [&](DriverFixture* f) {
    for (const char* dir :
         {"Data", "Data/Levels", "Data/Levels/sub", "Data/Levels/sub/deeper", "Data/Levels/bankdir",
          "Data/Levels/.hidden", "Data/LevelsNet", "Data/Films", "Data/LevelsCustom",
          "Data/LevelsCustom/x", "Data/Other"}) {
      f->MakeDir(dir);
    }
    for (const auto& name : doomed) f->Write(name, "b");
    for (const auto& name : kept) f->Write(name, "k");
  };
  struct Case {
    const char* what;
    std::string script;
    std::string gameVersion;
    UpdateOutcome outcome;
    bool changes;
  };
  const std::vector<Case> cases = {
      {"a version the update does not know", "all() { CreateDir(\"new\") }\r\n", "9.9.9.9",
       UpdateOutcome::Interrupted, false},
      {"a source check that fails", "all() { CheckFile(\"game.exe\", \"00000000\") }\r\n", "",
       UpdateOutcome::Interrupted, false},
      {"a script that finds nothing to do", "all() { IsOKDir(\"Data\\\\Levels\\\\bankdir\") }\r\n",
       "", UpdateOutcome::Succeeded, false},
      {"a failure before any change", "all() { CheckDir(\"absent\") CreateDir(\"new\") }\r\n", "",
       UpdateOutcome::Failed, false},
      {"a run that changes the game", "all() { CreateDir(\"new\") }\r\n", "",
       UpdateOutcome::Succeeded, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DriverFixture f;
    build(&f);
    f.strings["GAME_VERSION"] = c.gameVersion;
    f.Run(c.script);
    ASSERT_EQ(f.host.finished.size(), 1u);
    EXPECT_EQ(f.host.finished[0], c.outcome);
    for (const auto& name : doomed) EXPECT_EQ(f.Exists(name), !c.changes) << name;
    for (const auto& name : kept) EXPECT_TRUE(f.Exists(name)) << name;
    EXPECT_TRUE(f.Exists("Data/Levels/bankdir"));
  }
}

}  // namespace
}  // namespace upkeep
