// Decoding the archive's own entry packing.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "authoring/packed_entry_encoder.h"
#include "package/package.h"
#include "test_util.h"

namespace upkeep {
namespace {

// Decodes into a buffer of exactly dest_size bytes (so a sanitizer sees any
// write past it) from a copy of exactly the stored bytes.
bool Decode(const std::vector<uint8_t>& stored, size_t dest_size, std::vector<uint8_t>* out) {
  std::unique_ptr<uint8_t[]> in(new uint8_t[stored.size() + 1]);
  if (!stored.empty()) memcpy(in.get(), stored.data(), stored.size());
  std::unique_ptr<uint8_t[]> dest(new uint8_t[dest_size + 1]);
  bool ok = DecodePackedEntry(in.get(), stored.size(), dest.get(), dest_size);
  out->assign(dest.get(), dest.get() + dest_size);
  return ok;
}

std::vector<uint8_t> Header(uint32_t coded, uint32_t unpacked) {
  std::vector<uint8_t> h;
  for (uint32_t v : {coded, unpacked}) {
    for (int i = 0; i < 4; ++i) h.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  return h;
}

TEST(PackagePackedEntryTest, MatchAtDistanceOneRepeatsTheLastByte) {
  // Flag word 0x4000: a literal, then a match of length 2 at distance 1.
  std::vector<uint8_t> stored = Header(4, 3);
  for (uint8_t b : {0x00, 0x40, 0x41, 0xFF}) stored.push_back(b);
  std::vector<uint8_t> out;
  ASSERT_TRUE(Decode(stored, 3, &out));
  EXPECT_EQ(out, std::vector<uint8_t>(3, 0x41));
}

TEST(PackagePackedEntryTest, SixteenthFlagRefillsBeforeItsData) {
  std::vector<uint8_t> data;
  for (int i = 0; i < 16; ++i) data.push_back(static_cast<uint8_t>('a' + i));
  std::vector<uint8_t> stored = Header(20, 16);
  stored.push_back(0);
  stored.push_back(0);
  stored.insert(stored.end(), data.begin(), data.begin() + 15);
  stored.push_back(0);
  stored.push_back(0);
  stored.push_back(data[15]);
  std::vector<uint8_t> out;
  ASSERT_TRUE(Decode(stored, 16, &out));
  EXPECT_EQ(out, data);
  // With the second flag word after the 16th byte, that byte is read as flags.
  std::vector<uint8_t> late(stored.begin(), stored.end() - 3);
  late.push_back(data[15]);
  late.push_back(0);
  late.push_back(0);
  EXPECT_FALSE(Decode(late, 16, &out) && out == data);
}

TEST(PackagePackedEntryTest, LastMatchIsCutAtTheDestination) {
  // A literal, then a match of 9 (bits 1,1,1,1) where only 3 bytes are wanted.
  std::vector<uint8_t> stored = Header(4, 3);
  for (uint8_t b : {0x00, 0x78, 0x7A, 0xFF}) stored.push_back(b);
  std::vector<uint8_t> out;
  ASSERT_TRUE(Decode(stored, 3, &out));
  EXPECT_EQ(out, std::vector<uint8_t>(3, 0x7A));
}

TEST(PackagePackedEntryTest, RefusesWhatItCannotDecode) {
  std::vector<uint8_t> out;
  EXPECT_FALSE(Decode({1, 2, 3}, 0, &out));  // no header
  // The header's length must be the destination's.
  std::vector<uint8_t> stored = Header(4, 3);
  for (uint8_t b : {0x00, 0x40, 0x41, 0xFF}) stored.push_back(b);
  EXPECT_FALSE(Decode(stored, 4, &out));
  // A match reaching before the first byte.
  std::vector<uint8_t> early = Header(4, 3);
  for (uint8_t b : {0x00, 0x40, 0x41, 0xFE}) early.push_back(b);
  EXPECT_FALSE(Decode(early, 3, &out));
  std::vector<uint8_t> first_is_match = Header(3, 2);
  for (uint8_t b : {0x00, 0x80, 0xFF}) first_is_match.push_back(b);
  EXPECT_FALSE(Decode(first_is_match, 2, &out));
  // Every proper prefix of a real stream ends early.
  std::vector<uint8_t> data = test::RandomBytes(300, 3);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(data[i] % 5);
  std::vector<uint8_t> full;
  ASSERT_TRUE(EncodePackedEntry(data.data(), data.size(), &full));
  for (size_t cut = 0; cut + 2 < full.size(); ++cut) {
    std::vector<uint8_t> part(full.begin(), full.begin() + static_cast<long>(cut));
    EXPECT_FALSE(Decode(part, data.size(), &out)) << cut;
  }
  // An empty entry needs nothing past its header.
  EXPECT_TRUE(Decode(Header(0, 0), 0, &out));
}

TEST(PackagePackedEntryTest, RandomStreamsNeverOverrun) {
  // Arbitrary coded bytes: decoding may fail but stays inside both buffers.
  std::mt19937 rng(99);
  for (int round = 0; round < 500; ++round) {
    size_t dest_size = rng() % 300;
    std::vector<uint8_t> stored = Header(0, static_cast<uint32_t>(dest_size));
    std::vector<uint8_t> coded = test::RandomBytes(rng() % 200, static_cast<uint32_t>(round));
    stored.insert(stored.end(), coded.begin(), coded.end());
    std::vector<uint8_t> out;
    Decode(stored, dest_size, &out);
  }
}

TEST(PackagePackedEntryTest, RoundTrips) {
  std::vector<std::vector<uint8_t>> inputs;
  inputs.push_back({});
  inputs.push_back({42});
  inputs.push_back(std::vector<uint8_t>(10000, 0));
  inputs.push_back(test::RandomBytes(5000, 1));
  std::string text;
  for (int i = 0; i < 400; ++i)
    text += "CheckFile \"data\\file" + std::to_string(i % 37) + ".dat\"\r\n";
  inputs.emplace_back(text.begin(), text.end());
  // Repeats exactly at the window's far edge (distance 256) and just beyond it.
  for (size_t period : {255, 256, 257}) {
    std::vector<uint8_t> block = test::RandomBytes(period, static_cast<uint32_t>(period));
    std::vector<uint8_t> v;
    for (int i = 0; i < 8; ++i) v.insert(v.end(), block.begin(), block.end());
    inputs.push_back(v);
  }
  std::mt19937 rng(5);
  for (int i = 0; i < 40; ++i) {
    std::vector<uint8_t> v(rng() % 3000);
    for (auto& b : v) b = static_cast<uint8_t>(rng() % (1 + i % 6));  // small alphabets
    inputs.push_back(v);
  }
  for (const auto& data : inputs) {
    std::vector<uint8_t> stored;
    ASSERT_TRUE(EncodePackedEntry(data.data(), data.size(), &stored));
    std::vector<uint8_t> out;
    ASSERT_TRUE(Decode(stored, data.size(), &out)) << data.size();
    EXPECT_EQ(out, data);
  }
}

}  // namespace
}  // namespace upkeep
