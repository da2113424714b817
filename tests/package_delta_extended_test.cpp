#include "package/delta_extended.h"

#include <gtest/gtest.h>

#include <cstring>

#include <algorithm>
#include <random>
#include <string>

#include "authoring/delta_encoder.h"
#include "authoring/payload_writer.h"

namespace upkeep {
namespace {

std::vector<uint8_t> Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// Code-like bytes: a few opcodes and 4-byte addresses that a rebuild shifts.
std::vector<uint8_t> Code(size_t n, uint32_t seed, uint32_t shift) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v;
  while (v.size() < n) {
    v.push_back(static_cast<uint8_t>(0xE8 + rng() % 4));
    const uint32_t addr = (rng() % 4096) * 16 + shift;
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(addr >> (8 * i)));
  }
  v.resize(n);
  return v;
}

// The whole stored payload decoded against `old`, or nullopt-like failure flag.
bool Decode(const std::vector<uint8_t>& stored, const std::vector<uint8_t>& old,
            std::vector<uint8_t>* out, ExtendedDeltaInfo* info) {
  out->clear();
  DeltaSink sink = [&](const uint8_t* p, size_t n) { out->insert(out->end(), p, p + n); };
  ExtendedDeltaInfo check;
  // The checking pass and the writing pass must agree.
  const bool checked =
      DecodeExtendedDelta(stored.data(), stored.size(), nullptr, UINT64_MAX, nullptr, &check);
  const bool ok =
      DecodeExtendedDelta(stored.data(), stored.size(), old.data(), old.size(), sink, info);
  if (ok) {
    EXPECT_TRUE(checked);
    EXPECT_EQ(check.outputSize, info->outputSize);
    EXPECT_EQ(check.oldNeeded, info->oldNeeded);
    EXPECT_LE(info->oldNeeded, old.size());
  }
  return ok;
}

// Whether "UKX2" records hold a copy with adds.
bool HasNonPlainCopy(const std::vector<uint8_t>& records) {
  size_t at = 4;
  const auto varint = [&] {
    uint64_t v = 0;
    for (int shift = 0; at < records.size(); shift += 7) {
      const uint8_t b = records[at++];
      v |= static_cast<uint64_t>(b & 0x7F) << shift;
      if ((b & 0x80) == 0) break;
    }
    return v;
  };
  while (at < records.size()) {
    const uint64_t copy = varint(), insert = varint();
    varint();
    if ((copy & 1) == 0 && copy != 0) return true;
    at += static_cast<size_t>(insert);
  }
  return false;
}

TEST(ExtendedDelta, EncodedPairsRoundTrip) {
  std::vector<uint8_t> probe;
  if (!EncodeExtendedDelta(reinterpret_cast<const uint8_t*>("ab"), 2,
                           reinterpret_cast<const uint8_t*>("ab"), 2, &probe)) {
    GTEST_SKIP() << "no suffix sorting in this build";
  }
  const std::vector<uint8_t> code = Code(200000, 1, 0);
  std::vector<uint8_t> shifted_front = Random(37, 9);
  shifted_front.insert(shifted_front.end(), code.begin(), code.end());
  std::vector<uint8_t> edited = code;
  for (size_t i = 1000; i < edited.size(); i += 5000) edited[i] ^= 0x5A;
  edited.insert(edited.begin() + 50000, 3000, 0x90);
  edited.erase(edited.begin() + 120000, edited.begin() + 130000);
  std::vector<uint8_t> swapped(code.begin() + 100000, code.end());
  swapped.insert(swapped.end(), code.begin(), code.begin() + 100000);
  const std::vector<uint8_t> repeat(70000, 0xAB);
  // A block replaced in place between unchanged ones: it must be inserted
  // (costing about what it costs compressed alone), not written as adds
  // against the old block, which are as noisy as the old code.
  std::vector<uint8_t> block(40000);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>('a' + i % 16);
  const std::vector<uint8_t> large = Code(5u << 20, 3, 0);  // past the size always sorted
  std::vector<uint8_t> replaced = large;
  std::copy(block.begin(), block.end(), replaced.begin() + 2000000);
  std::vector<uint8_t> block_stored;
  ASSERT_TRUE(EncodePayload(block.data(), block.size(), &block_stored));
  // What a rebuild of an unchanged program changes: an id and its text form.
  std::vector<uint8_t> rebuilt = code;
  const std::vector<uint8_t> id = Random(20, 11);
  std::copy(id.begin(), id.end(), rebuilt.begin() + 700);
  for (size_t i = 0; i < 40; ++i)
    rebuilt[150000 + i] = "0123456789abcdef"[id[i / 2] >> (i % 2 * 4) & 15];

  struct Case {
    const char* name;
    std::vector<uint8_t> old_data, new_data;
    double max_ratio;  // stored size / new size, where a bound says something
  } cases[] = {
      {"both empty", {}, {}, 1e9},
      {"empty old", {}, Random(5000, 2), 1.1},
      {"empty new", Random(5000, 3), {}, 1e9},
      {"identical", code, code, 0.01},
      {"one byte each", {7}, {8}, 1e9},
      {"unrelated", Random(40000, 4), Random(30000, 5), 1.1},
      {"shifted by inserted bytes", code, shifted_front, 0.02},
      {"addresses moved", code, Code(200000, 1, 0x1234), 0.05},
      {"edited, inserted, deleted", code, edited, 0.05},
      {"halves swapped", code, swapped, 0.02},
      {"block replaced in place", large, replaced, 2.0 * block_stored.size() / large.size()},
      {"one long run", repeat, std::vector<uint8_t>(90000, 0xAB), 0.01},
      {"run to noise", repeat, Random(1000, 6), 1.2},
      {"an id and its text rewritten", code, rebuilt, 0.001},
  };
  const ExtendedLayout layouts[] = {ExtendedLayout::kSmallest, ExtendedLayout::kInterleavedDeflate,
                                    ExtendedLayout::kSplitStored, ExtendedLayout::kSplitDeflate,
                                    ExtendedLayout::kSplitLzma};
  for (const Case& c : cases) {
    std::vector<uint8_t> raw, stored, got;
    ASSERT_TRUE(EncodeExtendedDelta(c.old_data.data(), c.old_data.size(), c.new_data.data(),
                                    c.new_data.size(), &raw));
    for (const ExtendedLayout layout : layouts) {
      SCOPED_TRACE(std::string(c.name) + ", layout " + std::to_string(static_cast<int>(layout)));
      ASSERT_TRUE(PackExtendedDelta(raw, &stored, layout));
      ExtendedDeltaInfo info;
      ASSERT_TRUE(Decode(stored, c.old_data, &got, &info));
      EXPECT_TRUE(got == c.new_data);
      EXPECT_EQ(info.outputSize, c.new_data.size());
      if (!c.new_data.empty() && layout == ExtendedLayout::kSmallest) {
        EXPECT_LE(stored.size(), c.max_ratio * c.new_data.size() + 64);
      }
      // An old file shorter than the copies need is refused, never read past.
      if (info.oldNeeded > 0) {
        std::vector<uint8_t> short_old(c.old_data.begin(), c.old_data.begin() + info.oldNeeded - 1);
        EXPECT_FALSE(Decode(stored, short_old, &got, &info));
      }
    }
    // The records with their sparse adds as inserts rebuild the same file
    // from plain copies alone; where a few bytes changed in place they pack
    // smaller.
    SCOPED_TRACE(std::string(c.name) + ", sparse adds as inserts");
    std::vector<uint8_t> sparse, sparse_stored;
    ASSERT_TRUE(SparseAddsAsInserts(raw, c.old_data.data(), c.old_data.size(), &sparse));
    EXPECT_FALSE(HasNonPlainCopy(sparse));
    ASSERT_TRUE(PackExtendedDelta(raw, &stored));
    ASSERT_TRUE(PackExtendedDelta(sparse, &sparse_stored));
    ExtendedDeltaInfo info;
    ASSERT_TRUE(Decode(sparse_stored, c.old_data, &got, &info));
    EXPECT_TRUE(got == c.new_data);
    if (std::strcmp(c.name, "an id and its text rewritten") == 0) {
      EXPECT_LT(sparse_stored.size(), stored.size());
    }
  }
}

// `make` skips the basic encode of a large file when a sample says its copies
// are short: the sample must say so only where the basic form's copies would
// send the extended form to the same sorted search.
TEST(ExtendedDelta, SampleTellsEditedCodeFromMovedBlocks) {
  std::vector<uint8_t> probe;
  if (!EncodeExtendedDelta(reinterpret_cast<const uint8_t*>("ab"), 2,
                           reinterpret_cast<const uint8_t*>("ab"), 2, &probe)) {
    GTEST_SKIP() << "no suffix sorting in this build";
  }
  const std::vector<uint8_t> code = Code(5u << 20, 7, 0);
  auto edited_every = [&](size_t step) {
    std::vector<uint8_t> v = code;
    for (size_t i = step / 2; i < v.size(); i += step) v[i] ^= 0x5A;
    return v;
  };
  std::vector<uint8_t> swapped(code.begin() + (2u << 20), code.end());
  swapped.insert(swapped.end(), code.begin(), code.begin() + (2u << 20));
  const std::vector<uint8_t> small(code.begin(), code.begin() + 16384);
  struct Case {
    const char* name;
    const std::vector<uint8_t>& old_data;
    std::vector<uint8_t> new_data;
    bool short_copies;
  } cases[] = {
      {"edited every 150 bytes", code, edited_every(150), true},
      {"edited every 8 KiB", code, edited_every(8192), false},
      {"blocks moved", code, swapped, false},
      {"unrelated", code, Random(1u << 20, 8), false},
      {"old too small to tell", small, edited_every(150), false},
      {"new too small to tell", code, std::vector<uint8_t>(code.begin(), code.begin() + 65536),
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ExtendedCopiesLookShort(c.old_data.data(), c.old_data.size(), c.new_data.data(),
                                      c.new_data.size()),
              c.short_copies);
  }
  // Where it says short, the delta is the one the basic form's copies lead to.
  const std::vector<uint8_t>& next = cases[0].new_data;
  std::vector<DeltaMatch> seeds;
  DeltaOptions options;
  options.matches = &seeds;
  EncodeDelta(code.data(), code.size(), next.data(), next.size(), options);
  std::vector<uint8_t> from_sample, from_seeds;
  ASSERT_TRUE(
      EncodeExtendedDelta(code.data(), code.size(), next.data(), next.size(), &from_sample));
  ASSERT_TRUE(
      EncodeExtendedDelta(code.data(), code.size(), next.data(), next.size(), &from_seeds, &seeds));
  EXPECT_TRUE(from_sample == from_seeds);
}

// Hand-built streams, so that the decoder is tested where no encoder is built.
TEST(ExtendedDelta, RecordsAndMalformedStreams) {
  const std::vector<uint8_t> old = {10, 20, 30, 40, 50, 60};
  auto magic = [] {
    std::vector<uint8_t> v;
    AppendExtendedDeltaMagic(&v);
    return v;
  };
  auto with = [&](std::vector<uint8_t> v, std::initializer_list<uint8_t> tail) {
    v.insert(v.end(), tail);
    return v;
  };
  const uint8_t add[] = {1, 0, 0xFF};
  const uint8_t extra[] = {'x', 'y'};
  std::vector<uint8_t> good = magic();
  AppendExtendedDeltaRecord(add, 3, extra, 2, -2, &good);       // old[0..3)+add, "xy", back to 1
  AppendExtendedDeltaRecord(add + 1, 2, nullptr, 0, 3, &good);  // old[1..3), on to 6
  AppendExtendedDeltaRecord(nullptr, 0, extra, 1, -6, &good);   // "x", back to 0
  AppendExtendedDeltaRecord(nullptr, 2, nullptr, 0, 2, &good);  // old[0..2) as it is, on to 4
  AppendExtendedDeltaRecord(nullptr, 2, extra, 1, 0, &good);    // old[4..6), "x"
  const std::vector<uint8_t> good_out = {11, 20, 29, 'x', 'y', 20, 29, 'x', 10, 20, 50, 60, 'x'};
  // The first layout: no plain bit, the copy varint is the length.
  const std::vector<uint8_t> first_layout = {'U', 'K', 'X', '1', 2, 1, 4, 0, 1, 'y'};

  std::vector<uint8_t> past_end = magic();
  AppendExtendedDeltaRecord(nullptr, 0, nullptr, 0, 5, &past_end);
  AppendExtendedDeltaRecord(add, 2, nullptr, 0, 0, &past_end);  // old[5..7)
  std::vector<uint8_t> before_start = magic();
  AppendExtendedDeltaRecord(add, 1, nullptr, 0, -2, &before_start);
  std::vector<uint8_t> huge_copy = magic();
  AppendExtendedDeltaRecord(add, 0, nullptr, 0, 0, &huge_copy);
  huge_copy = with(huge_copy, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0, 0});
  std::vector<uint8_t> wide_varint =
      with(magic(), {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x02, 0, 0});
  std::vector<uint8_t> cut_insert = good;
  cut_insert.pop_back();
  std::vector<uint8_t> cut_header = with(good, {0x01});

  struct Case {
    const char* name;
    std::vector<uint8_t> raw;
    bool ok;
    std::vector<uint8_t> out;
  } cases[] = {
      {"records with adds, inserts and seeks", good, true, good_out},
      {"magic only", magic(), true, {}},
      {"empty: no magic", {}, false, {}},
      {"first layout", first_layout, true, {10, 21, 'y'}},
      {"wrong magic", {'U', 'K', 'X', '3'}, false, {}},
      {"copy past the old end", past_end, false, {}},
      {"seek before the start", before_start, false, {}},
      {"copy longer than the old file", huge_copy, false, {}},
      {"varint wider than 64 bits", wide_varint, false, {}},
      {"bytes end inside insert data", cut_insert, false, {}},
      {"bytes end inside a header", cut_header, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> stored, got;
    ASSERT_TRUE(EncodePayload(c.raw.data(), c.raw.size(), &stored));
    ExtendedDeltaInfo info;
    ASSERT_EQ(Decode(stored, old, &got, &info), c.ok);
    if (c.ok) {
      EXPECT_TRUE(got == c.out);
    }
    // Rewritten with sparse adds as inserts: refused exactly where the
    // decoder refuses ("UKX1" aside), else the same output from plain copies.
    std::vector<uint8_t> sparse, sparse_stored, sparse_got;
    const bool current = c.raw.size() >= 4 && std::memcmp(c.raw.data(), "UKX2", 4) == 0;
    ASSERT_EQ(SparseAddsAsInserts(c.raw, old.data(), old.size(), &sparse), c.ok && current);
    if (c.ok && current) {
      ASSERT_TRUE(EncodePayload(sparse.data(), sparse.size(), &sparse_stored));
      ASSERT_TRUE(Decode(sparse_stored, old, &sparse_got, &info));
      EXPECT_TRUE(sparse_got == c.out);
    }
    // The same records in the raw layout: a marker, then raw deflate without the magic.
    if (c.raw.size() < 4 || std::memcmp(c.raw.data(), "UKX2", 4) != 0) continue;
    std::vector<uint8_t> deflated, raw_got;
    ASSERT_TRUE(EncodeRawDeflate(c.raw.data() + 4, c.raw.size() - 4, &deflated, 12));
    std::vector<uint8_t> raw_stored(1, kExtendedRawMarker);
    raw_stored.insert(raw_stored.end(), deflated.begin(), deflated.end());
    ASSERT_EQ(Decode(raw_stored, old, &raw_got, &info), c.ok);
    if (c.ok) {
      EXPECT_TRUE(raw_got == c.out);
    }
  }

  // The raw layout cut short, with bytes after its stream, or the marker alone.
  {
    std::vector<uint8_t> deflated;
    ASSERT_TRUE(EncodeRawDeflate(good.data() + 4, good.size() - 4, &deflated, 12));
    std::vector<uint8_t> raw_stored(1, kExtendedRawMarker);
    raw_stored.insert(raw_stored.end(), deflated.begin(), deflated.end());
    std::vector<uint8_t> raw_cut(raw_stored.begin(), raw_stored.end() - 1);
    std::vector<uint8_t> raw_trailing = with(raw_stored, {0});
    std::vector<uint8_t> marker_only(1, kExtendedRawMarker);
    std::vector<uint8_t> garbage = {kExtendedRawMarker, 0xFF, 0xFF, 0xFF};
    for (const auto* s : {&raw_cut, &raw_trailing, &marker_only, &garbage}) {
      std::vector<uint8_t> got;
      ExtendedDeltaInfo info;
      EXPECT_FALSE(Decode(*s, old, &got, &info));
    }
  }

  // Damage to the payload around good records.
  std::vector<uint8_t> stored;
  ASSERT_TRUE(EncodePayload(good.data(), good.size(), &stored));
  std::vector<uint8_t> bad_length = stored, bad_adler = stored, cut = stored, flipped = stored;
  bad_length[bad_length.size() - 4] ^= 1;
  bad_adler[bad_adler.size() - 8] ^= 1;
  cut.erase(cut.begin() + 4, cut.begin() + 6);
  flipped[3] ^= 0x40;
  for (const auto* s : {&bad_length, &bad_adler, &cut, &flipped}) {
    std::vector<uint8_t> got;
    ExtendedDeltaInfo info;
    EXPECT_FALSE(Decode(*s, old, &got, &info));
  }

  // The split layout: every header field and stream checked.
  auto put32 = [](std::vector<uint8_t>* v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i) (*v)[at + i] = static_cast<uint8_t>(x >> (8 * i));
  };
  auto get32 = [](const std::vector<uint8_t>& v, size_t at) {
    return uint32_t{v[at]} | uint32_t{v[at + 1]} << 8 | uint32_t{v[at + 2]} << 16 |
           uint32_t{v[at + 3]} << 24;
  };
  // Field offsets in the header of stream `s`.
  auto field = [](int s, size_t f) { return 4 + s * kExtendedStreamHeaderSize + f; };
  for (const ExtendedLayout layout :
       {ExtendedLayout::kSplitStored, ExtendedLayout::kSplitDeflate, ExtendedLayout::kSplitLzma}) {
    SCOPED_TRACE(static_cast<int>(layout));
    std::vector<uint8_t> split, got;
    ASSERT_TRUE(PackExtendedDelta(good, &split, layout));
    ExtendedDeltaInfo info;
    ASSERT_TRUE(Decode(split, old, &got, &info));
    EXPECT_TRUE(got == good_out);
    std::vector<std::vector<uint8_t>> bad;
    for (int s = 0; s < kExtendedStreams; ++s) {
      for (size_t f : {5, 9, 13}) {  // raw size, CRC, stored size one off
        bad.push_back(split);
        put32(&bad.back(), field(s, f), get32(split, field(s, f)) + 1);
      }
      bad.push_back(split);
      bad.back()[field(s, 0)] = 3;  // no such codec
    }
    bad.push_back(split);
    bad.back().push_back(0);  // a byte after the streams
    bad.push_back(split);
    bad.back().pop_back();  // the last stream cut short
    bad.push_back(
        std::vector<uint8_t>(split.begin(), split.begin() + kExtendedSplitHeaderSize - 1));
    if (layout == ExtendedLayout::kSplitLzma) {
      bad.push_back(split);
      put32(&bad.back(), field(2, 1), kMaxExtendedDictionary + 1);
      // Each fits alone; together they are more than the runtime allows.
      bad.push_back(split);
      for (int s = 0; s < kExtendedStreams; ++s)
        put32(&bad.back(), field(s, 1), kMaxExtendedDictionary / 2);
      bad.push_back(split);
      bad.back()[kExtendedSplitHeaderSize + 2] ^= 0x10;  // damage inside the controls
    }
    for (size_t i = 0; i < bad.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_FALSE(Decode(bad[i], old, &got, &info));
    }
  }

  EXPECT_TRUE(IsExtendedDeltaName("0000002a.deltax"));
  EXPECT_FALSE(IsExtendedDeltaName("0000002A.DELTA"));
  EXPECT_FALSE(IsExtendedDeltaName(".DELTAX"));
}

}  // namespace
}  // namespace upkeep
