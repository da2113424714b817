#include "authoring/delta_encoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "package/delta_format.h"
#include "test_util.h"

namespace upkeep {
namespace {

struct Applied {
  bool ok = false;
  std::vector<uint8_t> bytes;
  size_t copies = 0;
  size_t inserts = 0;
  size_t copied_bytes = 0;
};

// A strict applier: any record that runs past the delta or the old data fails.
Applied Apply(const std::vector<uint8_t>& old_data, const std::vector<uint8_t>& delta) {
  Applied a;
  DeltaReader reader(delta.data(), delta.size());
  DeltaRecord r;
  DeltaReader::Step step;
  while ((step = reader.Next(&r)) == DeltaReader::kRecord) {
    if (!DeltaRecordFitsSource(r, old_data.size())) return a;
    const uint8_t* from = r.isCopy ? old_data.data() + r.sourceOffset : r.data;
    a.bytes.insert(a.bytes.end(), from, from + r.length);
    if (r.isCopy) {
      ++a.copies;
      a.copied_bytes += r.length;
    } else {
      ++a.inserts;
    }
  }
  a.ok = step == DeltaReader::kEnd;
  return a;
}

Applied RoundTrip(const std::vector<uint8_t>& old_data, const std::vector<uint8_t>& new_data,
                  int level = 9) {
  DeltaOptions options;
  options.level = level;
  std::vector<uint8_t> delta =
      EncodeDelta(old_data.data(), old_data.size(), new_data.data(), new_data.size(), options);
  Applied r = Apply(old_data, delta);
  EXPECT_TRUE(r.ok) << "delta does not parse";
  EXPECT_TRUE(r.bytes == new_data)
      << "round trip differs: old " << old_data.size() << " new " << new_data.size();
  return r;
}

std::vector<uint8_t> Bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

TEST(AuthoringDeltaEncoderTest, EmptyAndTinyInputs) {
  std::vector<uint8_t> none;
  std::vector<uint8_t> some = Bytes("abcdefghijklmnopqrstuvwxyz");
  DeltaOptions options;
  EXPECT_TRUE(EncodeDelta(none.data(), 0, none.data(), 0, options).empty());
  Applied r = RoundTrip(some, none);
  EXPECT_EQ(r.copies + r.inserts, 0u);
  r = RoundTrip(none, some);
  EXPECT_EQ(r.copies, 0u);
  RoundTrip(Bytes("a"), Bytes("a"));
  RoundTrip(Bytes("abc"), Bytes("abcd"));
  RoundTrip(Bytes("0123456"), Bytes("01234567"));  // shorter than a seed on both sides
  for (size_t n = 0; n < 40; ++n) {
    std::vector<uint8_t> a = test::RandomBytes(n, static_cast<uint32_t>(n));
    std::vector<uint8_t> b = test::RandomBytes(n + 3, static_cast<uint32_t>(n * 7 + 1));
    RoundTrip(a, b);
    RoundTrip(a, a);
  }
}

TEST(AuthoringDeltaEncoderTest, IdenticalFileIsOneCopy) {
  std::vector<uint8_t> data = test::RandomBytes(200000, 5);
  Applied r = RoundTrip(data, data);
  EXPECT_EQ(r.copies, 1u);
  EXPECT_EQ(r.inserts, 0u);
}

TEST(AuthoringDeltaEncoderTest, UnrelatedFilesAreInsertedWhole) {
  std::vector<uint8_t> a = test::RandomBytes(50000, 1);
  std::vector<uint8_t> b = test::RandomBytes(60000, 2);
  Applied r = RoundTrip(a, b);
  EXPECT_EQ(r.copies, 0u);
}

TEST(AuthoringDeltaEncoderTest, FindsMovedAndRepeatedBlocksAnywhere) {
  // New = blocks of old in shuffled order, some twice, with fresh bytes between.
  std::vector<uint8_t> old_data = test::RandomBytes(1 << 20, 11);
  std::mt19937 rng(3);
  std::vector<uint8_t> new_data;
  size_t fresh = 0;
  for (int i = 0; i < 60; ++i) {
    size_t len = 1000 + rng() % 30000;
    size_t from = rng() % (old_data.size() - len);
    new_data.insert(new_data.end(), old_data.begin() + from, old_data.begin() + from + len);
    std::vector<uint8_t> noise = test::RandomBytes(rng() % 50, static_cast<uint32_t>(rng()));
    fresh += noise.size();
    new_data.insert(new_data.end(), noise.begin(), noise.end());
  }
  Applied r = RoundTrip(old_data, new_data);
  // Nearly everything comes from the old file; only the fresh bytes (and a few
  // accidental matches next to them) are inserted.
  EXPECT_GE(r.copied_bytes + fresh + 16 * 60, new_data.size());
  EXPECT_LE(r.copies, 130u);
}

TEST(AuthoringDeltaEncoderTest, ScatteredEditsKeepLongCopies) {
  std::vector<uint8_t> old_data = test::RandomBytes(300000, 21);
  std::vector<uint8_t> new_data = old_data;
  std::mt19937 rng(9);
  for (int i = 0; i < 100; ++i) new_data[rng() % new_data.size()] ^= 0x5A;
  // An insertion and a deletion shift everything after them.
  std::vector<uint8_t> ins = test::RandomBytes(777, 4);
  new_data.insert(new_data.begin() + 100000, ins.begin(), ins.end());
  new_data.erase(new_data.begin() + 200000, new_data.begin() + 203000);
  Applied r = RoundTrip(old_data, new_data);
  EXPECT_GE(r.copied_bytes, new_data.size() - 777 - 100 * 16);
  EXPECT_LE(r.copies, 110u);
}

TEST(AuthoringDeltaEncoderTest, RepetitiveDataStaysCorrectAndCompact) {
  // Long runs and short periods: many equal seeds, matches overlapping runs.
  std::vector<uint8_t> old_data(400000, 0);
  for (size_t i = 100000; i < 200000; ++i) old_data[i] = static_cast<uint8_t>(i % 3);
  for (size_t i = 300000; i < 310000; ++i) old_data[i] = 0xFF;
  std::vector<uint8_t> new_data(old_data.begin() + 50000, old_data.end());
  new_data.insert(new_data.end(), 123456, 0);
  new_data.insert(new_data.end(), old_data.begin() + 99990, old_data.begin() + 150001);
  Applied r = RoundTrip(old_data, new_data);
  EXPECT_LE(r.copies + r.inserts, 12u);
}

TEST(AuthoringDeltaEncoderTest, RandomPairsAtEveryLevel) {
  std::mt19937 rng(77);
  for (int round = 0; round < 40; ++round) {
    size_t n = rng() % 20000;
    std::vector<uint8_t> old_data = test::RandomBytes(n, static_cast<uint32_t>(rng()));
    // Low-entropy bytes half of the time, so seeds repeat.
    if (round % 2) {
      for (auto& b : old_data) b &= 3;
    }
    std::vector<uint8_t> new_data;
    while (new_data.size() < n + 500) {
      int what = rng() % 3;
      size_t len = rng() % 700;
      if (what < 2 && n > 0) {
        size_t from = rng() % n;
        len = std::min(len, n - from);
        new_data.insert(new_data.end(), old_data.begin() + from, old_data.begin() + from + len);
      } else {
        for (size_t i = 0; i < len; ++i) new_data.push_back(static_cast<uint8_t>(rng() & 7));
      }
    }
    RoundTrip(old_data, new_data, 1 + round % 9);
  }
}

TEST(AuthoringDeltaEncoderTest, SparseIndexOfLargeOldFileStillFindsBlocks) {
  // A low level indexes only every few positions of a big old file; matches
  // at any alignment must still be found and extended to their full length.
  std::vector<uint8_t> old_data = test::RandomBytes(5 << 20, 31);
  std::vector<uint8_t> new_data;
  for (size_t from : {size_t{7}, size_t{3000001}, size_t{5000003}, size_t{3}}) {
    new_data.insert(new_data.end(), old_data.begin() + from, old_data.begin() + from + 4099);
  }
  Applied r = RoundTrip(old_data, new_data, 1);
  EXPECT_EQ(r.copied_bytes, new_data.size());
  EXPECT_EQ(r.copies, 4u);
}

}  // namespace
}  // namespace upkeep
