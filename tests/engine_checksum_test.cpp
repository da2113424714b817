#include <zlib.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "engine/checksum.h"
#include "engine/mapped_file.h"
#include "engine_test_util.h"
#include "script/command_schema.h"
#include "test_util.h"

namespace upkeep {
namespace {

using test::ProgressRecorder;

// A mapping over memory, so progress can be checked on sizes no test should write.
MappedFile InMemory(const std::vector<uint8_t>& bytes) {
  MappedFile m;
  m.view = bytes.data();
  m.size = static_cast<uint32_t>(bytes.size());
  return m;
}

std::vector<int32_t> Steps(const ProgressRecorder& r) {
  std::vector<int32_t> out;
  for (const auto& e : r.events) out.push_back(e.step);
  return out;
}

// The per-byte rule written out literally, as the reference.
std::vector<int32_t> ReferenceSteps(uint64_t size) {
  std::vector<int32_t> out;
  int64_t last = -1;
  for (uint64_t i = 0; i < size; ++i) {
    int64_t p = static_cast<int64_t>(i * 100 / size);
    if (p != last) {
      out.push_back(static_cast<int32_t>(p));
      last = p;
    }
  }
  return out;
}

// Content checksummed while it is written must check and report exactly as
// the same bytes read back from the file would.
TEST(EngineChecksumTest, CrcAndProgressMatchTheByteRuleForManySizes) {
  std::vector<uint8_t> data = test::RandomBytes(5000, 9);
  for (size_t size : {1u, 2u, 3u, 7u, 99u, 100u, 101u, 199u, 200u, 201u, 333u, 1000u, 4999u}) {
    std::vector<uint8_t> part(data.begin(), data.begin() + size);
    ProgressRecorder rec;
    uint32_t crc = ComputeFileCrc(InMemory(part), "f", ProgressRecorder::callback(), 42, "msg");
    EXPECT_EQ(crc, crc32(0, part.data(), static_cast<uInt>(part.size()))) << size;
    EXPECT_EQ(Steps(rec), ReferenceSteps(size)) << size;
    for (const auto& e : rec.events) {
      EXPECT_EQ(e.overall, 42);
      EXPECT_EQ(e.file, "f");
      EXPECT_EQ(e.text, "msg");
    }
    // In uneven pieces, as writes are accepted.
    uint32_t pieces = 0;
    for (size_t at = 0, n = 1; at < size; at += n, n = n * 3 + 1) {
      pieces = ContinueCrc(pieces, part.data() + at, std::min(n, size - at));
    }
    EXPECT_EQ(pieces, crc) << size;
    ProgressRecorder written;
    ReportCrcProgress(size, "f", ProgressRecorder::callback(), 42, "msg");
    ASSERT_EQ(written.events.size(), rec.events.size()) << size;
    for (size_t i = 0; i < rec.events.size(); ++i) {
      EXPECT_EQ(written.events[i].step, rec.events[i].step) << size;
      EXPECT_EQ(written.events[i].overall, 42);
      EXPECT_EQ(written.events[i].file, "f");
      EXPECT_EQ(written.events[i].text, "msg");
    }
  }
}

TEST(EngineChecksumTest, ThreeBytesReportZeroThirtyThreeSixtySix) {
  std::vector<uint8_t> three = {1, 2, 3};
  ProgressRecorder rec;
  ComputeFileCrc(InMemory(three), "f", ProgressRecorder::callback(), 0, "");
  EXPECT_EQ(Steps(rec), (std::vector<int32_t>{0, 33, 66}));
}

TEST(EngineChecksumTest, FiftyMillionBytesRiseFromZeroToNinetyNine) {
  std::vector<uint8_t> big(50000000, 0xA5);
  ProgressRecorder rec;
  uint32_t crc = ComputeFileCrc(InMemory(big), "f", ProgressRecorder::callback(), 0, "");
  EXPECT_EQ(crc, crc32(0, big.data(), static_cast<uInt>(big.size())));
  std::vector<int32_t> want;
  for (int i = 0; i < 100; ++i) want.push_back(i);
  EXPECT_EQ(Steps(rec), want);
}

TEST(EngineChecksumTest, ChecksumTextReadsLikePercent08X) {
  uint32_t v = 0;
  EXPECT_TRUE(ParseChecksumText("00abcdef", &v));
  EXPECT_EQ(v, 0x00ABCDEFu);
  EXPECT_TRUE(ParseChecksumText("00ABCDEF", &v));
  EXPECT_EQ(v, 0x00ABCDEFu);
  EXPECT_TRUE(ParseChecksumText("1234567890", &v));  // width 8
  EXPECT_EQ(v, 0x12345678u);
  EXPECT_TRUE(ParseChecksumText("12g", &v));  // stops at the first non-digit
  EXPECT_EQ(v, 0x12u);
  EXPECT_FALSE(ParseChecksumText("", &v));
  EXPECT_FALSE(ParseChecksumText("xyz", &v));
  EXPECT_FALSE(ParseChecksumText(" 12", &v));
  EXPECT_FALSE(ParseChecksumText(nullptr, &v));
}

TEST(EngineChecksumTest, FileMatchesChecksumOnDisk) {
  test::TempDir dir;
  std::vector<uint8_t> data = test::RandomBytes(777, 3);
  test::WriteFileBytes(dir.Join("a.bin"), data);
  test::WriteFileBytes(dir.Join("empty.bin"), {});
  std::string crc = test::CrcText(data);
  std::string lower = crc;
  for (char& c : lower) c = static_cast<char>(tolower(c));

  EXPECT_TRUE(FileMatchesChecksum(dir.path().c_str(), "a.bin", crc.c_str(), nullptr, 0, ""));
  EXPECT_TRUE(FileMatchesChecksum(dir.path().c_str(), "a.bin", lower.c_str(), nullptr, 0, ""));
  EXPECT_FALSE(FileMatchesChecksum(dir.path().c_str(), "a.bin", "00000000", nullptr, 0, ""));
  // A trailing '\' on the base is not doubled.
  std::string slashed = dir.path() + "\\";
  EXPECT_TRUE(FileMatchesChecksum(slashed.c_str(), "a.bin", crc.c_str(), nullptr, 0, ""));
  // Missing and empty files both checksum as 00000000 and nothing else.
  EXPECT_TRUE(FileMatchesChecksum(dir.path().c_str(), "none.bin", "00000000", nullptr, 0, ""));
  EXPECT_FALSE(FileMatchesChecksum(dir.path().c_str(), "none.bin", "00000001", nullptr, 0, ""));
  ProgressRecorder rec;
  EXPECT_TRUE(FileMatchesChecksum(dir.path().c_str(), "empty.bin", "00000000",
                                  ProgressRecorder::callback(), 0, ""));
  EXPECT_TRUE(rec.events.empty());
  // An empty base yields just the name.
  std::string full = dir.path() + "\\a.bin";
  EXPECT_TRUE(FileMatchesChecksum("", full.c_str(), crc.c_str(), nullptr, 0, ""));
  // An unparseable text never matches, not even an empty file.
  EXPECT_FALSE(FileMatchesChecksum(dir.path().c_str(), "empty.bin", "zz", nullptr, 0, ""));
}

TEST(EngineChecksumTest, UnreadableFileNeverMatches) {
  // A file that opens but cannot be read to its end is not taken as empty,
  // nor as what its first part checks as.
  test::FaultyFileSystem fs;
  test::TempDir dir;
  const std::vector<uint8_t> bytes = test::RandomBytes(10000, 3);
  test::WriteFileBytes(dir.Join("a.bin"), bytes);
  const std::vector<uint8_t> head(bytes.begin(), bytes.begin() + 4096);
  fs.failReadsOf = "a.bin";
  const std::vector<std::string> texts = {"00000000", test::CrcText(head), test::CrcText(bytes)};
  for (int allowed : {0, 1, 2}) {
    fs.readsAllowed = allowed;
    for (const std::string& expected : texts) {
      EXPECT_FALSE(FileMatchesChecksum(GetFileSystem(), 4096, dir.path().c_str(), "a.bin",
                                       expected.c_str(), nullptr, 0, ""))
          << allowed << " " << expected;
    }
  }
  fs.failReadsOf.clear();
  EXPECT_TRUE(FileMatchesChecksum(GetFileSystem(), 4096, dir.path().c_str(), "a.bin",
                                  test::CrcText(bytes).c_str(), nullptr, 0, ""));
}

TEST(EngineChecksumTest, OverlongPathNeverMatches) {
  std::string name(300, 'a');
  EXPECT_FALSE(FileMatchesChecksum("C:\\x", name.c_str(), "00000000", nullptr, 0, ""));
}

}  // namespace
}  // namespace upkeep
