#include "package/delta_predicted.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "authoring/delta_encoder.h"
#include "authoring/lzma_encoders.h"
#include "authoring/work_threads.h"
#include "package/address_model.h"
#include "test_util.h"

namespace upkeep {
namespace {

void PutU32(uint32_t v, std::vector<uint8_t>* out) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t Crc32(const std::vector<uint8_t>& v) {
  return static_cast<uint32_t>(crc32(crc32(0, nullptr, 0), v.data(), static_cast<uInt>(v.size())));
}

void PutVarint(uint64_t v, std::vector<uint8_t>* out) {
  while (v >= 0x80) {
    out->push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out->push_back(static_cast<uint8_t>(v));
}

// Code-like bytes: functions of filler and of instructions naming other
// functions (call rel32) and data (x86-64: lea with a RIP-relative address;
// x86: push and mov with absolute ones, the image at 0x400000). Function
// `grown` is `grow` bytes longer, which moves everything after it, as a
// rebuild does; the instructions are the same in both versions.
std::vector<uint8_t> Program(bool x64, size_t grown, size_t grow) {
  constexpr size_t kFunctions = 300;
  constexpr uint32_t kImage = 0x400000;
  std::mt19937 sizes(5);
  std::vector<uint32_t> start(kFunctions + 1);
  for (size_t f = 0; f < kFunctions; ++f)
    start[f + 1] = start[f] + 64 + sizes() % 400 + (f == grown ? static_cast<uint32_t>(grow) : 0);
  const uint32_t data = start[kFunctions];
  std::vector<uint8_t> out;
  for (size_t f = 0; f < kFunctions; ++f) {
    std::mt19937 rng(static_cast<uint32_t>(f) + 1000);
    while (out.size() + 8 < start[f + 1] - (f == grown ? grow : 0)) {
      const uint32_t kind = rng() % 5, which = rng() % kFunctions, item = rng() % 512;
      const uint32_t at = static_cast<uint32_t>(out.size());
      if (kind == 0) {
        out.push_back(0xE8);
        PutU32(start[which] - (at + 5), &out);
      } else if (kind == 1 && x64) {
        out.insert(out.end(), {0x48, 0x8D, 0x05});
        PutU32(data + item * 16 - (at + 7), &out);
      } else if (kind == 1) {
        out.push_back(rng() % 2 ? 0x68 : 0xA1);
        PutU32(kImage + data + item * 16, &out);
      } else {
        for (uint32_t k = rng() % 6 + 1; k > 0; --k) out.push_back(static_cast<uint8_t>(rng()));
      }
    }
    out.resize(start[f + 1], 0xCC);
  }
  for (uint32_t i = 0; i < 512 * 16; ++i) out.push_back(static_cast<uint8_t>(i * 7));
  return out;
}

struct Decoded {
  bool ok = false;
  std::vector<uint8_t> out;
  ExtendedDeltaInfo info;
};

// The writing pass, checked against the checking pass: both accept or refuse
// alike (neither reads more than the streams and the old size to decide),
// and agree on what the delta writes and needs.
Decoded Decode(const std::vector<uint8_t>& stored, const std::vector<uint8_t>& old) {
  Decoded d;
  DeltaSink sink = [&](const uint8_t* p, size_t n) { d.out.insert(d.out.end(), p, p + n); };
  d.ok = DecodePredictedDelta(stored.data(), stored.size(), old.empty() ? nullptr : old.data(),
                              old.size(), sink, &d.info);
  ExtendedDeltaInfo checked;
  const bool check_ok =
      DecodePredictedDelta(stored.data(), stored.size(), nullptr, old.size(), nullptr, &checked);
  EXPECT_EQ(check_ok, d.ok);
  if (d.ok && check_ok) {
    EXPECT_EQ(checked.outputSize, d.info.outputSize);
    EXPECT_EQ(checked.oldNeeded, d.info.oldNeeded);
    EXPECT_EQ(d.out.size(), d.info.outputSize);
  }
  return d;
}

TEST(PredictedDelta, EncodedPairsRoundTripAndMovedCodeIsPredicted) {
  std::vector<uint8_t> probe;
  if (!EncodeExtendedDelta(reinterpret_cast<const uint8_t*>("ab"), 2,
                           reinterpret_cast<const uint8_t*>("ab"), 2, &probe)) {
    GTEST_SKIP() << "no suffix sorting in this build";
  }
  const std::vector<uint8_t> x64 = Program(true, 0, 0), x86 = Program(false, 0, 0);
  std::vector<uint8_t> data = test::RandomBytes(100000, 3);
  std::vector<uint8_t> data_moved(data.begin() + 60000, data.end());
  data_moved.insert(data_moved.end(), data.begin(), data.begin() + 60000);
  for (size_t i = 0; i < data_moved.size(); i += 3001) data_moved[i] ^= 0x21;
  struct Case {
    const char* name;
    std::vector<uint8_t> old_data, new_data;
    uint8_t mode;    // the mode the writer must pick, or kAddressModes for any
    double at_most;  // of the extended form's size, where prediction must pay
  } cases[] = {
      {"x86-64 code, a function grown", x64, Program(true, 40, 333), kAddressX64, 0.5},
      {"x86 code, a function grown", x86, Program(false, 40, 333), kAddressX86, 0.5},
      {"x86-64 code, all of it moved", x64, Program(true, 0, 64), kAddressX64, 1.0},
      {"data, halves swapped and edited", data, data_moved, kAddressModes, 1.1},
      {"identical", x64, x64, kAddressModes, 1e9},
      {"both empty", {}, {}, kAddressModes, 1e9},
      {"empty old", {}, data, kAddressModes, 1e9},
      {"empty new", data, {}, kAddressModes, 1e9},
      {"unrelated", test::RandomBytes(3000, 8), test::RandomBytes(4000, 9), kAddressModes, 1e9},
  };
  LzmaEncoders kept;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> records, stored, extended;
    ASSERT_TRUE(EncodeExtendedDelta(c.old_data.data(), c.old_data.size(), c.new_data.data(),
                                    c.new_data.size(), &records));
    ASSERT_TRUE(PackPredictedDelta(records, c.old_data.data(), c.old_data.size(), c.new_data.data(),
                                   c.new_data.size(), &stored));
    ASSERT_TRUE(PackExtendedDelta(records, &extended, ExtendedLayout::kSplitLzma));
    // Streams packed in pieces and small ones packed with each literal
    // setting, on threads and on encoders kept from the cases before: the
    // same bytes as in one go on fresh ones.
    std::vector<uint8_t> threaded;
    WorkThreads pool(3);
    Pieces pieces;
    pieces.piece = 4096;
    pieces.threads = &pool;
    pieces.lzma = &kept;
    ASSERT_TRUE(PackPredictedDelta(records, c.old_data.data(), c.old_data.size(), c.new_data.data(),
                                   c.new_data.size(), &threaded, pieces));
    pieces.threads = nullptr;
    pieces.lzma = nullptr;
    std::vector<uint8_t> alone;
    ASSERT_TRUE(PackPredictedDelta(records, c.old_data.data(), c.old_data.size(), c.new_data.data(),
                                   c.new_data.size(), &alone, pieces));
    EXPECT_TRUE(threaded == alone);
    EXPECT_TRUE(Decode(threaded, c.old_data).out == c.new_data);
    const Decoded d = Decode(stored, c.old_data);
    ASSERT_TRUE(d.ok);
    EXPECT_TRUE(d.out == c.new_data);
    if (c.mode != kAddressModes) {
      EXPECT_EQ(stored[4], c.mode);
    }
    EXPECT_LE(stored.size(), c.at_most * extended.size());
    // An old file shorter than the copies need is refused, never read past.
    if (d.info.oldNeeded > 0) {
      const std::vector<uint8_t> short_old(c.old_data.begin(),
                                           c.old_data.begin() + d.info.oldNeeded - 1);
      EXPECT_FALSE(Decode(stored, short_old).ok);
    }
  }
}

// Two calls of one old target that moved: the first costs adds, the second
// is foreseen and costs none; in the other mode, or none, both cost adds.
TEST(PredictedDelta, ModelForeseesATargetSeenBefore) {
  // call +16 at 2, filler, call +6 at 12: both name old target 22.
  const std::vector<uint8_t> old_code = {0x90, 0xE8, 16, 0, 0, 0, 1, 2, 3, 4,
                                         5,    0xE8, 6,  0, 0, 0, 7, 8, 9, 10};
  std::vector<uint8_t> new_code = old_code;
  new_code[2] = 16 + 40, new_code[12] = 6 + 40;  // the target moved 40 bytes on
  for (uint8_t mode : {kAddressX64, kAddressX86, kAddressNone}) {
    SCOPED_TRACE(static_cast<int>(mode));
    AddressModel model;
    ASSERT_TRUE(model.Init(mode));
    model.BeginCopy(0, 0, old_code.size());
    std::vector<uint8_t> adds(old_code.size()), back(old_code.size());
    // In pieces, one of them ending inside a field: the model carries it over.
    model.Encode(old_code.data(), new_code.data(), 7, adds.data());
    model.Encode(old_code.data() + 7, new_code.data() + 7, old_code.size() - 7, adds.data() + 7);
    EXPECT_EQ(adds[2], 40);
    EXPECT_EQ(adds[12], mode == kAddressNone ? 40 : 0);
    ASSERT_TRUE(model.Init(mode));
    model.BeginCopy(0, 0, old_code.size());
    model.Decode(old_code.data(), adds.data(), 3, back.data());
    model.Decode(old_code.data() + 3, adds.data() + 3, old_code.size() - 3, back.data() + 3);
    EXPECT_TRUE(back == new_code);
  }
}

// Hand-built streams pin the layout and reach what no writer makes.
TEST(PredictedDelta, HandBuiltStreamsAndMalformedOnes) {
  const std::vector<uint8_t> old = {10, 20, 30, 40, 50, 60};
  struct Streams {
    uint8_t mode = kAddressNone;
    std::vector<uint8_t> controls, runs, inserts;
  };
  auto record = [](Streams* s, uint64_t copy, bool plain, uint64_t insert, int64_t seek) {
    PutVarint(copy * 2 + (plain ? 1 : 0), &s->controls);
    PutVarint(insert, &s->controls);
    PutVarint((static_cast<uint64_t>(seek) << 1) ^ static_cast<uint64_t>(seek >> 63), &s->controls);
  };
  auto store = [](const Streams& s) {
    std::vector<uint8_t> v = {'U', 'K', 'P', '1', s.mode};
    for (const auto* raw : {&s.controls, &s.runs, &s.inserts}) {
      v.push_back(kPredictedCodecStored);
      PutVarint(0, &v);
      PutVarint(raw->size(), &v);
      PutU32(Crc32(*raw), &v);
      PutVarint(raw->size(), &v);
    }
    for (const auto* raw : {&s.controls, &s.runs, &s.inserts})
      v.insert(v.end(), raw->begin(), raw->end());
    return v;
  };
  Streams good;
  record(&good, 3, false, 2, -2);  // old[0..3) + adds 1 0 FF, "xy", back to 1
  record(&good, 2, true, 0, 3);    // old[1..3) as it is, on to 6
  record(&good, 0, false, 1, -6);  // "x", back to 0
  record(&good, 2, false, 0, 0);   // old[0..2) + adds 0 0 (the last run's zeros)
  good.runs = {0, 1, 1, 0xFF, 2};
  good.inserts = {'x', 'y', 'x'};
  const std::vector<uint8_t> good_out = {11, 20, 29, 'x', 'y', 20, 30, 'x', 10, 20};
  const Decoded d = Decode(store(good), old);
  ASSERT_TRUE(d.ok);
  EXPECT_TRUE(d.out == good_out);
  EXPECT_EQ(d.info.oldNeeded, 3u);

  std::vector<std::pair<const char*, std::vector<uint8_t>>> bad;
  auto variant = [&](const char* name, auto change) {
    Streams s = good;
    change(&s);
    bad.push_back({name, store(s)});
  };
  variant("no such mode", [](Streams* s) { s->mode = kAddressModes; });
  variant("an add byte of 0", [](Streams* s) { s->runs = {0, 1, 1, 0, 2}; });
  variant("adds left over", [](Streams* s) { s->runs.push_back(7); });
  variant("adds run out", [](Streams* s) { s->runs = {0, 1, 1, 0xFF}; });
  variant("inserts left over", [](Streams* s) { s->inserts.push_back('z'); });
  variant("inserts run out", [](Streams* s) { s->inserts.pop_back(); });
  variant("controls end inside a record", [](Streams* s) { s->controls.pop_back(); });
  variant("copy past the old end", [&](Streams* s) {
    s->controls.clear();
    record(s, 7, true, 0, 0);
  });
  variant("seek before the start", [&](Streams* s) {
    s->controls.clear();
    record(s, 1, true, 0, -2);
  });
  variant("seek past the end", [&](Streams* s) {
    s->controls.clear();
    record(s, 1, true, 0, 6);
  });
  variant("varint wider than 64 bits", [](Streams* s) {
    s->controls = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x02, 0, 0};
  });
  const std::vector<uint8_t> stored = store(good);
  auto changed = [&](const char* name, size_t at, uint8_t value) {
    std::vector<uint8_t> v = stored;
    v[at] = value;
    bad.push_back({name, v});
  };
  changed("wrong magic", 3, '2');
  changed("no such codec", 5, 3);
  changed("a dictionary for a stored stream", 6, 1);
  changed("raw size one off", 7, static_cast<uint8_t>(stored[7] + 1));
  changed("checksum one off", 8, static_cast<uint8_t>(stored[8] + 1));
  bad.push_back({"a byte after the streams", stored});
  bad.back().second.push_back(0);
  for (size_t n = 0; n < stored.size(); ++n)
    bad.push_back({"cut short", std::vector<uint8_t>(stored.begin(), stored.begin() + n)});
  for (const auto& [name, bytes] : bad) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(Decode(bytes, old).ok);
  }

  // Packed streams: the dictionaries' sum is bounded, damage is caught.
  std::vector<uint8_t> records, packed;
  const std::vector<uint8_t> a = Program(true, 0, 0), b = Program(true, 10, 77);
  ASSERT_TRUE(EncodeExtendedDelta(a.data(), a.size(), b.data(), b.size(), &records));
  ASSERT_TRUE(PackPredictedDelta(records, a.data(), a.size(), b.data(), b.size(), &packed));
  ASSERT_TRUE(Decode(packed, a).ok);
  ASSERT_EQ(packed[5], kPredictedCodecLzma2);
  std::vector<uint8_t> huge = {'U', 'K', 'P', '1', 0};
  for (int s = 0; s < 3; ++s) {
    huge.push_back(kPredictedCodecLzma2);
    PutVarint(kMaxExtendedDictionary / 2, &huge);
    PutVarint(0, &huge);
    PutU32(0, &huge);
    PutVarint(0, &huge);
  }
  EXPECT_FALSE(Decode(huge, a).ok);
  for (size_t at = 40; at < packed.size(); at += packed.size() / 16) {
    std::vector<uint8_t> damaged = packed;
    damaged[at] ^= 0x10;
    const Decoded got = Decode(damaged, a);
    if (got.ok) {
      EXPECT_TRUE(got.out == b) << at;
    }
  }

  EXPECT_TRUE(IsPredictedDeltaName("0000002a.deltap"));
  EXPECT_FALSE(IsPredictedDeltaName("0000002A.DELTA"));
  EXPECT_FALSE(IsPredictedDeltaName(".DELTAP"));
}

}  // namespace
}  // namespace upkeep
