// The package table: opening, closing, lookups across packages, and refusal
// of malformed archives.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "authoring/archive_writer.h"
#include "authoring/version_resource_writer.h"
#include "package/package.h"
#include "package_test_util.h"
#include "test_util.h"

namespace upkeep {
namespace {

using test::Bytes;
using test::Entry;
using test::PackageTableGuard;
using test::ReadWhole;
using test::TempDir;
using test::TrackingFileSystem;

std::string ReadText(const char* name) {
  std::vector<uint8_t> bytes;
  if (!ReadWhole(name, &bytes)) return "<none>";
  return std::string(bytes.begin(), bytes.end());
}

void PutU32(std::vector<uint8_t>* image, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*image)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetU32(const std::vector<uint8_t>& image, size_t at) {
  return image[at] | image[at + 1] << 8 | image[at + 2] << 16 | uint32_t{image[at + 3]} << 24;
}

TEST(PackageArchiveTest, OpensWithTheStubAsFirstEntry) {
  PackageTableGuard guard;
  TempDir dir;
  std::vector<uint8_t> stub = test::TestStub();
  std::string path =
      test::WriteTestPackage(dir, "Update.exe",
                             {Entry("patch.scr", "Version 1 {}"), Entry("data/Readme.txt", "hello"),
                              Entry("00000001.FILE", std::vector<uint8_t>(300, 7), true)},
                             stub);
  ASSERT_FALSE(path.empty());
  size_t before = OpenPackages().size();
  const PackageArchive* opened = OpenPackage(path.c_str());
  ASSERT_EQ(OpenPackages().size(), before + 1);
  ASSERT_EQ(opened, OpenPackages().back().get());

  const PackageArchive& archive = *opened;
  std::string upper = path;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(archive.name, upper);
  EXPECT_EQ(archive.path, path);
  ASSERT_EQ(archive.entryCount, 4);
  ASSERT_EQ(archive.entries.size(), 4u);
  EXPECT_EQ(archive.entries[0]->offset, 0u);
  EXPECT_EQ(archive.entries[0]->size, stub.size());
  EXPECT_EQ(archive.entries[1]->name, "PATCH.SCR");
  EXPECT_EQ(archive.entries[1]->offset, stub.size());
  EXPECT_EQ(archive.entries[2]->name, "DATA\\README.TXT");
  EXPECT_EQ(archive.entries[3]->name, "00000001.FILE");
  EXPECT_NE(archive.entries[3]->packedSize, 0u);
  for (const auto& e : archive.entries) {
    EXPECT_EQ(e->tag, kPackageEntryTag);
    EXPECT_EQ(e->position, 0);
  }
  std::vector<uint8_t> image;
  ASSERT_TRUE(ReadWhole(archive.entries[0]->name.c_str(), &image));
  EXPECT_EQ(image, stub);
  EXPECT_EQ(ReadText("data/readme.txt"), "hello");
}

TEST(PackageArchiveTest, MissingFileLeavesTableUnchanged) {
  PackageTableGuard guard;
  TempDir dir;
  size_t before = OpenPackages().size();
  EXPECT_EQ(OpenPackage(dir.Join("absent.exe").c_str()), nullptr);
  EXPECT_EQ(OpenPackage(std::string(1024, 'a').c_str()), nullptr);  // longer than any path
  EXPECT_EQ(OpenPackages().size(), before);
  EXPECT_EQ(ClosePackage(dir.Join("absent.exe").c_str()), -1);
}

TEST(PackageArchiveTest, SamePathTwiceClosedOnceStaysReadable) {
  PackageTableGuard guard;
  TempDir dir;
  std::string path = test::WriteTestPackage(dir, "u.exe", {Entry("PATCH.SCR", "script")});
  size_t before = OpenPackages().size();
  EXPECT_NE(OpenPackage(path.c_str()), nullptr);
  EXPECT_NE(OpenPackage(path.c_str()), nullptr);
  EXPECT_EQ(OpenPackages().size(), before + 2);
  // The name is matched upper-cased, so any spelling closes it.
  std::string lower = path;
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(ClosePackage(lower.c_str()), 0);
  EXPECT_EQ(OpenPackages().size(), before + 1);
  EXPECT_EQ(ReadText("patch.scr"), "script");
  EXPECT_EQ(ClosePackage(path.c_str()), 0);
  EXPECT_EQ(OpenPackages().size(), before);
  EXPECT_EQ(ClosePackage(path.c_str()), -1);
  EXPECT_EQ(ReadText("patch.scr"), "<none>");  // no disk file of that name either
}

TEST(PackageArchiveTest, SeveralPackagesSearchedInOpeningOrder) {
  PackageTableGuard guard;
  TempDir dir;
  std::string first = test::WriteTestPackage(dir, "first.exe",
                                             {Entry("PATCH.SCR", "one"), Entry("ONLY1.TXT", "a")});
  std::string second = test::WriteTestPackage(dir, "second.exe",
                                              {Entry("PATCH.SCR", "two"), Entry("ONLY2.TXT", "b")});
  ASSERT_NE(OpenPackage(first.c_str()), nullptr);
  const PackageArchive* record = OpenPackage(second.c_str());
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(ReadText("Patch.scr"), "one");
  EXPECT_EQ(ReadText("only1.txt"), "a");
  EXPECT_EQ(ReadText("only2.txt"), "b");
  // A given package's own entries, whatever is open before it, never the disk.
  PackageEntry* own = FindPackageEntry(*record, "data/../Patch.scr");
  ASSERT_NE(own, nullptr);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(ReadPackageEntry(own, &bytes));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "two");
  EXPECT_EQ(FindPackageEntry(*record, "only1.txt"), nullptr);
  // Closing the first keeps the order of the rest and uncovers the second's entry.
  ASSERT_EQ(ClosePackage(first.c_str()), 0);
  EXPECT_EQ(ReadText("patch.scr"), "two");
  EXPECT_EQ(ReadText("only1.txt"), "<none>");
}

// Offsets of the fields of a package built with one stub and entries, for
// corrupting them one at a time.
struct Image {
  std::vector<uint8_t> bytes;
  size_t dir = 0;  // entryCount
  size_t trailer = 0;
  size_t record(int i) const {  // records with a 10-byte name ("UPKEEP.EXE" and "ENTRY%d.BIN")
    return dir + 4 + static_cast<size_t>(i) * (16 + 11);
  }
};

Image MakeImage(bool packed_second) {
  Image image;
  std::vector<ArchiveEntry> entries = {
      Entry("ENTRY1.BIN", test::RandomBytes(64, 1)),
      Entry("ENTRY2.BIN", std::vector<uint8_t>(200, 'x'), packed_second)};
  EXPECT_TRUE(BuildPackage(test::RandomBytes(100, 9), entries, &image.bytes));
  image.trailer = image.bytes.size() - 4;
  image.dir = GetU32(image.bytes, image.trailer);
  return image;
}

class PackageArchiveMalformedTest : public ::testing::Test {
 protected:
  // True when OpenPackage refused the bytes, left the table alone and read
  // nothing outside the file.
  bool Refused(const std::vector<uint8_t>& bytes) {
    std::string path = dir_.Join("bad" + std::to_string(counter_++) + ".exe");
    EXPECT_TRUE(test::WriteFileBytes(path, bytes));
    TrackingFileSystem fs;
    size_t before = OpenPackages().size();
    const PackageArchive* opened = OpenPackage(path.c_str());
    bool refused = opened == nullptr && OpenPackages().size() == before;
    if (!refused) {
      EXPECT_EQ(opened, OpenPackages().back().get());
    }
    EXPECT_EQ(fs.reads_outside, 0);
    EXPECT_EQ(fs.live, refused ? 0 : 1);
    if (!refused) ClosePackage(path.c_str());
    return refused;
  }

  PackageTableGuard guard_;
  TempDir dir_;
  int counter_ = 0;
};

TEST_F(PackageArchiveMalformedTest, WellFormedImageIsAccepted) {
  EXPECT_FALSE(Refused(MakeImage(false).bytes));
  EXPECT_FALSE(Refused(MakeImage(true).bytes));
  // Packing at its densest (long runs of one byte) stays within what the
  // directory check believes a packed entry can yield.
  std::vector<uint8_t> image;
  ASSERT_TRUE(BuildPackage(test::RandomBytes(100, 9),
                           {Entry("ZERO.BIN", std::vector<uint8_t>(1 << 20, 0), true)}, &image));
  EXPECT_FALSE(Refused(image));
}

// Opening succeeds by the directory alone: entries without bytes, or none at
// all, are a package like any other.
TEST_F(PackageArchiveMalformedTest, PackagesWithoutContentAreAccepted) {
  std::vector<uint8_t> image;
  ASSERT_TRUE(BuildPackage({}, {Entry("EMPTY.TXT", std::string())}, &image));
  EXPECT_FALSE(Refused(image));
  EXPECT_FALSE(Refused({0, 0, 0, 0, 0, 0, 0, 0}));  // no entries: count 0, directory at 0
}

TEST_F(PackageArchiveMalformedTest, TrailerAndDirectoryOutsideTheFile) {
  Image base = MakeImage(false);
  EXPECT_TRUE(Refused({}));
  EXPECT_TRUE(Refused({1, 2, 3}));
  EXPECT_TRUE(Refused({0, 0, 0, 0, 0, 0, 0}));  // 7 bytes: no room for count and trailer
  for (uint32_t dir : {0xFFFFFFFFu, 0x7FFFFFFFu, static_cast<uint32_t>(base.trailer),
                       static_cast<uint32_t>(base.trailer - 3)}) {
    Image image = base;
    PutU32(&image.bytes, image.trailer, dir);
    EXPECT_TRUE(Refused(image.bytes)) << dir;
  }
  // Cut off the end: the trailer is then whatever bytes come last.
  for (size_t cut : {1, 4, 20, 60}) {
    Image image = base;
    image.bytes.resize(image.bytes.size() - cut);
    EXPECT_TRUE(Refused(image.bytes)) << cut;
  }
}

TEST_F(PackageArchiveMalformedTest, AbsurdCountsAndNameLengths) {
  Image base = MakeImage(false);
  for (uint32_t count : {0xFFFFFFFFu, 0x80000000u, kMaxPackageEntries + 1, 4u, 1000u}) {
    Image image = base;
    PutU32(&image.bytes, image.dir, count);
    EXPECT_TRUE(Refused(image.bytes)) << count;
  }
  for (uint32_t length : {0u, 0xFFFFFFFFu, kMaxEntryNameLength + 1, 10000u, 12u}) {
    Image image = base;
    PutU32(&image.bytes, image.record(2) + 12, length);
    EXPECT_TRUE(Refused(image.bytes)) << length;
  }
  Image unterminated = base;
  unterminated.bytes[unterminated.record(1) + 16 + 10] = 'X';
  EXPECT_TRUE(Refused(unterminated.bytes));
}

TEST_F(PackageArchiveMalformedTest, EntriesOutsideTheFile) {
  Image base = MakeImage(true);
  const uint32_t file_size = static_cast<uint32_t>(base.bytes.size());
  struct Case {
    int record;
    int field;  // 0 offset, 4 size, 8 packedSize
    uint32_t value;
  } cases[] = {
      {1, 0, 0xFFFFFFF0u},   {1, 0, file_size},   {1, 4, 0xFFFFFFFFu}, {1, 4, file_size},
      {0, 4, file_size + 1}, {2, 8, 0xFFFFFFFFu}, {2, 8, file_size},   {2, 8, 7},
      {2, 0, file_size - 8}, {2, 4, 0x40000000u},  // a gigabyte from a few packed bytes
  };
  for (const Case& c : cases) {
    Image image = base;
    PutU32(&image.bytes, image.record(c.record) + static_cast<size_t>(c.field), c.value);
    EXPECT_TRUE(Refused(image.bytes)) << c.record << "/" << c.field << "=" << c.value;
  }
}

// A signed program: the package lies below the certificate table that the
// signer appended (after zero padding up to 8 bytes), never after it.
TEST_F(PackageArchiveMalformedTest, SignedProgramReadsBelowItsCertificateTable) {
  const std::vector<ArchiveEntry> entries = {Entry("PATCH.SCR", "script"),
                                             Entry("00000001.FILE", test::RandomBytes(77, 3))};
  const std::vector<uint8_t> stub = WriteVersionedPe(VersionResource());
  const size_t security = 0x40 + 24 + 96 + 4 * 8;  // data directory 4 of that PE32 image
  // sign(alignment, padding byte, bytes after the table, table size change)
  auto sign = [&](uint32_t alignment, uint8_t pad, size_t after, int64_t misstate) {
    ArchiveOptions options;
    options.end_alignment = alignment;
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(BuildPackage(stub, entries, &bytes, nullptr, options));
    while (bytes.size() % 8 != 0) bytes.push_back(pad);
    const size_t table = bytes.size();
    const std::vector<uint8_t> certificate = test::RandomBytes(600, 5);
    bytes.insert(bytes.end(), certificate.begin(), certificate.end());
    PutU32(&bytes, security, static_cast<uint32_t>(table));
    PutU32(&bytes, security + 4, static_cast<uint32_t>(certificate.size() + misstate));
    bytes.resize(bytes.size() + after, 0);
    return bytes;
  };
  for (uint32_t alignment : {8u, 1u}) {
    std::vector<uint8_t> bytes = sign(alignment, 0, 0, 0);
    std::string path = dir_.Join("signed" + std::to_string(alignment) + ".exe");
    ASSERT_TRUE(test::WriteFileBytes(path, bytes));
    ASSERT_NE(OpenPackage(path.c_str()), nullptr) << alignment;
    EXPECT_EQ(OpenPackages().back()->entries.size(), 3u);
    EXPECT_EQ(ReadText("patch.scr"), "script");
    std::vector<uint8_t> payload;
    EXPECT_TRUE(ReadWhole("00000001.FILE", &payload));
    EXPECT_EQ(payload, test::RandomBytes(77, 3));
    EXPECT_EQ(ClosePackage(path.c_str()), 0);
  }
  // The unpadded package needs padding to 8 here, or the case proves nothing.
  std::vector<uint8_t> unpadded;
  ASSERT_TRUE(BuildPackage(stub, entries, &unpadded));
  ASSERT_NE(unpadded.size() % 8, 0u);
  EXPECT_TRUE(Refused(sign(1, 0xCC, 0, 0)));  // padding that is not zeros
  EXPECT_TRUE(Refused(sign(8, 0, 1, 0)));     // appended after the table
  EXPECT_TRUE(Refused(sign(8, 0, 4096, 0)));
  EXPECT_TRUE(Refused(sign(8, 0, 0, 1)));   // a table said to reach past the file
  EXPECT_TRUE(Refused(sign(8, 0, 0, -1)));  // or to end before it
  // The archive may not reach into the table: the trailer of a package whose
  // table was cut back in front of it is not found.
  std::vector<uint8_t> inside = sign(8, 0, 0, 0);
  const uint32_t table = GetU32(inside, security);
  PutU32(&inside, security, table - 8);
  PutU32(&inside, security + 4, static_cast<uint32_t>(inside.size()) - (table - 8));
  EXPECT_TRUE(Refused(inside));
}

// Random damage to a valid archive must never crash, never read outside the
// file, and any archive still accepted must be readable entry by entry.
TEST_F(PackageArchiveMalformedTest, RandomCorruptionNeverReadsOutside) {
  Image base = MakeImage(true);
  std::mt19937 rng(1234);
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> bytes = base.bytes;
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      // Mostly the directory and trailer, where the reader's trust lies.
      size_t from = rng() % 4 == 0 || bytes.size() <= base.dir ? 0 : base.dir;
      size_t at = from + rng() % (bytes.size() - from);
      switch (rng() % 4) {
        case 0:
          bytes[at] = static_cast<uint8_t>(rng());
          break;
        case 1:
          bytes[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
          break;
        case 2:
          if (at + 4 <= bytes.size()) PutU32(&bytes, at, rng());
          break;
        default:
          bytes.resize(at);
          break;
      }
      if (bytes.size() < 2) break;
    }
    std::string path = dir_.Join("fuzz.exe");
    ASSERT_TRUE(test::WriteFileBytes(path, bytes));
    TrackingFileSystem fs;
    size_t before = OpenPackages().size();
    const PackageArchive* opened = OpenPackage(path.c_str());
    ASSERT_EQ(OpenPackages().size(), before + (opened != nullptr ? 1 : 0));
    if (opened != nullptr) {
      std::vector<std::string> names;
      for (const auto& entry : OpenPackages().back()->entries) names.push_back(entry->name);
      for (const std::string& name : names) {
        if (name.empty()) continue;
        std::vector<uint8_t> data;
        ReadWhole(name.c_str(), &data);
        ReadWhole(name.c_str(), &data, "rt");
      }
      EXPECT_EQ(ClosePackage(path.c_str()), 0);
    }
    EXPECT_EQ(fs.reads_outside, 0) << "round " << round;
    EXPECT_EQ(fs.live, 0);
    ASSERT_EQ(OpenPackages().size(), before);
  }
}

}  // namespace
}  // namespace upkeep
