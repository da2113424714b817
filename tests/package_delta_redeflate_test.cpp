#include "package/delta_redeflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <functional>
#include <random>
#include <string>

#include "redeflate_test_util.h"
#include "test_util.h"

namespace upkeep {
namespace {

using test::Piece;
using test::RedeflatePair;

// Text that deflates as text does: words of a small vocabulary in lines.
std::vector<uint8_t> Text(size_t n, uint32_t seed) {
  static const char* const kWords[] = {
      "the",    "update", "file", "of",  "a",      "patch", "game",   "level", "stream", "block",
      "window", "match",  "new",  "old", "folder", "entry", "length", "and",   "to",     "is"};
  std::mt19937 rng(seed);
  std::vector<uint8_t> v;
  while (v.size() < n) {
    const char* w = kWords[rng() % 20];
    v.insert(v.end(), w, w + std::char_traits<char>::length(w));
    v.push_back(rng() % 11 == 0 ? '\n' : ' ');
    if (rng() % 50 == 0) {
      const std::string num = std::to_string(rng() % 100000);
      v.insert(v.end(), num.begin(), num.end());
    }
  }
  v.resize(n);
  return v;
}

std::vector<uint8_t> Bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

DeflateParams Params(uint8_t level, bool gzipBlocks = false, uint8_t strategy = 0,
                     uint8_t memLevel = 8, uint8_t windowBits = 15) {
  DeflateParams p;
  p.level = level;
  p.memLevel = memLevel;
  p.windowBits = windowBits;
  p.strategy = strategy;
  p.gzipBlocks = gzipBlocks;
  return p;
}

Piece Plain(const std::vector<uint8_t>& raw) { return Piece{raw, false, DeflateParams()}; }
Piece Z(const std::vector<uint8_t>& raw, const DeflateParams& p) { return Piece{raw, true, p}; }

struct Result {
  bool checked = false, ok = false;
  ExtendedDeltaInfo check, info;
  std::vector<uint8_t> out;
};

// The checking pass (against the old size given, and against none) and the
// writing pass.
Result DecodeBoth(const std::vector<uint8_t>& stored, const std::vector<uint8_t>& old) {
  Result r;
  ExtendedDeltaInfo unknown;
  r.checked =
      DecodeRedeflateDelta(stored.data(), stored.size(), nullptr, old.size(), nullptr, &r.check);
  const bool checked_unknown =
      DecodeRedeflateDelta(stored.data(), stored.size(), nullptr, UINT64_MAX, nullptr, &unknown);
  if (r.checked) {
    EXPECT_TRUE(checked_unknown);
    EXPECT_EQ(unknown.outputSize, r.check.outputSize);
    EXPECT_EQ(unknown.oldNeeded, r.check.oldNeeded);
  }
  DeltaSink sink = [&](const uint8_t* p, size_t n) { r.out.insert(r.out.end(), p, p + n); };
  r.ok = DecodeRedeflateDelta(stored.data(), stored.size(), old.data(), old.size(), sink, &r.info);
  return r;
}

TEST(RedeflateDelta, NamesAndRoundTrips) {
  EXPECT_TRUE(IsRedeflateDeltaName("00000001.DELTAZ"));
  EXPECT_TRUE(IsRedeflateDeltaName("dir\\a.deltaz"));
  EXPECT_FALSE(IsRedeflateDeltaName(".DELTAZ"));
  EXPECT_FALSE(IsRedeflateDeltaName("00000001.DELTAX"));
  EXPECT_FALSE(IsRedeflateDeltaName(nullptr));

  const std::vector<uint8_t> a = Text(200000, 1), b = Text(30000, 2);
  std::vector<uint8_t> a2 = a;
  for (size_t i = 70000; i < 71000; ++i) a2[i] = static_cast<uint8_t>('A' + i % 26);
  std::vector<uint8_t> b2 = b;
  b2.insert(b2.begin() + 12345, {'n', 'e', 'w', ' '});
  const std::vector<uint8_t> head = Bytes("PK\3\4 header"), mid = Bytes("PK\3\4 second");
  const std::vector<uint8_t> empty;
  struct Case {
    const char* name;
    std::vector<Piece> from, to;
  } cases[] = {
      {"archive: a changed member and a kept one, level 6 and gzip blocks level 9",
       {Plain(head), Z(a, Params(6)), Plain(mid), Z(b, Params(9, true)), Plain(Bytes("dir"))},
       {Plain(head), Z(a2, Params(6)), Plain(mid), Z(b, Params(9, true)), Plain(Bytes("dir2"))}},
      {"a stream at the start, new data in it and a trailer",
       {Z(b, Params(9, true)), Plain(Bytes("crc!len!"))},
       {Z(b2, Params(9, true)), Plain(Bytes("CRC!LEN!"))}},
      {"other strategies, memory levels and windows",
       {Plain(head), Z(b, Params(6))},
       {Z(b2, Params(1)), Z(b, Params(6, false, 1)), Z(b2, Params(9, false, 2)),
        Z(b, Params(6, false, 3, 1, 9)), Z(b2, Params(4, true, 4, 9, 12))}},
      {"empty streams at both ends of the new file and none in the old",
       {Plain(head)},
       {Z(empty, Params(6)), Plain(head), Z(empty, Params(9, true))}},
      {"streams deflated into plain bytes", {Z(a, Params(6)), Z(empty, Params(6))}, {Plain(a2)}},
      {"no streams", {Plain(head)}, {Plain(mid)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RedeflatePair pair = test::MakeRedeflatePair(c.from, c.to);
    const Result r = DecodeBoth(test::Serialize(pair.layout), pair.oldFile);
    ASSERT_TRUE(r.checked);
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.out == pair.newFile);
    EXPECT_EQ(r.info.outputSize, pair.newFile.size());
    EXPECT_EQ(r.check.outputSize, r.info.outputSize);
    EXPECT_EQ(r.check.oldNeeded, r.info.oldNeeded);
    EXPECT_LE(r.info.oldNeeded, pair.oldFile.size());
  }
}

TEST(RedeflateDelta, MalformedInputsAreRefused) {
  const std::vector<uint8_t> a = Text(6000, 3);
  std::vector<uint8_t> a2 = a;
  a2[3000] = '#';
  const RedeflatePair base =
      test::MakeRedeflatePair({Plain(Bytes("head")), Z(a, Params(6)), Plain(Bytes("tail"))},
                              {Plain(Bytes("head")), Z(a2, Params(9, true)), Plain(Bytes("tail"))});
  ASSERT_EQ(base.oldFile.size(), 8 + base.layout.olds[0].stored);
  const uint64_t stored_a = base.layout.olds[0].stored;

  using Mutation = std::function<void(RedeflatePair*, std::vector<uint8_t>*)>;
  auto layout = [](std::function<void(test::RedeflateLayout*)> f) -> Mutation {
    return [f](RedeflatePair* p, std::vector<uint8_t>*) { f(&p->layout); };
  };
  auto bytes = [](std::vector<uint8_t> b) -> Mutation {
    return [b](RedeflatePair*, std::vector<uint8_t>* s) { *s = b; };
  };
  auto raw_delta = [](uint64_t copy) {
    std::vector<uint8_t> raw;
    AppendExtendedDeltaMagic(&raw);
    AppendExtendedDeltaRecord(nullptr, copy, nullptr, 0, 0, &raw);
    return EncodePayload(raw);
  };
  const uint64_t view_size = 8 + a.size();
  struct Case {
    const char* name;
    Mutation mutate;
    bool checks;  // the checking pass accepts it; the writing pass never does
  } cases[] = {
      {"wrong magic",
       [](RedeflatePair* p, std::vector<uint8_t>* s) {
         *s = test::Serialize(p->layout);
         (*s)[3] = '2';
       },
       false},
      {"table varint wider than 64 bits",
       bytes(
           {'U', 'K', 'Z', '1', 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x02, 0, 0}),
       false},
      {"more old streams than bytes", bytes({'U', 'K', 'Z', '1', 0xFF, 0xFF, 0x7F, 0, 0, 0}),
       false},
      {"old stream starts past the old file",
       layout([&](test::RedeflateLayout* l) { l->olds[0].gap = base.oldFile.size(); }), false},
      {"old stream of no bytes", layout([](test::RedeflateLayout* l) { l->olds[0].stored = 0; }),
       false},
      {"old stream runs past the old file",
       layout([](test::RedeflateLayout* l) { l->olds[0].stored += 5; }), false},
      {"old stream gap wraps around", layout([](test::RedeflateLayout* l) {
         l->olds.push_back({UINT64_MAX - 2, 1, 0});
       }),
       false},
      {"old stream inflates to more than deflate can",
       layout([&](test::RedeflateLayout* l) { l->olds[0].inflated = stored_a * 1032 + 65; }),
       false},
      {"old view over the limit",
       [&](RedeflatePair* p, std::vector<uint8_t>*) {
         p->oldFile.resize(p->oldFile.size() + 262000);
         p->layout.olds.push_back({4, 262000, kMaxRedeflateExpanded - (8 + a.size()) + 1});
       },
       false},
      {"old stream cut short", layout([](test::RedeflateLayout* l) { l->olds[0].stored -= 1; }),
       true},
      {"old stream ends before its listed length",
       [&](RedeflatePair* p, std::vector<uint8_t>*) {
         p->oldFile.insert(p->oldFile.begin() + 4 + static_cast<ptrdiff_t>(stored_a), 0);
         p->layout.olds[0].stored += 1;
       },
       true},
      {"old stream inflates to less than listed",
       layout([](test::RedeflateLayout* l) { l->olds[0].inflated += 1; }), true},
      {"new stream of no bytes", layout([](test::RedeflateLayout* l) {
         l->newSize -= l->news[0].stored;
         l->news[0].stored = 0;
       }),
       false},
      {"new stream level 0", layout([](test::RedeflateLayout* l) { l->news[0].level = 0; }), false},
      {"new stream window of 16 bits",
       layout([](test::RedeflateLayout* l) { l->news[0].windowBits = 16; }), false},
      {"new stream strategy 5", layout([](test::RedeflateLayout* l) { l->news[0].strategy = 5; }),
       false},
      {"new stream flag bits unknown",
       layout([](test::RedeflateLayout* l) { l->news[0].flags |= 2; }), false},
      {"new stream past the new view",
       layout([](test::RedeflateLayout* l) { l->news[0].inflated += 5; }), false},
      {"new stream gap wraps around",
       layout([](test::RedeflateLayout* l) { l->news[0].gap = UINT64_MAX; }), false},
      {"new size one more", layout([](test::RedeflateLayout* l) { l->newSize += 1; }), false},
      {"deflate bytes one more than listed", layout([](test::RedeflateLayout* l) {
         l->news[0].stored -= 1;
         l->newSize -= 1;
       }),
       true},
      {"deflate bytes one less than listed", layout([](test::RedeflateLayout* l) {
         l->news[0].stored += 1;
         l->newSize += 1;
       }),
       true},
      {"no embedded delta", layout([](test::RedeflateLayout* l) { l->delta.clear(); }), false},
      {"bytes after the embedded delta",
       layout([](test::RedeflateLayout* l) { l->delta.push_back(0); }), false},
      {"embedded copy past the old view",
       layout([&](test::RedeflateLayout* l) { l->delta = raw_delta(view_size + 1); }), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RedeflatePair pair = base;
    std::vector<uint8_t> stored;
    c.mutate(&pair, &stored);
    if (stored.empty()) stored = test::Serialize(pair.layout);
    const Result r = DecodeBoth(stored, pair.oldFile);
    EXPECT_EQ(r.checked, c.checks);
    EXPECT_FALSE(r.ok);
  }

  // Every cut of good bytes is refused by both passes.
  const std::vector<uint8_t> good = test::Serialize(base.layout);
  const Result whole = DecodeBoth(good, base.oldFile);
  ASSERT_TRUE(whole.ok);
  // The copies reach the old tail past the last stream, so a shorter old file
  // is refused before anything is written.
  EXPECT_EQ(whole.check.oldNeeded, base.oldFile.size());
  for (size_t n = 0; n < good.size(); ++n) {
    const std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<ptrdiff_t>(n));
    const Result r = DecodeBoth(cut, base.oldFile);
    ASSERT_FALSE(r.checked) << n;
    ASSERT_FALSE(r.ok) << n;
  }
}

// The pinned deflater makes the same bytes in every build (sizes and CRC-32s
// of the Linux build's streams), and what gzip -9n and the system's zlib make.
TEST(Redeflater, ReproducesGzipAndZlib) {
  const std::vector<uint8_t> text = Text(300000, 7);
  const struct {
    DeflateParams params;
    size_t size;
    uint32_t crc;
  } pinned[] = {{Params(9, true), 63260, 3460801986u},
                {Params(1), 85672, 3132648830u},
                {Params(6, false, 1), 66237, 44165634u},
                {Params(4, true, 4, 9, 12), 96564, 51465712u}};
  for (const auto& p : pinned) {
    SCOPED_TRACE(p.params.level);
    const std::vector<uint8_t> z = test::Deflated(text, p.params);
    EXPECT_EQ(z.size(), p.size);
    EXPECT_EQ(crc32(0, z.data(), static_cast<uInt>(z.size())), p.crc);
  }
#ifdef _WIN32
  GTEST_SKIP() << "gzip and the system zlib are compared on Linux";
#else
  test::TempDir dir;
  const std::string in = dir.Join("text"), out = dir.Join("text.gz");
  ASSERT_TRUE(test::WriteFileBytes(in, text));
  ASSERT_EQ(std::system(("/bin/gzip -9n -c '" + in + "' > '" + out + "'").c_str()), 0);
  std::vector<uint8_t> gz;
  ASSERT_TRUE(test::ReadFileBytes(out, &gz));
  ASSERT_GT(gz.size(), 18u);
  ASSERT_EQ(gz[3], 0);  // no name or extra fields: the stream starts at 10
  const std::vector<uint8_t> gzip_stream(gz.begin() + 10, gz.end() - 8);
  EXPECT_TRUE(test::Deflated(text, Params(9, true)) == gzip_stream);

  for (int level : {1, 6, 9}) {
    SCOPED_TRACE(level);
    const std::vector<uint8_t> system = test::SystemDeflate(text, level, -15);
    ASSERT_FALSE(system.empty());
    EXPECT_TRUE(test::Deflated(text, Params(static_cast<uint8_t>(level))) == system);
    // Not what gzip's block ends make.
    if (level == 9) {
      EXPECT_FALSE(system == gzip_stream);
    }
  }
#endif
}

}  // namespace
}  // namespace upkeep
