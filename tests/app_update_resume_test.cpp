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

const char kIncomplete[] =
    "\r\nThe update is not complete: some game files are already updated. Run the update again to "
    "finish it. If it stops the same way again, ask the publisher for a corrected update or "
    "reinstall the game; another update of the game can also be tried.";

// An update whose Version section patches the game's program (after which
// the program reads as a version the package does not accept), then patches,
// creates and deletes in "All".
struct Update {
  std::vector<uint8_t> old_exe = test::GameExecutable("1.0.0.0en");
  std::vector<uint8_t> new_exe = test::GameExecutable("1.0.0.1en");
  std::vector<uint8_t> old_a = test::RandomBytes(90000, 31);
  std::vector<uint8_t> new_a;
  std::vector<uint8_t> b = test::RandomBytes(5000, 32);
  std::string c = "obsolete";

  Update() {
    new_a = old_a;
    new_a.insert(new_a.begin() + 4000, 700, 0x5A);
  }

  std::string Script(DriverFixture* f) const {
    f->strings["GAME_VERSION"] = "1.0.0.0";
    f->AddEntry("00000001.DELTA", EncodePayload(EncodeDelta(old_exe.data(), old_exe.size(),
                                                            new_exe.data(), new_exe.size())));
    f->AddEntry("00000002.DELTA",
                EncodePayload(EncodeDelta(old_a.data(), old_a.size(), new_a.data(), new_a.size())));
    f->AddEntry("00000003.FILE", EncodePayload(b));
    return "Version(\"1.0.0.0\", \"1.0.0.1\") {\r\n"
           " CheckFile(\"game.exe\", \"" +
           CrcText(old_exe) + "\")\r\n CheckFile(\"a.dat\", \"" + CrcText(old_a) +
           "\")\r\n PatchFile(\"game.exe\", \"00000001.DELTA\", \"0\", \"" + CrcText(new_exe) +
           "\")\r\n}\r\nall() {\r\n PatchFile(\"a.dat\", \"00000002.DELTA\", \"0\", \"" +
           CrcText(new_a) + "\")\r\n CreateFile(\"b.dat\", \"00000003.FILE\", \"" + CrcText(b) +
           "\")\r\n DeleteFile(\"c.dat\", \"\")\r\n CheckFile(\"c.dat\", \"00000000\")\r\n}\r\n";
  }

  void Install(DriverFixture* f) const {
    test::WriteFileBytes(f->Native("game.exe"), old_exe);
    test::WriteFileBytes(f->Native("a.dat"), old_a);
    f->Write("c.dat", c);
  }

  // Every file is its old or its new self, never anything else.
  void ExpectOldOrNew(const DriverFixture& f) const {
    std::vector<uint8_t> bytes;
    test::ReadFileBytes(f.Native("game.exe"), &bytes);
    EXPECT_TRUE(bytes == old_exe || bytes == new_exe);
    test::ReadFileBytes(f.Native("a.dat"), &bytes);
    EXPECT_TRUE(bytes == old_a || bytes == new_a);
    if (f.Exists("b.dat")) {
      EXPECT_EQ(f.Read("b.dat"), std::string(b.begin(), b.end()));
    }
    if (f.Exists("c.dat")) {
      EXPECT_EQ(f.Read("c.dat"), c);
    }
  }

  void ExpectNew(const DriverFixture& f) const {
    std::vector<uint8_t> bytes;
    test::ReadFileBytes(f.Native("game.exe"), &bytes);
    EXPECT_EQ(bytes, new_exe);
    test::ReadFileBytes(f.Native("a.dat"), &bytes);
    EXPECT_EQ(bytes, new_a);
    EXPECT_EQ(f.Read("b.dat"), std::string(b.begin(), b.end()));
    EXPECT_FALSE(f.Exists("c.dat"));
    for (const char* temp : {"game.exe.~up", "a.dat.~up", "b.dat.~up", "upkeep.journal"}) {
      EXPECT_FALSE(f.Exists(temp)) << temp;
    }
  }
};

// A run of `script` during which every move or replace of `name` is refused.
void RunRefusingMovesOf(DriverFixture* f, const std::string& script, const char* name) {
  test::FaultyFileSystem faults;
  faults.refuseMovesWith = name;
  f->Run(script);
}

std::string LastBox(const DriverFixture& f) {
  return f.host.boxes.empty() ? std::string() : f.host.boxes.back().text;
}

// The journal's lines, each with its line end.
std::vector<std::string> JournalLines(const DriverFixture& f) {
  const std::string text = f.Read("upkeep.journal");
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(at, end - at));
    at = end;
  }
  return lines;
}

// Each case stops a first run somewhere (a refused step, or a journal cut
// back to what a crash at some moment leaves), then runs the same package
// again with nothing in the way: it must finish the whole update.
TEST(AppUpdateResume, TheSamePackageFinishesWhateverStoppedIt) {
  const Update u;
  struct Case {
    const char* what;
    std::string refuseReplace;  // the first run cannot put this file in place
    std::string refuseDelete;
    size_t keepLines;      // journal lines kept after the first run; 0: all
    std::string tornTail;  // appended to the journal after the first run
    UpdateOutcome first;
    std::string firstText;
  };
  const std::vector<Case> cases = {
      // Nothing changed yet: today's outcome, and no journal is left.
      {"program refused", "game.exe", "", 0, "", UpdateOutcome::Failed, "generic failure"},
      {"a.dat refused", "a.dat", "", 0, "", UpdateOutcome::Failed, "generic failure"},
      {"b.dat refused", "b.dat", "", 0, "", UpdateOutcome::Failed, "generic failure"},
      // A refused deletion goes past its command; the check after it stops the run.
      {"c.dat kept", "", "c.dat", 0, "", UpdateOutcome::Failed, "wrong checksum"},
      // A crash right after the program took its new content, before anything
      // was noted done: the checks of its old content count as passed.
      {"crash after the first change", "a.dat", "", 5, "", UpdateOutcome::Failed,
       "generic failure"},
      // Only the first record reached the disk: the program's new content
      // alone tells how far the run got.
      {"only the first record left", "b.dat", "", 1, "", UpdateOutcome::Failed, "generic failure"},
      {"torn last record", "b.dat", "", 0, "done\t9", UpdateOutcome::Failed, "generic failure"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DriverFixture f;
    u.Install(&f);
    const std::string script = u.Script(&f);
    {
      test::FaultyFileSystem faults;
      faults.refuseMovesWith = c.refuseReplace;
      faults.refuseDeleteWith = c.refuseDelete;
      f.Run(script);
    }
    ASSERT_EQ(f.host.finished.size(), 1u);
    EXPECT_EQ(f.host.finished[0], c.first);
    EXPECT_EQ(LastBox(f), c.firstText);
    u.ExpectOldOrNew(f);
    EXPECT_EQ(f.Read("patch.log").find("journal"), std::string::npos);
    const bool changed = c.refuseReplace != "game.exe";
    EXPECT_EQ(f.Exists("upkeep.journal"), changed);
    if (c.keepLines > 0) {
      std::vector<std::string> lines = JournalLines(f);
      ASSERT_GE(lines.size(), c.keepLines);
      lines.resize(c.keepLines);
      std::string text;
      for (const auto& l : lines) text += l;
      f.Write("upkeep.journal", text);
    }
    if (!c.tornTail.empty()) f.Write("upkeep.journal", f.Read("upkeep.journal") + c.tornTail);

    f.host = test::FakeHost();
    f.Run(script);
    ASSERT_EQ(f.host.finished.size(), 1u);
    EXPECT_EQ(f.host.finished[0], UpdateOutcome::Succeeded);
    EXPECT_EQ(LastBox(f), "success");
    u.ExpectNew(f);
    const std::string log = f.Read("patch.log");
    EXPECT_EQ(log.find("Resuming the interrupted update") == 0, changed) << log;
  }
}

TEST(AppUpdateResume, OnlyAnUpdateCutShortHoldsOtherPackagesBack) {
  const Update u;
  DriverFixture f;
  u.Install(&f);
  const std::string script = u.Script(&f);
  RunRefusingMovesOf(&f, script, "a.dat");
  ASSERT_TRUE(f.Exists("upkeep.journal"));
  const std::string failed = f.Read("upkeep.journal");
  std::vector<std::string> lines = JournalLines(f);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().compare(0, 6, "end\t2\t"), 0) << lines.back();

  // Cut short (no end noted): another package changes nothing and names the
  // update to finish.
  lines.pop_back();
  std::string cut;
  for (const std::string& l : lines) cut += l;
  f.Write("upkeep.journal", cut);
  const std::string other = "all() { DeleteFile(\"c.dat\", \"\") }\r\n";
  f.host = test::FakeHost();
  f.Run(other);
  EXPECT_EQ(f.host.finished, std::vector<UpdateOutcome>{UpdateOutcome::Failed});
  EXPECT_EQ(LastBox(f),
            "An earlier update of New Game (to version 1.0.0.2) was cut short half-way, so this "
            "one cannot start.\r\nRun that update again to finish it, then run this one. Without "
            "that update, reinstall the game first.");
  EXPECT_EQ(f.host.boxes.back().icon, MessageIcon::Error);
  EXPECT_EQ(f.Read("c.dat"), u.c);
  EXPECT_EQ(f.Read("upkeep.journal"), cut);

  // Failed: no package is held back, its own checks decide (this one takes
  // the program's new version too). One whose check fails changes nothing
  // and leaves the failed update's journal in place.
  f.Write("upkeep.journal", failed);
  f.strings["GAME_VERSION"] = "1.0.0.0;1.0.0.1";
  f.host = test::FakeHost();
  f.Run("all() { CheckFile(\"c.dat\", \"00000000\") DeleteFile(\"c.dat\", \"\") }\r\n");
  EXPECT_EQ(f.host.finished, std::vector<UpdateOutcome>{UpdateOutcome::Interrupted});
  EXPECT_EQ(LastBox(f), "wrong checksum");
  EXPECT_EQ(f.Read("c.dat"), u.c);
  EXPECT_EQ(f.Read("upkeep.journal"), failed);
  f.strings["GAME_VERSION"] = "1.0.0.0";

  // The package again, stopped once more: the message says the update is
  // half-done, in the table's words when it has them.
  f.host = test::FakeHost();
  RunRefusingMovesOf(&f, script, "b.dat");
  EXPECT_EQ(f.host.finished, std::vector<UpdateOutcome>{UpdateOutcome::Failed});
  EXPECT_EQ(LastBox(f), std::string("generic failure") + kIncomplete);
  f.strings["IDS_ERR_UPDATE_INCOMPLETE"] = "half done [%1]";
  f.host = test::FakeHost();
  RunRefusingMovesOf(&f, script, "b.dat");
  EXPECT_EQ(LastBox(f), "half done [generic failure]");
  EXPECT_TRUE(f.Exists("upkeep.journal"));
  f.host = test::FakeHost();
  f.Run(script);
  EXPECT_EQ(LastBox(f), "success");
  u.ExpectNew(f);

  // One whose checks pass goes ahead over the failed update's half-done game.
  DriverFixture over;
  u.Install(&over);
  RunRefusingMovesOf(&over, u.Script(&over), "a.dat");
  ASSERT_TRUE(over.Exists("upkeep.journal"));
  over.strings["GAME_VERSION"] = "1.0.0.1";
  over.host = test::FakeHost();
  over.Run(other);
  EXPECT_EQ(LastBox(over), "success");
  EXPECT_FALSE(over.Exists("c.dat"));
  EXPECT_FALSE(over.Exists("upkeep.journal"));

  // A game installed again over a half-updated one: what the journal says
  // is done no longer holds, and the update starts over.
  DriverFixture again;
  u.Install(&again);
  const std::string againScript = u.Script(&again);
  RunRefusingMovesOf(&again, againScript, "b.dat");
  ASSERT_TRUE(again.Exists("upkeep.journal"));
  u.Install(&again);
  again.host = test::FakeHost();
  again.Run(againScript);
  EXPECT_EQ(LastBox(again), "success");
  u.ExpectNew(again);

  // A fresh run that repaired something before a check failed is no longer
  // "nothing changed"; one whose first check fails still is, and leaves no
  // journal. A stale temporary file of the old way, with no journal, stops
  // a patch as it always did.
  DriverFixture repaired;
  repaired.Run("all() { CreateDir(\"new\") CheckFile(\"game.exe\", \"00000000\") }\r\n");
  EXPECT_EQ(repaired.host.finished, std::vector<UpdateOutcome>{UpdateOutcome::Failed});
  EXPECT_EQ(LastBox(repaired), std::string("wrong checksum") + kIncomplete);
  EXPECT_EQ(repaired.host.boxes.back().icon, MessageIcon::Error);

  DriverFixture first;
  first.Run("all() { CheckFile(\"game.exe\", \"00000000\") CreateDir(\"new\") }\r\n");
  EXPECT_EQ(first.host.finished, std::vector<UpdateOutcome>{UpdateOutcome::Interrupted});
  EXPECT_EQ(LastBox(first), "wrong checksum");
  EXPECT_FALSE(first.Exists("upkeep.journal"));

  DriverFixture stale;
  u.Install(&stale);
  stale.Write("mya$$.tmp", "someone's old bytes");
  const std::string staleScript = u.Script(&stale);
  stale.Run(staleScript);
  EXPECT_EQ(LastBox(stale), "generic failure");
  EXPECT_EQ(stale.Read("mya$$.tmp"), "someone's old bytes");
  std::vector<uint8_t> exe;
  test::ReadFileBytes(stale.Native("game.exe"), &exe);
  EXPECT_EQ(exe, u.old_exe);
  EXPECT_NE(stale.Read("patch.log").find("Cannot move file"), std::string::npos);
  EXPECT_FALSE(stale.Exists("upkeep.journal"));
}

}  // namespace
}  // namespace upkeep
