#include "authoring/deflate_streams.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "authoring/delta_encoder.h"
#include "test_util.h"

namespace upkeep {
namespace {

// Text-like bytes: words from a small vocabulary, so that deflate levels
// parse them differently.
std::vector<uint8_t> Words(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> words;
  for (int i = 0; i < 400; ++i) {
    std::string w;
    for (size_t k = 2 + rng() % 8; k > 0; --k) w += static_cast<char>('a' + rng() % 26);
    words.push_back(w);
  }
  std::vector<uint8_t> out;
  while (out.size() < n) {
    const std::string& w = words[rng() % words.size()];
    out.insert(out.end(), w.begin(), w.end());
    out.push_back(rng() % 12 == 0 ? '\n' : ' ');
  }
  out.resize(n);
  return out;
}

// With the system's zlib, not the pinned deflater: streams as other tools make them.
std::vector<uint8_t> Deflate(const std::vector<uint8_t>& in, int level, int window_bits,
                             int mem_level = 8, int strategy = Z_DEFAULT_STRATEGY) {
  std::vector<uint8_t> out = test::SystemDeflate(in, level, window_bits, mem_level, strategy);
  EXPECT_FALSE(out.empty());
  return out;
}

void Append(std::vector<uint8_t>* out, const std::vector<uint8_t>& bytes) {
  out->insert(out->end(), bytes.begin(), bytes.end());
}

// A zip local file header and its member's bytes.
void ZipMember(std::vector<uint8_t>* out, const std::string& name, uint16_t method,
               const std::vector<uint8_t>& data, uint32_t claimed = 0) {
  std::vector<uint8_t> h = {'P', 'K', 3, 4, 20, 0, 0, 0, static_cast<uint8_t>(method), 0};
  h.resize(26, 0x11);  // time, date, crc, uncompressed size: not read
  if (claimed == 0) claimed = static_cast<uint32_t>(data.size());
  for (int i = 0; i < 4; ++i) h[18 + i] = static_cast<uint8_t>(claimed >> (8 * i));
  h.push_back(static_cast<uint8_t>(name.size()));
  h.push_back(0);
  h.push_back(4);  // an extra field
  h.push_back(0);
  h.insert(h.end(), name.begin(), name.end());
  h.insert(h.end(), {0xCA, 0xFE, 0, 0});
  Append(out, h);
  Append(out, data);
}

// gzip's own output, through the shell; empty where gzip is not at hand.
std::vector<uint8_t> Gzip(const std::vector<uint8_t>& in, const char* flags) {
  test::TempDir dir;
  const std::string plain = dir.Join("plain"), packed = dir.Join("plain.gz");
  std::vector<uint8_t> out;
  if (!test::WriteFileBytes(plain, in)) return out;
  const std::string command =
      std::string("gzip ") + flags + " -c '" + plain + "' > '" + packed + "' 2>/dev/null";
  if (std::system(command.c_str()) != 0 || !test::ReadFileBytes(packed, &out)) out.clear();
  return out;
}

// The file again from the view and the kept streams, each deflated with the
// pinned deflater and its found settings.
std::vector<uint8_t> Redeflated(const std::vector<uint8_t>& view,
                                const std::vector<DeflateStream>& streams) {
  std::vector<uint8_t> out;
  size_t at = 0;
  Redeflater r;
  const DeflateSink sink = [&](const uint8_t* d, size_t n) {
    out.insert(out.end(), d, d + n);
    return true;
  };
  for (const DeflateStream& s : streams) {
    out.insert(out.end(), view.begin() + at, view.begin() + s.view_offset);
    const size_t before = out.size();
    EXPECT_TRUE(r.Start(s.params) && r.Write(view.data() + s.view_offset, s.inflated, sink) &&
                r.Finish(sink));
    EXPECT_EQ(out.size() - before, s.stored);
    at = s.view_offset + s.inflated;
  }
  out.insert(out.end(), view.begin() + at, view.end());
  return out;
}

// The same streams at the same places, in the files and in their views.
void ExpectSameStreams(const std::vector<DeflateStream>& a, const std::vector<DeflateStream>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].offset, b[i].offset);
    EXPECT_EQ(a[i].stored, b[i].stored);
    EXPECT_EQ(a[i].view_offset, b[i].view_offset);
    EXPECT_EQ(a[i].inflated, b[i].inflated);
  }
}

// The view is the file with each listed stream's bytes inflated in place.
void ExpectViewOf(const std::vector<uint8_t>& file, const std::vector<DeflateStream>& streams,
                  const std::vector<uint8_t>& view) {
  std::vector<uint8_t> expected;
  uint64_t copied = 0;
  for (const DeflateStream& s : streams) {
    expected.insert(expected.end(), file.begin() + copied, file.begin() + s.offset);
    EXPECT_EQ(s.view_offset, expected.size());
    std::vector<uint8_t> out(s.inflated);
    z_stream z{};
    ASSERT_EQ(inflateInit2(&z, -15), Z_OK);
    z.next_in = const_cast<Bytef*>(file.data() + s.offset);
    z.avail_in = static_cast<uInt>(s.stored);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(z.total_out, s.inflated);
    inflateEnd(&z);
    Append(&expected, out);
    copied = s.offset + s.stored;
  }
  expected.insert(expected.end(), file.begin() + copied, file.end());
  EXPECT_TRUE(view == expected);
}

TEST(DeflateStreamsTest, FindsStreamsAndTheSettingsThatMakeThemAgain) {
  // The streams come from the system's zlib, which deflates as the pinned copy
  // only in the same version.
  if (std::strcmp(zlibVersion(), "1.2.13") != 0) GTEST_SKIP() << "zlib " << zlibVersion();
  const std::vector<uint8_t> a = Words(30000, 1), b = Words(70000, 2), c = Words(9000, 3);
  const std::vector<uint8_t> big = Words(300000, 4);
  struct Case {
    const char* name;
    std::vector<uint8_t> file;
    size_t found;
    std::vector<std::vector<uint8_t>> kept;  // inflated bytes of the streams kept, in order
  };
  std::vector<Case> cases;
  {
    // zlib's levels and memory levels, a stored member between, the central directory after.
    std::vector<uint8_t> zip;
    ZipMember(&zip, "a.txt", 8, Deflate(a, 1, -15));
    ZipMember(&zip, "b.txt", 8, Deflate(b, 9, -15));
    ZipMember(&zip, "raw.bin", 0, c);
    ZipMember(&zip, "c.txt", 8, Deflate(c, 6, -15));
    ZipMember(&zip, "d.txt", 8, Deflate(a, 9, -15, 9));
    ZipMember(&zip, "e.txt", 8, Deflate(b, 4, -15));
    Append(&zip, test::RandomBytes(3000, 5));
    cases.push_back({"zip", zip, 5, {a, b, c, a, b}});
  }
  // Without and with the file's name in the header.
  for (const char* flags : {"-9n", "-6"}) {
    std::vector<uint8_t> gz = Gzip(big, flags);
    if (gz.empty()) continue;  // no gzip here (the Windows build's tests)
    cases.push_back({flags, gz, 1, {big}});
  }
  {
    // zlib streams amid binary bytes, one with a small window from its header.
    std::vector<uint8_t> bin = test::RandomBytes(20000, 6);
    Append(&bin, Deflate(b, 9, 15));
    Append(&bin, test::RandomBytes(5000, 7));
    Append(&bin, Deflate(c, 6, 11));
    Append(&bin, test::RandomBytes(7000, 8));
    cases.push_back({"zlib in binary", bin, 2, {b, c}});
  }
  {
    // A gzip member whose first block has the reserved type, and a member
    // cut short at the end of the file: neither is a stream.
    std::vector<uint8_t> broken = {0x1f, 0x8b, 8, 8, 0, 0, 0, 0, 0, 3, 'n', 0};
    std::vector<uint8_t> bad = Deflate(b, 6, -15);
    bad[0] |= 0x06;
    Append(&broken, bad);
    Append(&broken, test::RandomBytes(100, 10));
    std::vector<uint8_t> cut = Deflate(a, 6, -15);
    cut.resize(cut.size() / 2);
    ZipMember(&broken, "cut.txt", 8, cut);
    cases.push_back({"corrupt and truncated", broken, 0, {}});
  }
  {
    // Another deflater's stream inflates but is not made again: left as it is.
    std::vector<uint8_t> other;
    ZipMember(&other, "f.txt", 8, Deflate(c, 6, -15, 8, Z_FILTERED));
    ZipMember(&other, "h.txt", 8, Deflate(c, 6, -15, 8, Z_HUFFMAN_ONLY));
    cases.push_back({"other deflater", other, 2, {}});
  }
  {
    // No streams, with their signatures scattered over random bytes.
    std::vector<uint8_t> none = test::RandomBytes(2 << 20, 9);
    for (size_t at = 1000; at + 40 < none.size(); at += 997) {
      static const uint8_t kSigns[3][4] = {{'P', 'K', 3, 4}, {0x1f, 0x8b, 8, 0}, {0x78, 0x9c}};
      std::memcpy(&none[at], kSigns[at % 3], at % 3 == 2 ? 2 : 4);
      if (at % 3 == 0) none[at + 8] = 8, none[at + 9] = 0;
    }
    cases.push_back({"no streams", none, 0, {}});
  }

  for (const Case& t : cases) {
    SCOPED_TRACE(t.name);
    std::vector<DeflateStream> streams;
    std::vector<uint8_t> view;
    ASSERT_TRUE(
        ExpandDeflateStreams(t.file.data(), t.file.size(), uint64_t{1} << 30, &streams, &view));
    EXPECT_EQ(streams.size(), t.found);
    uint64_t grown = 0;
    for (const DeflateStream& s : streams) grown += s.inflated - s.stored;
    EXPECT_EQ(view.size(), t.file.size() + grown);
    ASSERT_TRUE(KeepReproducibleStreams(t.file.data(), t.file.size(), &streams, &view));
    ASSERT_EQ(streams.size(), t.kept.size());
    for (size_t i = 0; i < streams.size(); ++i) {
      ASSERT_EQ(streams[i].inflated, t.kept[i].size());
      EXPECT_TRUE(
          std::equal(t.kept[i].begin(), t.kept[i].end(), view.begin() + streams[i].view_offset))
          << "stream " << i;
    }
    EXPECT_TRUE(Redeflated(view, streams) == t.file);
  }

  // A view limit leaves the streams that do not fit as they are.
  const Case& zip = cases.front();
  std::vector<DeflateStream> streams;
  std::vector<uint8_t> view;
  ASSERT_TRUE(ExpandDeflateStreams(zip.file.data(), zip.file.size(), zip.file.size() + 50000,
                                   &streams, &view));
  EXPECT_LE(view.size(), zip.file.size() + 50000);
  EXPECT_GE(streams.size(), 1u);
  EXPECT_LT(streams.size(), zip.found);
  EXPECT_FALSE(ExpandDeflateStreams(zip.file.data(), zip.file.size(), 100, &streams, &view));
}

TEST(DeflateStreamsTest, MembersTakenFromAnotherFileExpandAsInflated) {
  const std::vector<uint8_t> a = Words(30000, 11), b = Words(70000, 12), c = Words(9000, 13);
  const std::vector<uint8_t> da = Deflate(a, 6, -15), db = Deflate(b, 9, -15),
                             dc = Deflate(c, 1, -15);
  std::vector<uint8_t> known_file;
  ZipMember(&known_file, "a.txt", 8, da);
  ZipMember(&known_file, "b.txt", 8, db);
  ZipMember(&known_file, "c.txt", 8, dc);
  std::vector<DeflateStream> known_streams;
  std::vector<uint8_t> known_view;
  ASSERT_TRUE(ExpandDeflateStreams(known_file.data(), known_file.size(), uint64_t{1} << 30,
                                   &known_streams, &known_view));
  ASSERT_EQ(known_streams.size(), 3u);
  const ExpandedFile known{known_file.data(), &known_streams, &known_view};

  // Shared members among changed ones; a member of a known stream's size
  // with other bytes; a header whose size is wrong; a stream with a known
  // stream's bytes plus more; a shared member cut short by the end of the file.
  std::vector<uint8_t> file = test::RandomBytes(500, 14);
  ZipMember(&file, "b.txt", 8, db);
  ZipMember(&file, "a2.txt", 8, Deflate(Words(30000, 15), 6, -15));
  ZipMember(&file, "a.txt", 8, da);
  std::vector<uint8_t> other = Deflate(Words(9000, 16), 1, -15);
  other.resize(dc.size(), 0);
  ZipMember(&file, "same size", 8, other);
  ZipMember(&file, "wrong size", 8, dc, static_cast<uint32_t>(da.size()));
  std::vector<uint8_t> longer = da;
  longer[longer.size() / 2] ^= 0x10;
  ZipMember(&file, "prefix", 8, longer, static_cast<uint32_t>(da.size() / 2));
  ZipMember(&file, "c.txt", 8, dc);
  ZipMember(&file, "cut", 8, std::vector<uint8_t>(db.begin(), db.end() - 100),
            static_cast<uint32_t>(db.size()));

  // With and without the known file, every view limit gives the same streams
  // and view, down to where the members stop fitting.
  for (uint64_t limit = file.size() + 250000; limit + 40000 >= file.size(); limit -= 20000) {
    SCOPED_TRACE(limit);
    std::vector<DeflateStream> plain, taken;
    std::vector<uint8_t> plain_view, taken_view;
    const bool plain_ok =
        ExpandDeflateStreams(file.data(), file.size(), limit, &plain, &plain_view);
    ASSERT_EQ(ExpandDeflateStreams(file.data(), file.size(), limit, &taken, &taken_view, &known),
              plain_ok);
    EXPECT_TRUE(taken_view == plain_view);
    ExpectSameStreams(taken, plain);
  }

  // The shared members' bytes do come from the known view, not inflate.
  std::vector<uint8_t> marked = known_view;
  for (const DeflateStream& s : known_streams) marked[s.view_offset] ^= 0xFF;
  const ExpandedFile doctored{known_file.data(), &known_streams, &marked};
  std::vector<DeflateStream> streams;
  std::vector<uint8_t> view;
  ASSERT_TRUE(ExpandDeflateStreams(file.data(), file.size(), uint64_t{1} << 30, &streams, &view,
                                   &doctored));
  size_t taken_from_known = 0;
  for (const DeflateStream& s : streams) {
    for (const DeflateStream& k : known_streams)
      if (s.inflated == k.inflated && view[s.view_offset] == marked[k.view_offset])
        ++taken_from_known;
  }
  EXPECT_EQ(taken_from_known, 3u);  // b, a and c; not the "prefix" or the cut one
}

// Streams of megabytes (whose output goes into the view as it comes, and is
// taken out again when the stream turns out cut), and shared members dropped
// from views that shrink (rewritten in place) or grow (members stored, whose
// deflate bytes outweigh their content); and the same streams and views when
// they are found without views and the views made from the lists.
TEST(DeflateStreamsTest, LongStreamsAndDroppedMembersKeepTheViewExact) {
  const std::vector<uint8_t> big = Words(3 << 20, 21), small = Words(40000, 22);
  const std::vector<uint8_t> dbig = Deflate(big, 6, -15), dsmall = Deflate(small, 9, -15);
  const std::vector<uint8_t> stored_like = Deflate(test::RandomBytes(200000, 23), 6, -15);
  const std::vector<uint8_t> changed = Deflate(Words(50000, 24), 6, -15);
  for (const bool shrinking : {true, false}) {
    SCOPED_TRACE(shrinking);
    const std::vector<uint8_t>& shared = shrinking ? dsmall : stored_like;
    std::vector<uint8_t> old_file = test::RandomBytes(300, 25), new_file = old_file;
    ZipMember(&old_file, "shared", 8, shared);
    ZipMember(&old_file, "big", 8, dbig);
    ZipMember(&old_file, "cut", 8, std::vector<uint8_t>(dbig.begin(), dbig.end() - 5000),
              static_cast<uint32_t>(dbig.size()));
    ZipMember(&new_file, "changed", 8, changed);
    ZipMember(&new_file, "shared", 8, shared);
    ZipMember(&new_file, "big", 8, Deflate(Words(3 << 20, 26), 6, -15));
    std::vector<DeflateStream> old_streams, new_streams;
    std::vector<uint8_t> old_view, new_view;
    ASSERT_TRUE(ExpandDeflateStreams(old_file.data(), old_file.size(), uint64_t{64} << 20,
                                     &old_streams, &old_view));
    ASSERT_TRUE(ExpandDeflateStreams(new_file.data(), new_file.size(), uint64_t{64} << 20,
                                     &new_streams, &new_view));
    ASSERT_GE(old_streams.size(), 2u);
    EXPECT_EQ(old_streams[1].inflated, big.size());
    for (const DeflateStream& s : old_streams) EXPECT_LT(s.offset, old_file.size() - dbig.size());
    ExpectViewOf(old_file, old_streams, old_view);
    ExpectViewOf(new_file, new_streams, new_view);
    // A bound the big member passes: it stays deflated, the view stays exact.
    std::vector<DeflateStream> bounded;
    std::vector<uint8_t> bounded_view;
    ASSERT_TRUE(ExpandDeflateStreams(old_file.data(), old_file.size(), old_file.size() + 1000000,
                                     &bounded, &bounded_view));
    for (const DeflateStream& s : bounded) EXPECT_LT(s.inflated, big.size());
    ExpectViewOf(old_file, bounded, bounded_view);

    // Found without views (the old file's shared member sized from the new
    // file's list), the same streams.
    std::vector<DeflateStream> old_found, new_found;
    ASSERT_TRUE(ExpandDeflateStreams(new_file.data(), new_file.size(), uint64_t{64} << 20,
                                     &new_found, nullptr));
    const ExpandedFile listed{new_file.data(), &new_found, nullptr};
    ASSERT_TRUE(ExpandDeflateStreams(old_file.data(), old_file.size(), uint64_t{64} << 20,
                                     &old_found, nullptr, &listed));
    ExpectSameStreams(old_found, old_streams);
    ExpectSameStreams(new_found, new_streams);

    const size_t old_count = old_streams.size(), new_count = new_streams.size();
    ASSERT_TRUE(DropSharedStreams(old_file.data(), old_file.size(), &old_streams, &old_view,
                                  new_file.data(), new_file.size(), &new_streams, &new_view));
    EXPECT_EQ(old_streams.size(), old_count - 1);
    EXPECT_EQ(new_streams.size(), new_count - 1);
    ExpectViewOf(old_file, old_streams, old_view);
    ExpectViewOf(new_file, new_streams, new_view);
    // Dropped from the lists alone, then the views made from them: the same.
    ASSERT_TRUE(DropSharedStreams(old_file.data(), old_file.size(), &old_found, nullptr,
                                  new_file.data(), new_file.size(), &new_found, nullptr));
    ExpectSameStreams(old_found, old_streams);
    ExpectSameStreams(new_found, new_streams);
    std::vector<uint8_t> listed_view;
    ASSERT_TRUE(ExpandListedStreams(old_file.data(), old_file.size(), &old_found, &listed_view));
    EXPECT_TRUE(listed_view == old_view);
    ASSERT_TRUE(ExpandListedStreams(new_file.data(), new_file.size(), &new_found, &listed_view));
    EXPECT_TRUE(listed_view == new_view);
    // A list that does not fit the file is refused.
    new_found.back().inflated += 1;
    EXPECT_FALSE(ExpandListedStreams(new_file.data(), new_file.size(), &new_found, &listed_view));
  }
}

// Left to choose, make tries the deflated view only where the changed
// streams are not a sliver of a large file; asked for it, it still makes it.
TEST(DeflateStreamsTest, DeflatedViewSkippedForASliverOfALargeFile) {
  const std::vector<uint8_t> body = test::RandomBytes(2 << 20, 31);
  struct Case {
    const char* name;
    size_t member;  // inflated bytes of the member that changes
    bool tried;
  } cases[] = {
      {"a few KB in 2 MiB", 3000, false},
      {"a member of over 1/64 of the file", 400000, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> old_file = body, new_file = body;
    ZipMember(&old_file, "m", 8, Deflate(Words(c.member, 32), 6, -15));
    ZipMember(&new_file, "m", 8, Deflate(Words(c.member, 33), 6, -15));
    std::vector<uint8_t> chosen, asked;
    EXPECT_EQ(EncodeRedeflateDelta(old_file.data(), old_file.size(), new_file.data(),
                                   new_file.size(), &chosen, nullptr, true),
              c.tried);
    EXPECT_TRUE(EncodeRedeflateDelta(old_file.data(), old_file.size(), new_file.data(),
                                     new_file.size(), &asked));
    if (c.tried) {
      EXPECT_TRUE(chosen == asked);
    }
  }
}

}  // namespace
}  // namespace upkeep
