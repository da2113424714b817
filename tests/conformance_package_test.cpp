// Packages laid out the way another writer may lay them out: data in any
// order with gaps, the directory before or between the entries, padded names,
// shared data, archive-level packing, other zlib settings, LF-only scripts and
// lower-case checksums. A whole update must run on them exactly as on ours.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "authoring/packed_entry_encoder.h"
#include "engine/command_context.h"
#include "engine/script_runner.h"
#include "engine_test_util.h"
#include "package/package.h"
#include "package_test_util.h"
#include "test_util.h"

namespace upkeep {
namespace {

using test::Crlf;

void PutU32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A payload (zlib stream, Adler-32, length) made with the given zlib settings.
std::vector<uint8_t> Payload(const std::vector<uint8_t>& data, int level, int windowBits,
                             int strategy) {
  std::vector<uint8_t> out = test::SystemDeflate(data, level, windowBits, 8, strategy);
  EXPECT_FALSE(out.empty());
  uLong adler = adler32(1L, data.data(), static_cast<uInt>(data.size()));
  PutU32(&out, static_cast<uint32_t>(adler));
  PutU32(&out, static_cast<uint32_t>(data.size()));
  return out;
}

std::string LowerCrc(const std::vector<uint8_t>& bytes) {
  std::string text = test::CrcText(bytes);
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

struct OtherEntry {
  std::string name;
  std::vector<uint8_t> data;  // what the entry yields
  bool packed = false;
  int sharesWith = -1;  // index of an earlier entry whose stored bytes it reuses
};

enum class DirectoryPlace { kBeforeEntries, kAfterEntries };

// Lays out stub, then the entries' stored bytes in reverse order with junk
// between them, the directory where asked, junk, and the trailer. Names are
// stored with extra NUL padding counted in nameLength.
std::vector<uint8_t> OtherLayout(const std::vector<uint8_t>& stub,
                                 const std::vector<OtherEntry>& entries, DirectoryPlace place) {
  std::vector<std::vector<uint8_t>> stored(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!entries[i].packed) {
      stored[i] = entries[i].data;
    } else {
      EXPECT_TRUE(EncodePackedEntry(entries[i].data.data(), entries[i].data.size(), &stored[i]));
    }
  }
  size_t directory_size = 4 + 16 + 9 + 1 + 4;  // count, the stub's record ("OTHER.EXE")
  for (const OtherEntry& e : entries) directory_size += 16 + e.name.size() + 1 + 4;

  std::vector<uint8_t> image = stub;
  std::vector<uint32_t> offsets(entries.size());
  const uint8_t junk[] = {0xDE, 0xAD, 0xBE, 0xEF, 0x55, 0xAA, 0x01};
  auto add_junk = [&image, &junk](size_t n) {
    for (size_t i = 0; i < n; ++i) image.push_back(junk[i % sizeof junk]);
  };
  add_junk(7);
  uint32_t directory_offset = 0;
  if (place == DirectoryPlace::kBeforeEntries) {
    directory_offset = static_cast<uint32_t>(image.size());
    image.resize(image.size() + directory_size);
    add_junk(3);
  }
  for (size_t k = entries.size(); k-- > 0;) {
    if (entries[k].sharesWith >= 0) continue;
    offsets[k] = static_cast<uint32_t>(image.size());
    image.insert(image.end(), stored[k].begin(), stored[k].end());
    add_junk(1 + k % 3);
  }
  for (size_t k = 0; k < entries.size(); ++k) {
    if (entries[k].sharesWith >= 0) offsets[k] = offsets[entries[k].sharesWith];
  }
  if (place == DirectoryPlace::kAfterEntries) {
    add_junk(5);
    directory_offset = static_cast<uint32_t>(image.size());
    image.resize(image.size() + directory_size);
  }

  std::vector<uint8_t> dir;
  auto record = [&dir](uint32_t offset, uint32_t size, uint32_t packed, const std::string& name) {
    PutU32(&dir, offset);
    PutU32(&dir, size);
    PutU32(&dir, packed);
    PutU32(&dir, static_cast<uint32_t>(name.size() + 1 + 4));
    dir.insert(dir.end(), name.begin(), name.end());
    dir.insert(dir.end(), 5, 0);
  };
  PutU32(&dir, static_cast<uint32_t>(entries.size() + 1));
  record(0, static_cast<uint32_t>(stub.size()), 0, "OTHER.EXE");
  for (size_t i = 0; i < entries.size(); ++i) {
    const OtherEntry& e = entries[i];
    size_t source = e.sharesWith >= 0 ? static_cast<size_t>(e.sharesWith) : i;
    record(offsets[i], static_cast<uint32_t>(e.data.size()),
           entries[source].packed ? static_cast<uint32_t>(stored[source].size()) : 0, e.name);
  }
  EXPECT_EQ(dir.size(), directory_size);
  std::copy(dir.begin(), dir.end(), image.begin() + directory_offset);
  add_junk(6);
  PutU32(&image, directory_offset);
  return image;
}

// A delta as another encoder may write it: copies out of order and
// overlapping, empty records of both kinds, one record reaching the old end.
std::vector<uint8_t> OtherDelta(const std::vector<uint8_t>& old_data,
                                std::vector<uint8_t>* new_data) {
  std::vector<uint8_t> delta;
  new_data->clear();
  auto copy = [&](uint32_t offset, uint32_t length) {
    PutU32(&delta, 0x80000000u | length);
    PutU32(&delta, offset);
    new_data->insert(new_data->end(), old_data.begin() + offset,
                     old_data.begin() + offset + length);
  };
  auto insert = [&](const std::vector<uint8_t>& bytes) {
    PutU32(&delta, static_cast<uint32_t>(bytes.size()));
    delta.insert(delta.end(), bytes.begin(), bytes.end());
    new_data->insert(new_data->end(), bytes.begin(), bytes.end());
  };
  const uint32_t n = static_cast<uint32_t>(old_data.size());
  copy(n / 2, n / 4);
  insert({'X', 'Y', 'Z'});
  copy(0, n / 3);
  copy(n / 4, n / 2);  // overlaps both earlier copies
  insert({});
  copy(0, 0);
  copy(n - 100, 100);  // up to the last byte
  copy(n, 0);          // empty, at the very end
  insert(test::RandomBytes(5000, 3));
  return delta;
}

class ConformancePackageTest : public ::testing::TestWithParam<DirectoryPlace> {
 protected:
  test::PackageTableGuard guard_;
  test::TempDir game_;
  test::TempDir package_dir_;
};

TEST_P(ConformancePackageTest, AnotherWritersPackageUpdatesExactlyAsOurs) {
  std::vector<uint8_t> old_data = test::RandomBytes(40000, 1);
  std::vector<uint8_t> new_data;
  std::vector<uint8_t> delta = OtherDelta(old_data, &new_data);
  std::vector<uint8_t> created(3000, 'c');
  std::vector<uint8_t> more = test::RandomBytes(2000, 2);
  ASSERT_TRUE(test::WriteFileBytes(game_.Join("old.bin"), old_data));

  // LF line ends only, lower-case entry names and checksums.
  std::string script =
      "!Version(s, s)\n!all()\n!CheckFile(s, s)\n!CreateFile(s, s, s)\n"
      "!PatchFile(s, s, s, s)\n"
      "Version(\"1.0.0\", \"1.0.1\") {\n"
      "  CheckFile(\"old.bin\", \"" +
      LowerCrc(old_data) +
      "\")\n"
      "  CreateFile(\"a.dat\", \"00000001.file\", \"" +
      LowerCrc(created) +
      "\")\n"
      "  CreateFile(\"b.dat\", \"00000009.file\", \"" +
      LowerCrc(created) +
      "\")\n"
      "  CreateFile(\"c.dat\", \"00000003.file\", \"" +
      LowerCrc(more) +
      "\")\n"
      "  PatchFile(\"old.bin\", \"00000002.delta\", \"0\", \"" +
      LowerCrc(new_data) +
      "\")\n"
      "}\n";
  std::vector<OtherEntry> entries(5);
  entries[0] = {"00000001.FILE", Payload(created, 0, 15, Z_DEFAULT_STRATEGY), true};
  entries[1] = {"PATCH.SCR", std::vector<uint8_t>(script.begin(), script.end()), true};
  entries[2] = {"00000002.DELTA", Payload(delta, 9, 9, Z_FIXED), false};
  entries[3] = {"00000009.FILE", entries[0].data, true, 0};
  entries[4] = {"00000003.FILE", Payload(more, 1, 12, Z_HUFFMAN_ONLY), false};
  std::string package = package_dir_.Join("other.exe");
  ASSERT_TRUE(
      test::WriteFileBytes(package, OtherLayout(test::RandomBytes(3000, 9), entries, GetParam())));

  std::string log_path = game_.path() + "\\patch.log";
  PackageFile* log = OpenPackageFile(log_path.c_str(), "wt");
  ASSERT_NE(log, nullptr);
  RunRequest request;
  request.packagePath = package;
  request.sourceRoot = game_.path();
  request.targetRoot = game_.path();
  request.log = log;
  request.currentVersion = "1.0.0";
  request.linkBaseDir = game_.path() + "\\";
  request.gameExecutable = "game.exe";
  int32_t code = RunUpdateScript(request);
  ClosePackageFile(log);
  EXPECT_EQ(code, kRunSucceeded);
  std::string root = game_.path() + "\\";
  EXPECT_EQ(test::ReadFileText(game_.Join("patch.log")),
            Crlf("Created file: " + root + "a.dat\nCreated file: " + root +
                 "b.dat\nCreated file: " + root + "c.dat\nUpdated file: " + root + "old.bin\n"));
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(test::ReadFileBytes(game_.Join("old.bin"), &bytes));
  EXPECT_EQ(bytes, new_data);
  ASSERT_TRUE(test::ReadFileBytes(game_.Join("b.dat"), &bytes));
  EXPECT_EQ(bytes, created);
  ASSERT_TRUE(test::ReadFileBytes(game_.Join("c.dat"), &bytes));
  EXPECT_EQ(bytes, more);
}

INSTANTIATE_TEST_SUITE_P(DirectoryPlaces, ConformancePackageTest,
                         ::testing::Values(DirectoryPlace::kBeforeEntries,
                                           DirectoryPlace::kAfterEntries));

}  // namespace
}  // namespace upkeep
