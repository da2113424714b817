#include <gtest/gtest.h>

#include "engine/command_context.h"
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

TEST(EngineFaultTest, FailingWritesNeverEndInSuccess) {
  Scenario s;
  for (const char* file : {"c.dat", "p.dat", "r.dat"}) {
    for (int64_t budget : {0, 1, 4096, 102400, 102401, 149999, 219999}) {
      std::string what = std::string(file) + " after " + std::to_string(budget);
      UpdateFixture f;
      s.Prepare(&f);
      test::FaultyFileSystem fs;
      fs.failWritesTo = file;
      fs.writeBudget = budget;
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

}  // namespace
}  // namespace upkeep
