// The package-aware file layer: lookups, the disk fallback, and seek, tell and
// read on entries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "package/package.h"
#include "package_test_util.h"
#include "test_util.h"

namespace upkeep {
namespace {

using test::Bytes;
using test::Entry;
using test::PackageTableGuard;
using test::TempDir;
using test::TrackingFileSystem;

std::string Normalized(const std::string& in) {
  std::string s = in;
  NormalizePackagePath(&s);
  return s;
}

TEST(PackagePathTest, NormalizationResolvesParentSegmentsOnly) {
  EXPECT_EQ(Normalized("data/../Patch.Scr"), "PATCH.SCR");
  EXPECT_EQ(Normalized("A\\B\\..\\C"), "A\\C");
  EXPECT_EQ(Normalized("X\\..\\C"), "C");
  EXPECT_EQ(Normalized("\\A\\..\\C"), "C");
  EXPECT_EQ(Normalized("a/b/c/../../d"), "A\\D");
  EXPECT_EQ(Normalized("..\\..\\x"), "X");
  // "." segments, a trailing ".." and doubled separators stay.
  EXPECT_EQ(Normalized("./a//b/.."), ".\\A\\\\B\\..");
  std::string resolved = "Data/Sub/../Patch.Log";
  ResolvePackagePath(&resolved);
  EXPECT_EQ(resolved, "Data\\Patch.Log");
}

class PackageFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = test::WriteTestPackage(
        dir_, "Game Update.exe",
        {Entry("PATCH.SCR", "Version 1"), Entry("fifty.bin", test::RandomBytes(50, 5)),
         Entry("Sub/Text.txt", "one\r\ntwo\r\n"),
         Entry("packed.bin", std::vector<uint8_t>(500, 'p'), true)});
    ASSERT_FALSE(path_.empty());
    ASSERT_NE(OpenPackage(path_.c_str()), nullptr);
  }

  PackageTableGuard guard_;
  TempDir dir_;
  std::string path_;
};

TEST_F(PackageFileTest, LookupIgnoresCaseAndSeparators) {
  for (const char* name : {"data/../Patch.Scr", "patch.scr", "x\\..\\PATCH.SCR"}) {
    PackageFile* f = OpenPackageFile(name, "rb");
    ASSERT_NE(f, nullptr) << name;
    EXPECT_EQ(f->tag, kPackageEntryTag);
    EXPECT_EQ(static_cast<PackageEntry*>(f)->name, "PATCH.SCR");
    EXPECT_EQ(ClosePackageFile(f), 0);
  }
  PackageFile* f = OpenPackageFile("sub/text.TXT", "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->tag, kPackageEntryTag);
  EXPECT_EQ(OpenPackageFile(std::string(1024, 'a').c_str(), "rb"), nullptr);
  EXPECT_EQ(OpenPackageFile("no such entry", "rb"), nullptr);
}

TEST_F(PackageFileTest, ReopeningGivesTheSameHandleAtPositionZero) {
  PackageFile* a = OpenPackageFile("fifty.bin", "rb");
  ASSERT_NE(a, nullptr);
  uint8_t buf[20];
  EXPECT_EQ(ReadPackageFile(buf, 1, 20, a), 20u);
  EXPECT_EQ(TellPackageFile(a), 20);
  PackageFile* b = OpenPackageFile("FIFTY.BIN", "rb");
  EXPECT_EQ(a, b);
  EXPECT_EQ(TellPackageFile(a), 0);
  // Closing an entry releases nothing: the handle stays usable.
  EXPECT_EQ(ClosePackageFile(a), 0);
  EXPECT_EQ(ReadPackageFile(buf, 1, 20, b), 20u);
}

TEST_F(PackageFileTest, SeekTellAndReadClampToTheEntry) {
  const std::vector<uint8_t> expected = test::RandomBytes(50, 5);
  PackageFile* f = OpenPackageFile("fifty.bin", "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(SeekPackageFile(f, 100, 0), 0);
  EXPECT_EQ(TellPackageFile(f), 50);
  EXPECT_EQ(SeekPackageFile(f, 5, 0), 0);
  EXPECT_EQ(SeekPackageFile(f, -10, 1), 0);
  EXPECT_EQ(TellPackageFile(f), 0);
  EXPECT_EQ(SeekPackageFile(f, 0, 2), 0);
  EXPECT_EQ(TellPackageFile(f), 50);
  // From the end with an offset: size + offset, clamped.
  EXPECT_EQ(SeekPackageFile(f, -8, 2), 0);
  EXPECT_EQ(TellPackageFile(f), 42);
  EXPECT_EQ(SeekPackageFile(f, 8, 2), 0);
  EXPECT_EQ(TellPackageFile(f), 50);
  EXPECT_EQ(SeekPackageFile(f, -80, 2), 0);
  EXPECT_EQ(TellPackageFile(f), 0);
  EXPECT_EQ(SeekPackageFile(f, 7, 0), 0);
  EXPECT_EQ(SeekPackageFile(f, 30, 9), 0);  // an unknown origin moves nothing
  EXPECT_EQ(TellPackageFile(f), 7);

  // 30 bytes left: 10 elements of 4 bytes give 7 whole ones and the end.
  uint8_t buf[64];
  memset(buf, 0xEE, sizeof buf);
  EXPECT_EQ(SeekPackageFile(f, 20, 0), 0);
  EXPECT_EQ(ReadPackageFile(buf, 4, 10, f), 7u);
  EXPECT_EQ(TellPackageFile(f), 50);
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 30),
            std::vector<uint8_t>(expected.begin() + 20, expected.end()));
  EXPECT_EQ(buf[30], 0xEE);  // nothing of the next entry
  EXPECT_EQ(ReadPackageFile(buf, 4, 10, f), 0u);
  EXPECT_EQ(ReadPackageFile(buf, 0, 10, f), 0u);
  // A request whose byte count overflows is just "everything left".
  EXPECT_EQ(SeekPackageFile(f, 48, 0), 0);
  EXPECT_EQ(ReadPackageFile(buf, 1, static_cast<size_t>(-1), f), 2u);
}

TEST_F(PackageFileTest, InterleavedReadsOfTwoEntriesShareOneStream) {
  const std::vector<uint8_t> fifty = test::RandomBytes(50, 5);
  const std::string script = "Version 1";
  PackageFile* a = OpenPackageFile("fifty.bin", "rb");
  PackageFile* b = OpenPackageFile("patch.scr", "rb");
  std::vector<uint8_t> got_a;
  std::string got_b;
  for (int i = 0; i < 60; ++i) {
    uint8_t byte = 0;
    if (ReadPackageFile(&byte, 1, 1, a) == 1) got_a.push_back(byte);
    char c = 0;
    if (ReadPackageFile(&c, 1, 1, b) == 1) got_b.push_back(c);
  }
  EXPECT_EQ(got_a, fifty);
  EXPECT_EQ(got_b, script);
}

TEST_F(PackageFileTest, PackedEntryReadsOnlyWholeFromTheStart) {
  PackageFile* f = OpenPackageFile("packed.bin", "rb");
  ASSERT_NE(f, nullptr);
  std::vector<uint8_t> buf(600, 0);
  EXPECT_EQ(ReadPackageFile(buf.data(), 1, 499, f), 0u);
  EXPECT_EQ(TellPackageFile(f), 0);
  EXPECT_EQ(ReadPackageFile(buf.data(), 1, 500, f), 500u);
  EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 500), std::vector<uint8_t>(500, 'p'));
  EXPECT_EQ(buf[500], 0);
  EXPECT_EQ(TellPackageFile(f), 500);
  EXPECT_EQ(ReadPackageFile(buf.data(), 1, 500, f), 0u);  // not from position 0
  EXPECT_EQ(SeekPackageFile(f, 0, 0), 0);
  EXPECT_EQ(ReadPackageFile(buf.data(), 100, 5, f), 5u);
  // Text mode cannot be served from packed bytes.
  EXPECT_EQ(OpenPackageFile("packed.bin", "rt"), nullptr);
}

TEST_F(PackageFileTest, TextModeTranslatesWithinTheEntry) {
  PackageFile* f = OpenPackageFile("sub/text.txt", "rt");
  ASSERT_NE(f, nullptr);
  SeekPackageFile(f, 0, 2);
  ASSERT_EQ(TellPackageFile(f), 10);
  SeekPackageFile(f, 0, 0);
  char buf[32];
  memset(buf, 0, sizeof buf);
  EXPECT_EQ(ReadPackageFile(buf, 1, 10, f), 8u);
  EXPECT_STREQ(buf, "one\ntwo\n");
  EXPECT_EQ(TellPackageFile(f), 10);
  EXPECT_EQ(ReadPackageFile(buf, 1, 10, f), 0u);
  // Binary again: the raw bytes.
  f = OpenPackageFile("sub/text.txt", "rb");
  memset(buf, 0, sizeof buf);
  EXPECT_EQ(ReadPackageFile(buf, 1, 32, f), 10u);
  EXPECT_STREQ(buf, "one\r\ntwo\r\n");
}

TEST(PackageFileTextTest, TextReadsStopAtTheEntryEndAndAtCtrlZ) {
  PackageTableGuard guard;
  TempDir dir;
  // A CR that ends an entry must not pair with the next entry's LF.
  std::string path = test::WriteTestPackage(dir, "u.exe",
                                            {Entry("A.TXT", "x\r\ny\r"), Entry("B.TXT", "\nrest"),
                                             Entry("Z.TXT",
                                                   "ab\x1A"
                                                   "cd")});
  ASSERT_NE(OpenPackage(path.c_str()), nullptr);
  PackageFile* f = OpenPackageFile("a.txt", "rt");
  ASSERT_NE(f, nullptr);
  char buf[16] = {};
  EXPECT_EQ(ReadPackageFile(buf, 1, sizeof buf, f), 4u);
  EXPECT_EQ(std::string(buf, 4), "x\ny\r");
  EXPECT_EQ(TellPackageFile(f), 5);

  f = OpenPackageFile("z.txt", "rt");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(ReadPackageFile(buf, 1, sizeof buf, f), 2u);
  EXPECT_EQ(std::string(buf, 2), "ab");
  EXPECT_EQ(ReadPackageFile(buf, 1, sizeof buf, f), 0u);
}

TEST(PackageFileTextTest, TextReopenReplacesTheStreamAndUsesTheGivenPath) {
  PackageTableGuard guard;
  TempDir dir;
  std::string path = test::WriteTestPackage(dir, "Mixed Case.Exe", {Entry("NOTES.TXT", "a\r\nb")});
  TrackingFileSystem fs;
  ASSERT_NE(OpenPackage(path.c_str()), nullptr);
  const int base = fs.live;
  for (int i = 0; i < 5; ++i) {
    fs.opened.clear();
    ASSERT_NE(OpenPackageFile("notes.txt", "rt"), nullptr);
    EXPECT_EQ(fs.live, base + 1);
    // Re-opened by the path as given, not its upper-cased table name.
    ASSERT_EQ(fs.opened.size(), 1u);
    EXPECT_EQ(fs.opened[0], path);
  }
  ASSERT_NE(OpenPackageFile("notes.txt", "rb"), nullptr);
  EXPECT_EQ(fs.live, base);
  ASSERT_NE(OpenPackageFile("notes.txt", "rt"), nullptr);
  EXPECT_EQ(ClosePackage(path.c_str()), 0);
  EXPECT_EQ(fs.live, 0);
}

TEST(PackageFileDiskTest, FallsBackToDiskWithTheCallersLetterCase) {
  PackageTableGuard guard;
  TempDir dir;
  std::string pkg = test::WriteTestPackage(dir, "u.exe", {Entry("PATCH.SCR", "x")});
  ASSERT_NE(OpenPackage(pkg.c_str()), nullptr);

  // "wt" creates the file under the name as written, with CR LF line ends.
  std::string log = dir.Join("Logs/../patch.log");
  PackageFile* f = OpenPackageFile(log.c_str(), "wt");
  ASSERT_NE(f, nullptr);
  EXPECT_NE(f->tag, kPackageEntryTag);
  EXPECT_EQ(PrintfPackageFile(f, "Updated file: %s\n", "a.dat"), 20);
  EXPECT_EQ(WritePackageFile("ok\n", 1, 3, f), 3u);
  EXPECT_EQ(ClosePackageFile(f), 0);
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    names.push_back(e.path().filename().string());
  }
  EXPECT_NE(std::find(names.begin(), names.end(), "patch.log"), names.end());
  EXPECT_EQ(std::find(names.begin(), names.end(), "PATCH.LOG"), names.end());
  EXPECT_EQ(test::ReadFileText(dir.Join("patch.log")), "Updated file: a.dat\r\nok\r\n");

  // Reading it back through the layer: seek, tell and read are the stream's.
  f = OpenPackageFile(dir.Join("patch.log").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(SeekPackageFile(f, 0, 2), 0);
  EXPECT_EQ(TellPackageFile(f), 25);
  EXPECT_EQ(SeekPackageFile(f, 14, 0), 0);
  char buf[8] = {};
  EXPECT_EQ(ReadPackageFile(buf, 1, 5, f), 5u);
  EXPECT_EQ(std::string(buf), "a.dat");
  EXPECT_EQ(PrintfPackageFile(f, "x"), -1);  // not open for writing
  EXPECT_EQ(ClosePackageFile(f), 0);

  // With loose files refused, as in the updater, reads find entries only;
  // writes still reach the disk.
  AllowLooseFileReads(false);
  EXPECT_EQ(OpenPackageFile(dir.Join("patch.log").c_str(), "rb"), nullptr);
  EXPECT_EQ(OpenPackageFile(dir.Join("patch.log").c_str(), "rt"), nullptr);
  PackageFile* entry = OpenPackageFile("patch.scr", "rb");
  EXPECT_TRUE(entry != nullptr && entry->tag == kPackageEntryTag);
  f = OpenPackageFile(log.c_str(), "wt");
  const bool written = f != nullptr && PrintfPackageFile(f, "again\n") == 6;
  if (f != nullptr) ClosePackageFile(f);
  AllowLooseFileReads(true);
  EXPECT_TRUE(written);
  EXPECT_EQ(test::ReadFileText(dir.Join("patch.log")), "again\r\n");

  EXPECT_EQ(OpenPackageFile(dir.Join("absent.bin").c_str(), "rb"), nullptr);
  EXPECT_EQ(ClosePackageFile(nullptr), -1);
  EXPECT_EQ(TellPackageFile(nullptr), -1);
  EXPECT_EQ(ReadPackageFile(buf, 1, 1, nullptr), 0u);
}

TEST(PackageFileDiskTest, WritingNeverTargetsAnEntry) {
  PackageTableGuard guard;
  TempDir dir;
  // An entry named like the disk file: reads get the entry, writes the disk.
  std::string out = dir.Join("out.bin");
  std::string pkg = test::WriteTestPackage(dir, "u.exe", {Entry(out, "entry")});
  ASSERT_NE(OpenPackage(pkg.c_str()), nullptr);
  PackageFile* f = OpenPackageFile(out.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  EXPECT_NE(f->tag, kPackageEntryTag);
  EXPECT_EQ(WritePackageFile("disk", 4, 1, f), 1u);
  EXPECT_EQ(ClosePackageFile(f), 0);
  EXPECT_EQ(test::ReadFileText(out), "disk");
  std::vector<uint8_t> data;
  ASSERT_TRUE(test::ReadWhole(out.c_str(), &data));
  EXPECT_EQ(data, Bytes("entry"));
  PackageFile* entry = OpenPackageFile(out.c_str(), "rb");
  EXPECT_EQ(WritePackageFile("x", 1, 1, entry), 0u);
  EXPECT_EQ(PrintfPackageFile(entry, "x"), -1);
}

}  // namespace
}  // namespace upkeep
