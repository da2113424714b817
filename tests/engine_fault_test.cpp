#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "engine/command_context.h"
#include "engine/run_journal.h"
#include "engine_test_util.h"

namespace upkeep {
namespace {

using test::CrcText;
using test::UpdateFixture;

// One update touching every kind of write: a created file, a patched file and
// a repaired file, with their expected contents.
struct Scenario {
  std::vector<uint8_t> created = test::RandomBytes(150000, 21);
  std::vector<uint8_t> old_patched = test::RandomBytes(220000, 22);
  std::vector<uint8_t> new_patched;
  std::vector<uint8_t> repaired = test::RandomBytes(120000, 23);
  test::TempDir source;

  Scenario() {
    new_patched = old_patched;
    new_patched.insert(new_patched.begin() + 70000, 30000, 0x11);
    test::WriteFileBytes(source.Join("r.dat"), repaired);
  }

  void Prepare(UpdateFixture* f) const {
    f->Write("p.dat", old_patched);
    f->WriteText("r.dat", "broken");
    f->AddPayload("00000001.FILE", created);
    f->AddDelta("00000002.DELTA", old_patched, new_patched);
  }

  int32_t Run(UpdateFixture* f) const {
    std::string script =
        "all() {\r\n"
        " CreateFile(\"c.dat\", \"00000001.FILE\", \"" +
        CrcText(created) +
        "\")\r\n"
        " PatchFile(\"p.dat\", \"00000002.DELTA\", \"0\", \"" +
        CrcText(new_patched) +
        "\")\r\n"
        " IsOKFile(\"r.dat\", \"" +
        CrcText(repaired) +
        "\")\r\n"
        "}\r\n";
    return f->RunWithSource(script, source.path());
  }

  // The patched file's content is never lost: it is old or new, in place or
  // parked under the temporary name.
  void ExpectNothingLost(const UpdateFixture& f, const std::string& what) const {
    std::vector<uint8_t> p = f.Read("p.dat");
    bool in_place = f.Exists("p.dat") && (p == old_patched || p == new_patched);
    bool parked = f.Exists("mya$$.tmp") && f.Read("mya$$.tmp") == old_patched;
    EXPECT_TRUE(in_place || parked) << what;
  }

  void ExpectComplete(const UpdateFixture& f, const std::string& what) const {
    EXPECT_EQ(f.Read("c.dat"), created) << what;
    EXPECT_EQ(f.Read("p.dat"), new_patched) << what;
    EXPECT_EQ(f.Read("r.dat"), repaired) << what;
    EXPECT_FALSE(f.Exists("mya$$.tmp")) << what;
  }
};

// Failed writes, reported or not: what reaches the file is checked, never
// only what was handed to the system.
TEST(EngineFaultTest, FailingWritesNeverEndInSuccess) {
  Scenario s;
  for (bool hidden : {false, true}) {
    for (const char* file : {"c.dat", "p.dat", "r.dat"}) {
      for (int64_t budget : {0, 1, 4096, 102400, 102401, 149999, 219999}) {
        std::string what =
            std::string(file) + " after " + std::to_string(budget) + (hidden ? ", hidden" : "");
        UpdateFixture f;
        s.Prepare(&f);
        test::FaultyFileSystem fs;
        fs.failWritesTo = file;
        fs.writeBudget = budget;
        fs.hideWriteFailures = hidden;
        int32_t code = s.Run(&f);
        if (code == kRunSucceeded) {
          s.ExpectComplete(f, what);
        } else {
          EXPECT_TRUE(code == kOperationFailed || code == kChecksumAfterChange) << what;
          s.ExpectNothingLost(f, what);
        }
        // A write cut short anywhere must not be reported as done.
        if (fs.writtenToFailing >= budget) {
          EXPECT_NE(code, kRunSucceeded) << what;
        }
      }
    }
  }
}

// A failed write of new content stops the command before the file is
// touched: the file keeps its old bytes and nothing is left beside it.
TEST(EngineFaultTest, WriteErrorsStopTheCommandAndKeepTheOldFile) {
  Scenario s;
  {
    UpdateFixture f;
    s.Prepare(&f);
    test::FaultyFileSystem fs;
    fs.failWritesTo = "c.dat";
    fs.writeBudget = 1000;
    EXPECT_EQ(
        f.Run("all() { CreateFile(\"c.dat\", \"00000001.FILE\", \"" + CrcText(s.created) + "\") }"),
        kOperationFailed);
    std::string path = f.EnginePath("c.dat");
    EXPECT_EQ(f.log(), test::Crlf("ERROR: couldn' create file " + path + " - reason 2!\n"));
    EXPECT_FALSE(f.Exists("c.dat.~up"));
  }
  {
    UpdateFixture f;
    s.Prepare(&f);
    test::FaultyFileSystem fs;
    fs.failWritesTo = "p.dat";
    fs.writeBudget = 1000;
    EXPECT_EQ(f.Run("all() { PatchFile(\"p.dat\", \"00000002.DELTA\", \"0\", \"" +
                    CrcText(s.new_patched) + "\") }"),
              kOperationFailed);
    std::string path = f.EnginePath("p.dat");
    EXPECT_EQ(f.log(), test::Crlf("ERROR: couldn't update file " + path + " !\n"));
    EXPECT_EQ(f.Read("p.dat"), s.old_patched);
    EXPECT_FALSE(f.Exists("p.dat.~up"));
    EXPECT_FALSE(f.Exists("mya$$.tmp"));
  }
}

TEST(EngineFaultTest, FullDiskStopsTheRunOrFailsIt) {
  Scenario s;
  UpdateFixture f;
  s.Prepare(&f);
  test::FaultyFileSystem fs;
  fs.failWritesTo = f.game();
  fs.writeBudget = 0;
  // The log itself lives in the game directory too: nothing reaches it.
  EXPECT_NE(s.Run(&f), kRunSucceeded);
  s.ExpectNothingLost(f, "full disk");
  EXPECT_EQ(f.Read("p.dat"), s.old_patched);
}

TEST(EngineFaultTest, RefusedRenamesLoseNothing) {
  Scenario s;
  for (int allowed = 0; allowed <= 2; ++allowed) {
    std::string what = "moves allowed " + std::to_string(allowed);
    UpdateFixture f;
    s.Prepare(&f);
    test::FaultyFileSystem fs;
    fs.movesAllowed = allowed;
    int32_t code = s.Run(&f);
    if (allowed == 0) {
      EXPECT_EQ(code, kOperationFailed) << what;
      EXPECT_EQ(f.Read("p.dat"), s.old_patched) << what;
    }
    if (code == kRunSucceeded) {
      s.ExpectComplete(f, what);
    } else {
      s.ExpectNothingLost(f, what);
    }
  }
  // A wrong result never replaces the file, even when every move is allowed.
  UpdateFixture f;
  s.Prepare(&f);
  std::string script = "all() { PatchFile(\"p.dat\", \"00000002.DELTA\", \"0\", \"00000001\") }";
  EXPECT_EQ(f.Run(script), kChecksumAfterChange);
  EXPECT_EQ(f.Read("p.dat"), s.old_patched);
  EXPECT_FALSE(f.Exists("p.dat.~up"));
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// One update with every kind of change the engine makes, run the way the
// driver runs it: a journal begun (or taken over) first, removed afterwards
// unless the run leaves the game half-updated.
struct MixedUpdate {
  using Tree = std::map<std::string, std::vector<uint8_t>>;
  std::vector<uint8_t> created = test::RandomBytes(150000, 41);
  std::vector<uint8_t> old_over = test::RandomBytes(3000, 42);
  std::vector<uint8_t> new_over = test::RandomBytes(4000, 43);
  std::vector<uint8_t> old_patched = test::RandomBytes(220000, 44);
  std::vector<uint8_t> new_patched;
  std::vector<uint8_t> repaired = test::RandomBytes(120000, 45);
  const std::vector<uint8_t> broken = {'b', 'a', 'd'};
  const std::vector<uint8_t> moved = {'m', 'v'};
  const std::vector<uint8_t> gone = {'g'};
  test::TempDir source;

  MixedUpdate() {
    new_patched = old_patched;
    new_patched.erase(new_patched.begin() + 1000, new_patched.begin() + 5000);
    new_patched.insert(new_patched.begin() + 90000, 30000, 0x11);
    test::WriteFileBytes(source.Join("r.dat"), repaired);
  }

  Tree Old() const {
    return {{"o.dat", old_over}, {"p.dat", old_patched}, {"r.dat", broken},
            {"old.txt", moved},  {"gone.dat", gone},     {"olddir/x.dat", gone}};
  }
  Tree New() const {
    return {{"sub/c.dat", created},
            {"o.dat", new_over},
            {"p.dat", new_patched},
            {"r.dat", repaired},
            {"renamed.txt", moved}};
  }

  void Prepare(UpdateFixture* f) const {
    for (const auto& file : Old()) f->Write(file.first, file.second);
    f->AddPayload("00000001.FILE", created);
    f->AddDelta("00000002.DELTA", old_patched, new_patched);
    f->AddPayload("00000003.FILE", new_over);
  }

  int32_t Run(UpdateFixture* f) const {
    const std::string script =
        "all() {\r\n CreateDir(\"sub\")\r\n"
        " CreateFile(\"sub\\\\c.dat\", \"00000001.FILE\", \"" +
        CrcText(created) +
        "\")\r\n"
        " CreateFile(\"o.dat\", \"00000003.FILE\", \"" +
        CrcText(new_over) +
        "\")\r\n"
        " PatchFile(\"p.dat\", \"00000002.DELTA\", \"0\", \"" +
        CrcText(new_patched) +
        "\")\r\n"
        " IsOKFile(\"r.dat\", \"" +
        CrcText(repaired) +
        "\")\r\n"
        " RenameFile(\"old.txt\", \"renamed.txt\")\r\n"
        " DeleteFile(\"gone.dat\", \"\")\r\n"
        " DeleteDir(\"olddir\")\r\n}\r\n";
    RunJournal journal;
    const std::string path = RunJournal::PathIn(f->game());
    const bool resuming = journal.Load(path);
    JournalStart start;
    start.packageCrc = 1;
    start.version = "1.0.0";
    bool changed = false;
    int32_t code = kOperationFailed;
    if (resuming ? journal.Continue() : journal.Begin(path, start)) {
      test::RunOptions options;
      options.journal = &journal;
      options.changed = &changed;
      code = f->RunWithSource(script, source.path(), options);
    }
    changed = changed || (resuming && journal.changedBefore());
    if (code == kRunSucceeded || !changed) {
      journal.Remove();
    } else {
      journal.Close();
    }
    return code;
  }

  // The files under the game directory, patch.log aside.
  static Tree Files(const UpdateFixture& f) {
    Tree tree;
    const std::filesystem::path root = f.Native("");
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
      if (!e.is_regular_file()) continue;
      std::string name = e.path().lexically_relative(root).generic_string();
      if (name == "patch.log") continue;
      test::ReadFileBytes(e.path().string(), &tree[name]);
    }
    return tree;
  }

  // Each file is wholly its old self or wholly its new self (absent where it
  // has no such self); beside them at most the journal and new content.
  void ExpectOldOrNew(const UpdateFixture& f, const std::string& what) const {
    Tree now = Files(f), before = Old(), after = New();
    std::map<std::string, bool> names;
    for (const auto& t : {now, before, after}) {
      for (const auto& file : t) names[file.first] = true;
    }
    for (const auto& n : names) {
      const std::string& name = n.first;
      if (name == "upkeep.journal" || EndsWith(name, ".~up")) {
        continue;
      }
      auto state = [&](const Tree& t) { return t.count(name) ? &t.at(name) : nullptr; };
      const std::vector<uint8_t>*is = state(now), *was = state(before), *will = state(after);
      const bool old_self = is == nullptr ? was == nullptr : was != nullptr && *is == *was;
      const bool new_self = is == nullptr ? will == nullptr : will != nullptr && *is == *will;
      EXPECT_TRUE(old_self || new_self) << what << ": " << name;
    }
    EXPECT_NE(now.count("old.txt"), now.count("renamed.txt")) << what;
  }

  void ExpectComplete(const UpdateFixture& f, const std::string& what) const {
    Tree now = Files(f);
    now.erase("upkeep.journal");  // one a failed deletion left: the next run removes it
    EXPECT_TRUE(now == New()) << what;
    EXPECT_TRUE(f.Exists("sub")) << what;
    EXPECT_FALSE(f.Exists("olddir")) << what;
  }
};

// The Nth write, flush (of a file or a folder), move or deletion fails, for
// every N the update reaches. Whatever fails, no file is ever damaged, a
// success is a whole update, running the same update again on a sound disk
// finishes it, and no run orders its steps so that a power cut could undo
// what a record on the disk says is done.
TEST(EngineFaultTest, EveryFailingStepLeavesAnUpdateTheNextRunFinishes) {
  using Op = test::FaultyFileSystem::Op;
  MixedUpdate u;
  int runs = 0;
  for (Op kind : {Op::kWrite, Op::kFlush, Op::kMove, Op::kDelete, Op::kAny}) {
    for (int n = 1;; ++n) {
      UpdateFixture f;
      u.Prepare(&f);
      int32_t code;
      std::string failed;
      std::vector<std::string> misordered;
      {
        test::FaultyFileSystem fs;
        fs.failKind = kind;
        fs.failNth = n;
        code = u.Run(&f);
        failed = fs.failedPath;
        misordered = fs.orderFaults;
      }
      EXPECT_TRUE(misordered.empty()) << misordered.front();
      if (failed.empty()) break;  // past the last such step
      ++runs;
      const std::string what = "step " + std::to_string(static_cast<int>(kind)) + " #" +
                               std::to_string(n) + " on " + failed + ", code " +
                               std::to_string(code);
      u.ExpectOldOrNew(f, what);
      // The script goes past a deletion or a rename that fails, with its
      // error line; any other fault in new content or in the journal stops it.
      const bool passedOver = f.log().find("ERROR: couldn't remove") != std::string::npos ||
                              f.log().find("Couldn't rename") != std::string::npos;
      if ((EndsWith(failed, ".~up") || EndsWith(failed, "upkeep.journal") || IsDirectory(failed)) &&
          kind != Op::kDelete && kind != Op::kAny) {
        EXPECT_NE(code, kRunSucceeded) << what;
      }
      if (code == kRunSucceeded && !passedOver) u.ExpectComplete(f, what);
      if (code == kRunSucceeded && !f.Exists("upkeep.journal")) continue;
      {
        test::FaultyFileSystem checked;
        EXPECT_EQ(u.Run(&f), kRunSucceeded) << what << "\n" << f.log();
        EXPECT_TRUE(checked.orderFaults.empty()) << what << ": " << checked.orderFaults.front();
      }
      u.ExpectComplete(f, what + ", run again");
      EXPECT_FALSE(f.Exists("upkeep.journal")) << what;
    }
  }
  EXPECT_GT(runs, 40);
}

}  // namespace
}  // namespace upkeep
