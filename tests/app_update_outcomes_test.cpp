// Whole driver runs for the outcomes a player meets besides success and
// failure: an update run again on the game it already updated, and a run the
// player stops half-way.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app_test_util.h"
#include "authoring/delta_encoder.h"
#include "authoring/payload_writer.h"
#include "engine/run_journal.h"
#include "engine_test_util.h"
#include "platform/file_system.h"

namespace upkeep {
namespace {

using test::CrcText;
using test::DriverFixture;
using test::FinalLine;
using test::Lit;

const std::vector<uint8_t> kOldExe = test::GameExecutable("1.0.0.0en");
const std::vector<uint8_t> kNewExe = test::GameExecutable("1.0.0.3en");
const std::vector<uint8_t> kNew = {'n', 'e', 'w'};
const std::vector<uint8_t> kBank = {'b', 'a', 'n', 'k'};

// An update as `make` writes one: checks, the program patched (or, with
// `touchProgram` false, a data file), a file created, then the bank files.
std::string Package(DriverFixture* f, bool touchProgram) {
  const std::vector<uint8_t> old_data = test::RandomBytes(4000, 5);
  std::vector<uint8_t> new_data = old_data;
  new_data[100] ^= 0xFF;
  const std::vector<uint8_t>& from = touchProgram ? kOldExe : old_data;
  const std::vector<uint8_t>& to = touchProgram ? kNewExe : new_data;
  const std::string name = touchProgram ? "game.exe" : "data.bin";
  if (!touchProgram) test::WriteFileBytes(f->Native("data.bin"), old_data);
  f->AddEntry("00000001.DELTA",
              EncodePayload(EncodeDelta(from.data(), from.size(), to.data(), to.size())));
  f->AddEntry("00000002.FILE", EncodePayload(kNew));
  f->AddEntry("00000003.FILE", EncodePayload(kBank));
  return "all() {\r\n CheckFile(" + Lit(name) + ", " + Lit(CrcText(from)) + ")\r\n PatchFile(" +
         Lit(name) + ", \"00000001.DELTA\", " + Lit(CrcText(from)) + ", " + Lit(CrcText(to)) +
         ")\r\n CreateFile(\"new.txt\", \"00000002.FILE\", " + Lit(CrcText(kNew)) +
         ")\r\n}\r\nall() {\r\n IsOKDir(\"Data\")\r\n IsOKDir(\"Data\\\\Levels\")\r\n"
         " CreateFile(\"Data\\\\Levels\\\\bank1.dat\", \"00000003.FILE\", " +
         Lit(CrcText(kBank)) + ")\r\n}\r\n";
}

// Run again on the game it updated, in each way a package can meet it, the
// update says the game is up to date, changes nothing (the bank files the
// game made since stay) and succeeds; a game that is not quite the update's
// result still gets the old answers.
TEST(AppUpdateOutcomes, ASecondRunFindsTheGameUpToDate) {
  struct Case {
    const char* what;
    bool touchProgram;
    std::string gameVersion;
    bool errorLine;  // the script ran into its check before the game was looked at
  };
  const std::vector<Case> cases = {
      {"versions listed, the program patched", true, "1.0.0.0", false},
      {"any version, the program patched", true, "", false},
      {"versions listed, the program left alone", false, "1.0.0.0", true},
      {"any version, the program left alone", false, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DriverFixture f;
    test::WriteFileBytes(f.Native("game.exe"), kOldExe);
    f.strings["GAME_VERSION"] = c.gameVersion;
    const std::string script = Package(&f, c.touchProgram);
    f.Run(script);
    ASSERT_EQ(f.host.finished, std::vector<UpdateOutcome>{UpdateOutcome::Succeeded});
    ASSERT_EQ(f.Read("Data/Levels/bank1.dat"), "bank");
    // The game remade its bank files since.
    f.Write("Data/Levels/bank1.dat", "remade");
    f.Write("Data/Levels/bank2.dat", "remade");

    f.host = test::FakeHost();
    f.Run(script);
    ASSERT_FALSE(f.host.boxes.empty());
    EXPECT_EQ(f.host.boxes.back().text, "up to date [New Game]");
    EXPECT_EQ(f.host.boxes.back().icon, MessageIcon::Information);
    EXPECT_EQ(f.host.finished, std::vector<UpdateOutcome>{UpdateOutcome::Succeeded});
    EXPECT_TRUE(f.host.opened.empty()) << "no read-me: nothing was updated";
    EXPECT_EQ(f.Read("Data/Levels/bank1.dat"), "remade");
    EXPECT_EQ(f.Read("Data/Levels/bank2.dat"), "remade");
    EXPECT_FALSE(f.Exists("upkeep.journal"));
    const std::string log = f.Read("patch.log");
    EXPECT_EQ(log.find("ERROR") != std::string::npos, c.errorLine) << log;
    EXPECT_EQ(log.substr(log.size() - FinalLine("up to date [New Game]").size()),
              FinalLine("up to date [New Game]"));

    // A file of the update changed by the player since: not up to date.
    f.Write("new.txt", "mine");
    f.host = test::FakeHost();
    f.Run(script);
    ASSERT_EQ(f.host.finished.size(), 1u);
    EXPECT_EQ(f.host.finished[0], UpdateOutcome::Interrupted);
    EXPECT_NE(f.host.boxes.back().text, "up to date [New Game]");
    EXPECT_EQ(f.Read("Data/Levels/bank2.dat"), "remade");
  }
}

// Cancel: asked before the script, the run changes nothing and may be run
// again, and its log says it stopped; asked after a change, it stops between two commands, says the
// update is not complete and keeps the journal, and the next run finishes it.
TEST(AppUpdateOutcomes, AStopBeforeOrAfterTheFirstChange) {
  const std::string script = "all() { CreateDir(\"a\") CreateDir(\"b\") CreateDir(\"c\") }\r\n";
  DriverFixture early;
  early.strings["GAME_VERSION"] = "";
  early.MakeDir("Data");
  early.MakeDir("Data/Levels");
  early.Write("Data/Levels/bank1.dat", "b");
  early.host.stopWhen = [] { return true; };
  early.Run(script);
  ASSERT_EQ(early.host.finished, std::vector<UpdateOutcome>{UpdateOutcome::Interrupted});
  EXPECT_EQ(early.host.boxes.back().text, "skipped [Old Game]");
  EXPECT_FALSE(early.Exists("a"));
  EXPECT_TRUE(early.Exists("Data/Levels/bank1.dat"));
  EXPECT_FALSE(early.Exists("upkeep.journal"));
  EXPECT_NE(early.Read("patch.log").find("Update stopped on request."), std::string::npos);

  DriverFixture late;
  late.strings["GAME_VERSION"] = "";
  late.host.stopWhen = [&late] { return late.Exists("a"); };
  late.Run(script);
  ASSERT_EQ(late.host.finished, std::vector<UpdateOutcome>{UpdateOutcome::Failed});
  const std::string text = late.host.boxes.back().text;
  EXPECT_EQ(text.rfind("stopped\r\n", 0), 0u) << text;
  EXPECT_NE(text.find("not complete"), std::string::npos) << text;
  EXPECT_TRUE(late.Exists("a"));
  EXPECT_FALSE(late.Exists("b"));
  EXPECT_TRUE(late.Exists("upkeep.journal"));
  EXPECT_NE(late.Read("patch.log").find("Update stopped on request."), std::string::npos);

  late.host = test::FakeHost();
  late.Run(script);
  EXPECT_EQ(late.host.finished, std::vector<UpdateOutcome>{UpdateOutcome::Succeeded});
  EXPECT_TRUE(late.Exists("c"));
  EXPECT_FALSE(late.Exists("upkeep.journal"));
  // The front end hears where the whole log is before the outcome.
  ASSERT_EQ(late.host.logs, std::vector<std::string>{late.game() + "\\patch.log"});
  const auto& events = late.host.events;
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[events.size() - 2], "log");
}

}  // namespace
}  // namespace upkeep
