// The whole progress trail and log of one section that uses every file
// command once: each report's overall and step figures, file name and text,
// in order, with nothing missing and nothing extra.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/command_context.h"
#include "package/package.h"
#include "engine_test_util.h"

namespace upkeep {
namespace {

using test::CrcText;
using test::ProgressEvent;
using test::ProgressRecorder;
using test::UpdateFixture;

std::vector<uint8_t> Bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::string Describe(const ProgressEvent& e) {
  return std::to_string(e.overall) + " " + std::to_string(e.step) + " [" + e.file + "] " + e.text;
}

TEST(ConformanceEngineTest, EveryCommandReportsExactlyItsSteps) {
  UpdateFixture f;
  test::TempDir source;
  ASSERT_TRUE(test::WriteFileText(source.Join("a.dat"), "abc"));
  ASSERT_TRUE(test::WriteFileText(source.Join("r.dat"), "rrr"));
  f.WriteText("r.dat", "xx");
  f.WriteText("p.dat", "ppp");
  std::filesystem::create_directories(source.Join("d"));
  f.AddPayload("00000001.FILE", Bytes("ccc"));
  // Copy the three old bytes, insert one.
  f.AddDecodedDelta("00000002.DELTA", {0x03, 0x00, 0x00, 0x80, 0, 0, 0, 0, 0x01, 0, 0, 0, 'q'});
  std::string script =
      "all() {\r\n"
      " FreeSpace(0)\r\n"
      " CheckFile(\"a.dat\", \"" +
      CrcText(Bytes("abc")) +
      "\")\r\n"
      " CheckDir(\"d\")\r\n"
      " IsOKFile(\"r.dat\", \"" +
      CrcText(Bytes("rrr")) +
      "\")\r\n"
      " IsOKDir(\"n\")\r\n"
      " CreateDir(\"m\")\r\n"
      " CreateFile(\"c.dat\", \"00000001.FILE\", \"" +
      CrcText(Bytes("ccc")) +
      "\")\r\n"
      " PatchFile(\"p.dat\", \"00000002.DELTA\", \"0\", \"" +
      CrcText(Bytes("pppq")) +
      "\")\r\n"
      " DeleteFile(\"c.dat\", \"0\")\r\n"
      " DeleteDir(\"m\")\r\n"
      " RenameFile(\"r.dat\", \"r2.dat\")\r\n"
      "}\r\n";
  ProgressRecorder rec;
  test::RunOptions o;
  o.progress = ProgressRecorder::callback();
  ASSERT_EQ(f.RunWithSource(script, source.path(), o), kRunSucceeded);

  const std::string G = f.game() + "\\", S = source.path() + "\\";
  auto t = [](const char* key) { return ExpandedText(key); };
  const std::string space = t("&IDS_PROGRESS_CHECKING_DISK_SPACE&");
  const std::string vsf = t("&IDS_PROGRESS_VERYFING_SOURCE_FILE&");
  const std::string vsd = t("&IDS_PROGRESS_VERYFING_SOURCE_DIR&");
  const std::string vdf = t("&IDS_PROGRESS_VERYFING_DEST_FILE&");
  const std::string vdd = t("&IDS_PROGRESS_VERYFING_DEST_DIR&");
  const std::string copying = t("&IDS_PROGRESS_COPYING_FILE&");
  const std::string cdir = t("&IDS_PROGRESS_CREATING_DIR&");
  const std::string cfile = t("&IDS_PROGRESS_CREATING_FILE&");
  const std::string vcf = t("&IDS_PROGRESS_VERYFING_CREATED_FILE&");
  const std::string lu = t("&IDS_PROGRESS_LOADING_UPDATE&");
  const std::string lsf = t("&IDS_PROGRESS_LOADING_SOURCE_FILE&");
  const std::string rfile = t("&IDS_PROGRESS_REMOVING_FILE&");
  const std::string rdir = t("&IDS_PROGRESS_REMOVING_DIR&");
  const std::string renaming = t("&IDS_PROGRESS_RENAMING_FILE&");
  const std::string writing =
      ExpandedTextOr("&IDS_PROGRESS_UPDATING_FILE&", "&IDS_PROGRESS_UPDATING_DATA&");
  // Eleven calls: the i-th sees floor(i * 100 / 11); the dispatcher's own
  // reports keep the bar where the run is.
  const std::vector<ProgressEvent> expected = {
      {0, 0, "", space},
      {0, 100, "", space},
      {18, 0, S + "a.dat", vsf},
      {18, 0, S + "a.dat", vsf},
      {18, 33, S + "a.dat", vsf},
      {18, 66, S + "a.dat", vsf},
      {18, 100, S + "a.dat", vsf},
      {27, 0, S + "d", vsd},
      {27, 100, S + "d", vsd},
      {36, 0, G + "r.dat", vdf},
      {36, 0, G + "r.dat", vdf},
      {36, 50, G + "r.dat", vdf},
      {36, 0, S + "r.dat", copying},
      {36, 100, S + "r.dat", copying},
      {36, 100, G + "r.dat", vdf},
      {45, 0, G + "n", vdd},
      {45, 100, G + "n", vdd},
      {54, 0, G + "m", cdir},
      {54, 100, G + "m", cdir},
      {63, 0, G + "c.dat", cfile},
      {63, 100, G + "c.dat", cfile},
      {63, 0, G + "c.dat", vcf},
      {63, 0, G + "c.dat", cfile},
      {63, 33, G + "c.dat", cfile},
      {63, 66, G + "c.dat", cfile},
      {63, 100, G + "c.dat", vcf},
      {72, 0, "", lu},
      {72, 100, "", lu},
      {72, 0, G + "p.dat", lsf},
      {72, 100, G + "p.dat", lsf},
      {72, 0, G + "p.dat", writing},
      {72, 75, G + "p.dat", writing},
      {72, 100, G + "p.dat", writing},
      {72, 0, G + "p.dat", vdf},
      {72, 0, G + "p.dat", vdf},
      {72, 25, G + "p.dat", vdf},
      {72, 50, G + "p.dat", vdf},
      {72, 75, G + "p.dat", vdf},
      {72, 100, G + "p.dat", vdf},
      {81, 0, G + "c.dat", rfile},
      {81, 100, G + "c.dat", rfile},
      {90, 0, G + "m", rdir},
      {90, 100, G + "m", rdir},
      {100, 0, "", renaming},
  };
  std::vector<std::string> want, got;
  for (const ProgressEvent& e : expected) want.push_back(Describe(e));
  for (const ProgressEvent& e : rec.events) got.push_back(Describe(e));
  EXPECT_EQ(got, want);
  EXPECT_EQ(f.log(), test::Crlf("Copying file: " + G + "r.dat\nCreated dir: " + G +
                                "n\nCreated dir: " + G + "m\nCreated file: " + G +
                                "c.dat\nUpdated file: " + G + "p.dat\nDeleted file: " + G +
                                "c.dat\nRemoved dir: " + G + "m\nRenamed file: r.dat to r2.dat\n"));
  EXPECT_EQ(f.Read("p.dat"), Bytes("pppq"));
  EXPECT_EQ(f.Read("r2.dat"), Bytes("rrr"));
}

// Every way a run can stop closes what the run opened: its own log (so the
// failure line is on disk) and its mount of the package, and nothing else.
TEST(ConformanceEngineTest, EveryAbortClosesTheOwnLogAndThePackage) {
  struct Case {
    std::string script;
    int32_t code;
  } cases[] = {
      {"", kOperationFailed},
      {"all() { CreateDir(\"x\") FreeSpace(5) }", kNotEnoughSpace},
      {"all() { CheckFile(\"none\", \"00000001\") }", kChecksumBeforeChange},
      {"all() { CheckDir(\"none\") }", kOperationFailed},
      {"all() { IsOKDir(\"no\\\\such\") }", kOperationFailed},
      {"all() { CreateDir(\"no\\\\such\") }", kOperationFailed},
      {"all() { CreateFile(\"c.dat\", \"00000009.FILE\", \"00000000\") }", kOperationFailed},
      {"all() { CreateFile(\"c.dat\", \"00000001.FILE\", \"00000001\") }", kChecksumAfterChange},
      {"all() { PatchFile(\"none\", \"00000002.DELTA\", \"0\", \"00000000\") }", kOperationFailed},
      {"all() { PatchFile(\"p.dat\", \"00000002.DELTA\", \"0\", \"00000001\") }",
       kChecksumAfterChange},
  };
  for (const Case& c : cases) {
    // Whether start-up mounted the package or the run had to: the table ends
    // as it began, and start-up's record (whose entries others may hold) stays.
    for (bool mounted : {false, true}) {
      UpdateFixture f;
      f.WriteText("p.dat", "ppp");
      f.AddPayload("00000001.FILE", Bytes("ccc"));
      f.AddDecodedDelta("00000002.DELTA", {0x01, 0, 0, 0, 'q'});
      test::FaultyFileSystem fs;
      fs.fakeFreeSpace = true;
      fs.freeBytes = 4;
      test::RunOptions own;
      own.withLog = false;
      own.mounted = mounted;
      EXPECT_EQ(f.Run(c.script, own), c.code) << c.script;
      EXPECT_TRUE(f.tableKept()) << c.script << mounted;
      // A log still open would hold its line in its buffer.
      EXPECT_NE(f.log().find("\r\n"), std::string::npos) << c.script;
    }
  }
}

}  // namespace
}  // namespace upkeep
