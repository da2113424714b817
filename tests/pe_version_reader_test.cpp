#include "platform/pe_version_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "authoring/version_resource_writer.h"
#include "test_util.h"

namespace upkeep {
namespace {

using test::TempDir;

VersionResource Sample() {
  VersionResource r;
  r.file_version[0] = 2;
  r.product_version[0] = 2;
  r.product_version[2] = 1;
  r.product_version[3] = 4;
  r.tables.push_back({"040904e4", {{"ProductVersion", "2.0.1.4en"}, {"FileDescription", "Game"}}});
  r.tables.push_back({"041504e2", {{"ProductVersion", "2.0.1.4pl"}}});
  r.translations = {0x04e40409u, 0x04e20415u};
  return r;
}

struct Block {
  std::vector<uint8_t> data;
  bool ok = false;
};

Block Load(const std::string& path) {
  Block b;
  uint32_t size = PeVersionInfoSize(path);
  if (size == 0) return b;
  b.data.assign(size, 0);
  b.ok = PeVersionInfo(path, size, b.data.data());
  return b;
}

// The text of a string value up to its terminator, or "<missing>".
std::string Text(Block* b, const std::string& sub) {
  const uint8_t* v = nullptr;
  uint32_t n = 0;
  if (!PeQueryVersionValue(b->data.data(), static_cast<uint32_t>(b->data.size()), sub, &v, &n)) {
    return "<missing>";
  }
  return std::string(reinterpret_cast<const char*>(v),
                     strnlen(reinterpret_cast<const char*>(v), n));
}

std::vector<uint8_t> Bytes(Block* b, const std::string& sub) {
  const uint8_t* v = nullptr;
  uint32_t n = 0;
  if (!PeQueryVersionValue(b->data.data(), static_cast<uint32_t>(b->data.size()), sub, &v, &n)) {
    return {};
  }
  return std::vector<uint8_t>(v, v + n);
}

std::string WritePe(const TempDir& dir, const std::string& name, const std::vector<uint8_t>& pe) {
  std::string path = dir.Join(name);
  EXPECT_TRUE(test::WriteFileBytes(path, pe));
  return path;
}

TEST(PeVersionReader, ReadsBlockAndAnswersQueriesLikeTheSystem) {
  TempDir dir;
  for (bool plus : {false, true}) {
    std::vector<uint8_t> resource = WriteVersionResource(Sample());
    std::string path = WritePe(dir, plus ? "a64.exe" : "a32.exe", WriteVersionedPe(Sample(), plus));
    EXPECT_EQ(PeVersionInfoSize(path), resource.size() * 2 + 4);
    Block b = Load(path);
    ASSERT_TRUE(b.ok);
    // The raw resource, then the mark the system leaves behind it.
    EXPECT_TRUE(std::equal(resource.begin(), resource.end(), b.data.begin()));
    EXPECT_EQ(std::string(b.data.begin() + resource.size(), b.data.begin() + resource.size() + 4),
              "FE2X");

    std::vector<uint8_t> fixed = Bytes(&b, "\\");
    ASSERT_EQ(fixed.size(), 52u);
    EXPECT_EQ(fixed[0], 0xBD);
    EXPECT_EQ(fixed[3], 0xFE);
    EXPECT_EQ(Bytes(&b, ""), fixed);  // an empty path is the root
    EXPECT_EQ(Bytes(&b, "\\VarFileInfo\\Translation"),
              (std::vector<uint8_t>{0x09, 0x04, 0xe4, 0x04, 0x15, 0x04, 0xe2, 0x04}));
    EXPECT_EQ(Text(&b, "\\StringFileInfo\\040904e4\\ProductVersion"), "2.0.1.4en");
    EXPECT_EQ(Text(&b, "\\StringFileInfo\\041504e2\\ProductVersion"), "2.0.1.4pl");
    // Keys compare without case; empty components are skipped.
    EXPECT_EQ(Text(&b, "\\stringfileinfo\\040904E4\\PRODUCTVERSION"), "2.0.1.4en");
    EXPECT_EQ(Text(&b, "StringFileInfo\\\\040904e4\\ProductVersion\\"), "2.0.1.4en");
    EXPECT_EQ(Text(&b, "\\StringFileInfo\\040904e4\\Product"), "<missing>");
    EXPECT_EQ(Text(&b, "\\StringFileInfo\\040904e4\\ProductVersionX"), "<missing>");
    EXPECT_EQ(Text(&b, "\\StringFileInfo\\040704e4\\ProductVersion"), "<missing>");
    // Text comes back counted with its terminator.
    const uint8_t* v = nullptr;
    uint32_t n = 0;
    ASSERT_TRUE(PeQueryVersionValue(b.data.data(), static_cast<uint32_t>(b.data.size()),
                                    "\\StringFileInfo\\040904e4\\FileDescription", &v, &n));
    EXPECT_EQ(n, 5u);
    EXPECT_GE(v, b.data.data() + resource.size() + 4);  // converted into the spare half
  }
}

TEST(PeVersionReader, PicksTheResourceLanguageAsTheLoaderDoes) {
  TempDir dir;
  auto resource = [](const char* product, uint16_t language) {
    VersionResource r;
    r.tables.push_back({"040904e4", {{"ProductVersion", product}}});
    r.translations = {0x04e40409u};
    PeResourceEntry e;
    e.language = language;
    e.data = WriteVersionResource(r);
    return e;
  };
  struct Case {
    std::vector<PeResourceEntry> entries;
    const char* expected;
  } cases[] = {
      {{resource("pl", 0x0415), resource("neutral", 0x0000), resource("us", 0x0409)}, "neutral"},
      {{resource("pl", 0x0415), resource("us", 0x0409)}, "us"},
      {{resource("pl", 0x0415), resource("de", 0x0407)}, "de"},  // the first entry
      {{resource("en", 0x0009), resource("pl", 0x0415)}, "en"},
  };
  int i = 0;
  for (const Case& c : cases) {
    std::string path = WritePe(dir, "lang" + std::to_string(i++) + ".exe", WritePeImage(c.entries));
    Block b = Load(path);
    ASSERT_TRUE(b.ok);
    EXPECT_EQ(Text(&b, "\\StringFileInfo\\040904e4\\ProductVersion"), c.expected);
  }
  // Only name 1 of type 16 counts.
  PeResourceEntry other = resource("x", 0x0409);
  other.id = 2;
  PeResourceEntry icon = resource("y", 0x0409);
  icon.type = 14;
  EXPECT_EQ(PeVersionInfoSize(WritePe(dir, "other.exe", WritePeImage({other, icon}))), 0u);
}

TEST(PeVersionReader, OddLayoutsWalkAsTheSystemWalksThem) {
  TempDir dir;
  VersionNode root = MakeVersionTree(Sample());
  VersionNode& table = root.children[0].children[0];
  // A text stored without its terminator, an empty text, an odd-length key.
  VersionNode bare;
  bare.key = u"Bare";
  bare.type = 1;
  bare.value = {'a', 0, 'b', 0, 'c', 0};
  table.children.push_back(bare);
  VersionNode empty;
  empty.key = u"Empty";
  empty.type = 1;
  table.children.push_back(empty);
  VersionNode odd;
  odd.key = u"Odd";
  odd.type = 1;
  odd.value = VersionText("x");
  table.children.push_back(odd);
  PeResourceEntry e;
  e.data = WriteVersionBlock(root);
  Block b = Load(WritePe(dir, "odd.exe", WritePeImage({e})));
  ASSERT_TRUE(b.ok);
  EXPECT_EQ(Bytes(&b, "\\StringFileInfo\\040904e4\\Bare"), (std::vector<uint8_t>{'a', 'b', 'c'}));
  EXPECT_EQ(Text(&b, "\\StringFileInfo\\040904e4\\Empty"), "");
  EXPECT_EQ(Text(&b, "\\StringFileInfo\\040904e4\\Odd"), "x");
  EXPECT_EQ(Text(&b, "\\StringFileInfo\\040904e4\\ProductVersion"), "2.0.1.4en");

  // A child whose length is zero is still found itself, but ends the search
  // of the siblings after it.
  std::vector<uint8_t> block = WriteVersionResource(Sample());
  const std::u16string key = u"ProductVersion";
  const std::vector<uint8_t> pattern(reinterpret_cast<const uint8_t*>(key.data()),
                                     reinterpret_cast<const uint8_t*>(key.data() + key.size()));
  auto at = std::search(block.begin(), block.end(), pattern.begin(), pattern.end());
  ASSERT_NE(at, block.end());
  size_t node = static_cast<size_t>(at - block.begin()) - 6;
  block[node] = 0;
  block[node + 1] = 0;
  PeResourceEntry z;
  z.data = block;
  Block zb = Load(WritePe(dir, "zero.exe", WritePeImage({z})));
  ASSERT_TRUE(zb.ok);
  EXPECT_EQ(Text(&zb, "\\StringFileInfo\\040904e4\\ProductVersion"), "2.0.1.4en");
  EXPECT_EQ(Text(&zb, "\\StringFileInfo\\040904e4\\FileDescription"), "<missing>");
}

TEST(PeVersionReader, FilesWithoutAResourceOrWithBrokenHeadersHaveNone) {
  TempDir dir;
  EXPECT_EQ(PeVersionInfoSize(dir.Join("missing.exe")), 0u);
  EXPECT_EQ(PeVersionInfoSize(WritePe(dir, "text.exe", {'M', 'Z', 'h', 'i'})), 0u);
  EXPECT_EQ(PeVersionInfoSize(WritePe(dir, "empty.exe", {})), 0u);
  EXPECT_EQ(PeVersionInfoSize(WritePe(dir, "none.exe", WritePeImage({}))), 0u);
  uint8_t buf[8];
  EXPECT_FALSE(PeVersionInfo(dir.Join("missing.exe"), sizeof(buf), buf));

  const std::vector<uint8_t> good = WriteVersionedPe(Sample());
  auto patched = [&](size_t at, uint32_t value) {
    std::vector<uint8_t> pe = good;
    for (int k = 0; k < 4; ++k) pe[at + k] = static_cast<uint8_t>(value >> (8 * k));
    return pe;
  };
  const size_t nt = 0x40, optional = nt + 24, section = optional + 224;
  // e_lfanew far away, a huge section count, the resource directory and the
  // section moved out of the file, a data entry with an enormous size.
  EXPECT_EQ(PeVersionInfoSize(WritePe(dir, "b1.exe", patched(0x3C, 0xFFFFFFF0u))), 0u);
  EXPECT_EQ(PeVersionInfoSize(WritePe(dir, "b2.exe", patched(nt + 4, 0xFFFF0000u | 0x14C))), 0u);
  EXPECT_EQ(PeVersionInfoSize(WritePe(dir, "b3.exe", patched(optional + 96 + 16, 0x7FFFF000u))),
            0u);
  EXPECT_EQ(PeVersionInfoSize(WritePe(dir, "b4.exe", patched(section + 20, 0x7FFFFF00u))), 0u);
  EXPECT_EQ(PeVersionInfoSize(WritePe(dir, "b5.exe", patched(optional + 92, 2))), 0u);
  std::vector<uint8_t> big = good;
  // The first data entry sits after the three 24-byte directories.
  const size_t data_entry = 0x200 + 3 * 24;
  big[data_entry + 4] = 0;
  big[data_entry + 5] = 0;
  big[data_entry + 6] = 0x40;  // 4 MiB
  EXPECT_EQ(PeVersionInfoSize(WritePe(dir, "b6.exe", big)), 0u);
}

TEST(PeVersionReader, DamagedFilesAndBlocksNeverReadOutOfBounds) {
  TempDir dir;
  const std::vector<uint8_t> good = WriteVersionedPe(Sample());
  const std::string path = dir.Join("damaged.exe");
  std::mt19937 rng(11);
  const char* queries[] = {"\\", "\\VarFileInfo\\Translation",
                           "\\StringFileInfo\\040904e4\\ProductVersion",
                           "\\StringFileInfo\\041504e2\\ProductVersion"};
  for (size_t cut = 0; cut < good.size(); cut += 7) {
    ASSERT_TRUE(test::WriteFileBytes(path, std::vector<uint8_t>(good.begin(), good.begin() + cut)));
    Block b = Load(path);
    if (b.ok) Text(&b, queries[2]);
  }
  for (int round = 0; round < 400; ++round) {
    std::vector<uint8_t> pe = good;
    int flips = 1 + static_cast<int>(rng() % 6);
    for (int k = 0; k < flips; ++k) {
      // Mostly inside the resource section, where the structure is.
      size_t at = (rng() % 4 != 0) ? 0x200 + rng() % (pe.size() - 0x200) : rng() % pe.size();
      pe[at] = static_cast<uint8_t>(rng());
    }
    ASSERT_TRUE(test::WriteFileBytes(path, pe));
    Block b = Load(path);
    if (!b.ok) continue;
    for (const char* q : queries) {
      const uint8_t* v = nullptr;
      uint32_t n = 0;
      if (PeQueryVersionValue(b.data.data(), static_cast<uint32_t>(b.data.size()), q, &v, &n)) {
        ASSERT_GE(v, b.data.data());
        ASSERT_LE(v + n, b.data.data() + b.data.size());
      }
    }
  }
  // Blocks smaller than they claim, or with no room for the converted text.
  std::vector<uint8_t> block = WriteVersionResource(Sample());
  for (size_t n = 0; n <= block.size(); n += 3) {
    std::vector<uint8_t> part(block.begin(), block.begin() + n);
    const uint8_t* v = nullptr;
    uint32_t len = 0;
    if (PeQueryVersionValue(part.data(), static_cast<uint32_t>(part.size()), queries[2], &v,
                            &len)) {
      EXPECT_LE(v + len, part.data() + part.size());
    }
  }
}

}  // namespace
}  // namespace upkeep
