#include <gtest/gtest.h>

#include "authoring/delta_encoder.h"
#include "engine/delta.h"
#include "engine/mapped_file.h"
#include "engine_test_util.h"
#include "test_util.h"

namespace upkeep {
namespace {

using test::ProgressRecorder;

// The documented 38-byte example: copy 256 @0, insert 99 1E A7, copy 37857
// @259, insert the same, copy 19225 @38119.
const std::vector<uint8_t> kExampleDelta = {
    0x00, 0x01, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x99,
    0x1E, 0xA7, 0xE1, 0x93, 0x00, 0x80, 0x03, 0x01, 0x00, 0x00, 0x03, 0x00, 0x00,
    0x00, 0x99, 0x1E, 0xA7, 0x19, 0x4B, 0x00, 0x80, 0xE7, 0x94, 0x00, 0x00};

Delta Parsed(const std::vector<uint8_t>& bytes) {
  Delta d;
  d.payload.reset(new Payload);
  d.payload->data = bytes;
  EXPECT_TRUE(
      ParseDelta(d.payload->data.data(), d.payload->data.size(), &d.records, &d.outputSize));
  return d;
}

MappedFile InMemory(const std::vector<uint8_t>& bytes) {
  MappedFile m;
  m.view = bytes.empty() ? nullptr : bytes.data();
  m.size = static_cast<uint32_t>(bytes.size());
  return m;
}

TEST(EngineDeltaTest, ExampleDeltaSplitsIntoItsFiveRecords) {
  Delta d = Parsed(kExampleDelta);
  ASSERT_EQ(d.records.size(), 5u);
  EXPECT_TRUE(d.records[0].isCopy);
  EXPECT_EQ(d.records[0].length, 256u);
  EXPECT_EQ(d.records[0].sourceOffset, 0u);
  EXPECT_FALSE(d.records[1].isCopy);
  EXPECT_EQ(d.records[1].length, 3u);
  EXPECT_EQ(d.records[1].data[0], 0x99);
  EXPECT_EQ(d.records[2].length, 37857u);
  EXPECT_EQ(d.records[2].sourceOffset, 259u);
  EXPECT_EQ(d.records[4].length, 19225u);
  EXPECT_EQ(d.records[4].sourceOffset, 38119u);
  EXPECT_EQ(d.outputSize, 57344u);
  EXPECT_TRUE(DeltaFitsSource(d, 57344));
  EXPECT_FALSE(DeltaFitsSource(d, 57343));
}

TEST(EngineDeltaTest, RecordsCutShortAreRefused) {
  std::vector<DeltaRecord> records;
  uint64_t size = 0;
  for (size_t cut = 1; cut < kExampleDelta.size(); ++cut) {
    bool on_boundary = cut == 8 || cut == 15 || cut == 23 || cut == 30;
    EXPECT_EQ(ParseDelta(kExampleDelta.data(), cut, &records, &size), on_boundary) << cut;
    EXPECT_EQ(IsWellFormedDelta(kExampleDelta.data(), cut), on_boundary) << cut;
  }
  // An insert that claims more bytes than remain.
  std::vector<uint8_t> big_insert = {0xFF, 0xFF, 0xFF, 0x7F, 1, 2};
  EXPECT_FALSE(ParseDelta(big_insert.data(), big_insert.size(), &records, &size));
  EXPECT_FALSE(IsWellFormedDelta(big_insert.data(), big_insert.size()));
  EXPECT_TRUE(ParseDelta(nullptr, 0, &records, &size));
  EXPECT_TRUE(records.empty());
}

TEST(EngineDeltaTest, CopyRangesMustLieInsideTheOldFile) {
  // Offset + length wrapping 32 bits must not pass as small.
  Delta d = Parsed({0x10, 0x00, 0x00, 0x80, 0xF8, 0xFF, 0xFF, 0xFF});
  EXPECT_FALSE(DeltaFitsSource(d, 0xFFFFFFFFu));
  // An empty copy anywhere reads nothing and is fine.
  Delta empty_copy = Parsed({0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x10});
  EXPECT_TRUE(DeltaFitsSource(empty_copy, 0));
  test::TempDir dir;
  std::vector<uint8_t> old(10, 7);
  EXPECT_EQ(ApplyDelta(d, InMemory(old), dir.Join("out"), nullptr, 0, ""), kApplyDoesNotFit);
  std::vector<uint8_t> ignored;
  EXPECT_FALSE(test::ReadFileBytes(dir.Join("out"), &ignored));  // nothing created
}

TEST(EngineDeltaTest, ExampleAppliedToAnOldFileGivesTheNewFile) {
  test::TempDir dir;
  std::vector<uint8_t> old = test::RandomBytes(57344, 1);
  Delta d = Parsed(kExampleDelta);
  ProgressRecorder rec;
  std::string target = dir.Join("new.bin");
  ASSERT_EQ(ApplyDelta(d, InMemory(old), target, ProgressRecorder::callback(), 17, "t"),
            kApplyDone);
  std::vector<uint8_t> out;
  ASSERT_TRUE(test::ReadFileBytes(target, &out));
  ASSERT_EQ(out.size(), 57344u);
  std::vector<uint8_t> want(old.begin(), old.begin() + 256);
  want.insert(want.end(), {0x99, 0x1E, 0xA7});
  want.insert(want.end(), old.begin() + 259, old.begin() + 259 + 37857);
  want.insert(want.end(), {0x99, 0x1E, 0xA7});
  want.insert(want.end(), old.begin() + 38119, old.end());
  EXPECT_EQ(out, want);
  // 0 first, then each change of floor(written * 100 / total) after a record.
  std::vector<int32_t> steps;
  for (const auto& e : rec.events) {
    steps.push_back(e.step);
    EXPECT_EQ(e.overall, 17);
    EXPECT_EQ(e.file, target);
  }
  EXPECT_EQ(steps, (std::vector<int32_t>{0, 66, 100}));
}

TEST(EngineDeltaTest, SimpleShapes) {
  test::TempDir dir;
  std::vector<uint8_t> old = test::RandomBytes(1000, 2);
  std::string target = dir.Join("o");
  std::vector<uint8_t> out;

  Delta copy = Parsed({0x64, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00});  // 100 bytes @0
  ASSERT_EQ(ApplyDelta(copy, InMemory(old), target, nullptr, 0, ""), kApplyDone);
  test::ReadFileBytes(target, &out);
  EXPECT_EQ(out, std::vector<uint8_t>(old.begin(), old.begin() + 100));

  Delta insert = Parsed({0x02, 0x00, 0x00, 0x00, 'h', 'i', 0x00, 0x00, 0x00, 0x00});
  ASSERT_EQ(ApplyDelta(insert, InMemory({}), target, nullptr, 0, ""), kApplyDone);
  test::ReadFileBytes(target, &out);
  EXPECT_EQ(out, (std::vector<uint8_t>{'h', 'i'}));

  Delta none = Parsed({});
  ProgressRecorder rec;
  ASSERT_EQ(ApplyDelta(none, InMemory(old), target, ProgressRecorder::callback(), 0, ""),
            kApplyDone);
  test::ReadFileBytes(target, &out);
  EXPECT_TRUE(out.empty());
  ASSERT_EQ(rec.events.size(), 1u);
  EXPECT_EQ(rec.events[0].step, 0);
}

TEST(EngineDeltaTest, EncodedDeltasRebuildTheNewFile) {
  test::TempDir dir;
  std::vector<uint8_t> old = test::RandomBytes(200000, 4);
  std::vector<uint8_t> now = old;
  now.erase(now.begin() + 5000, now.begin() + 9000);
  now.insert(now.begin() + 150000, old.begin(), old.begin() + 3000);
  for (size_t i = 0; i < now.size(); i += 7919) now[i] ^= 0x5A;
  std::vector<uint8_t> encoded = EncodeDelta(old.data(), old.size(), now.data(), now.size());
  Delta d = Parsed(encoded);
  EXPECT_TRUE(DeltaFitsSource(d, old.size()));
  std::string target = dir.Join("n");
  ASSERT_EQ(ApplyDelta(d, InMemory(old), target, nullptr, 0, ""), kApplyDone);
  std::vector<uint8_t> out;
  test::ReadFileBytes(target, &out);
  EXPECT_EQ(out, now);
}

// Random record streams, mostly near-valid: every one is either refused as a
// whole or applied exactly as a plain reading of the records says.
TEST(EngineDeltaTest, RandomRecordsAreRefusedOrAppliedExactly) {
  test::TempDir dir;
  std::vector<uint8_t> old = test::RandomBytes(3000, 5);
  std::string target = dir.Join("r");
  uint32_t state = 99;
  auto next = [&state]() { return state = state * 1103515245u + 12345u; };
  for (int round = 0; round < 400; ++round) {
    std::vector<uint8_t> bytes;
    auto put = [&bytes](uint32_t v) {
      for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    int records = static_cast<int>(next() % 6);
    for (int r = 0; r < records; ++r) {
      uint32_t kind = next() % 8;
      if (kind < 4) {
        put(0x80000000u | (next() % 1200));
        put(next() % (kind == 0 ? 0xFFFFFFFFu : 3200));
      } else if (kind < 7) {
        uint32_t n = next() % 40;
        put(n);
        for (uint32_t i = 0; i < n; ++i) bytes.push_back(static_cast<uint8_t>(next()));
      } else {
        put(next());
      }
    }
    if (next() % 4 == 0 && !bytes.empty()) bytes.resize(next() % bytes.size());

    // The plain reading: records in order, refused when one is cut short or
    // copies from outside the old bytes.
    std::vector<uint8_t> expect;
    bool valid = true;
    for (size_t pos = 0; pos < bytes.size() && valid;) {
      if (bytes.size() - pos < 4) {
        valid = false;
        break;
      }
      uint32_t h =
          bytes[pos] | bytes[pos + 1] << 8 | bytes[pos + 2] << 16 | uint32_t{bytes[pos + 3]} << 24;
      pos += 4;
      if (h & 0x80000000u) {
        if (bytes.size() - pos < 4) {
          valid = false;
          break;
        }
        uint64_t at = bytes[pos] | bytes[pos + 1] << 8 | bytes[pos + 2] << 16 |
                      uint64_t{bytes[pos + 3]} << 24;
        pos += 4;
        uint64_t n = h & 0x7FFFFFFFu;
        if (n != 0 && at + n > old.size()) {
          valid = false;
          break;
        }
        if (n != 0) expect.insert(expect.end(), old.begin() + at, old.begin() + at + n);
      } else {
        if (bytes.size() - pos < h) {
          valid = false;
          break;
        }
        expect.insert(expect.end(), bytes.begin() + pos, bytes.begin() + pos + h);
        pos += h;
      }
    }

    Delta d;
    bool parsed = ParseDelta(bytes.data(), bytes.size(), &d.records, &d.outputSize);
    int applied = parsed ? ApplyDelta(d, InMemory(old), target, nullptr, 0, "") : -1;
    EXPECT_EQ(parsed && applied == kApplyDone, valid) << "round " << round;
    if (valid && applied == kApplyDone) {
      std::vector<uint8_t> out;
      test::ReadFileBytes(target, &out);
      EXPECT_EQ(out, expect) << "round " << round;
      EXPECT_EQ(d.outputSize, expect.size()) << "round " << round;
    }
  }
}

}  // namespace
}  // namespace upkeep
