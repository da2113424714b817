// Packages with a manifest and data volumes: the layout the writer makes, the
// reader's cross-checks, and the check of every byte against the digests.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "package/manifest.h"
#include "package/package.h"
#include "package/package_check.h"
#include "package_test_util.h"

namespace upkeep {
namespace {

using test::Entry;

std::vector<ArchiveEntry> Entries() {
  return {Entry("patch.scr", "!all()\r\nall() {}\r\n"),
          Entry("Strings.scr", "!String(s,s)\r\nString(\"A\", \"b\")\r\n"),
          Entry("00000001.FILE", test::RandomBytes(10000, 1)),
          Entry("00000002.DELTA", test::RandomBytes(5000, 2)),
          Entry("00000003.FILEX", test::RandomBytes(30000, 3))};
}

// A package of Entries() whose payloads spill into volumes of 8 KiB.
std::string Write(const test::TempDir& dir, const std::string& file = "update.exe",
                  std::vector<std::string>* volumes = nullptr) {
  ArchiveOptions options;
  options.manifest = true;
  options.volume_size = 8192;
  options.end_alignment = 8;
  const std::string path = dir.Join(file);
  std::string error;
  EXPECT_TRUE(WritePackage(path, test::TestStub(), Entries(), &error, options, volumes)) << error;
  return path;
}

void FlipByte(const std::string& path, uint64_t at) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekg(static_cast<std::streamoff>(at));
  char c = 0;
  f.read(&c, 1);
  c = static_cast<char>(c ^ 0x10);
  f.seekp(static_cast<std::streamoff>(at));
  f.write(&c, 1);
}

uint64_t FileSize(const std::string& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  return static_cast<uint64_t>(f.tellg());
}

void Resize(const std::string& path, uint64_t size) {
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(test::ReadFileBytes(path, &bytes));
  bytes.resize(static_cast<size_t>(size), 0x5A);
  ASSERT_TRUE(test::WriteFileBytes(path, bytes));
}

std::vector<const PackageEntry*> All(const PackageArchive& archive) {
  std::vector<const PackageEntry*> all;
  for (const auto& e : archive.entries) all.push_back(e.get());
  return all;
}

TEST(PackageVolumesTest, PayloadsSpillIntoVolumesAndReadAcrossThem) {
  test::PackageTableGuard guard;
  test::TempDir dir;
  std::vector<std::string> volumes;
  const std::string path = Write(dir, "update.exe", &volumes);
  // 45000 payload bytes in volumes of 8192; the scripts stay in the program.
  ASSERT_EQ(volumes.size(), 6u);
  for (size_t i = 0; i < volumes.size(); ++i) {
    EXPECT_EQ(volumes[i], dir.Join(VolumeFileName("update.exe", i)));
    EXPECT_EQ(FileSize(volumes[i]), i + 1 < volumes.size() ? 8192u : 45000u - 5 * 8192u);
  }
  EXPECT_LE(FileSize(path), 8192u);
  PackageProblem problem;
  PackageArchive* archive = OpenPackage(path.c_str(), &problem);
  ASSERT_NE(archive, nullptr) << problem.kind;
  EXPECT_TRUE(archive->hasManifest);
  ASSERT_EQ(archive->volumeList.size(), 6u);
  for (const ArchiveEntry& want : Entries()) {
    PackageEntry* e = FindPackageEntry(*archive, want.name.c_str());
    ASSERT_NE(e, nullptr) << want.name;
    EXPECT_EQ(e->inVolumes, want.name.find(".FILE") != std::string::npos ||
                                want.name.find(".DELTA") != std::string::npos)
        << want.name;
    EXPECT_TRUE(e->hasDigest);
    std::vector<uint8_t> got;
    ASSERT_TRUE(ReadPackageEntry(e, &got)) << want.name;
    EXPECT_EQ(got, want.data) << want.name;
    // A positional read across a volume's end.
    if (e->inVolumes && e->size > 100) {
      std::vector<uint8_t> part(100);
      ASSERT_TRUE(ReadEntryAt(*e, e->size - 100, part.data(), part.size()));
      EXPECT_TRUE(std::equal(part.begin(), part.end(), want.data.end() - 100));
    }
  }
  std::string damaged;
  EXPECT_TRUE(CheckPackageData(*archive, All(*archive), nullptr, &damaged)) << damaged;
}

// Each damage a download can suffer, and what the reader makes of it: refused
// at once naming the file, or found by the check of the data.
TEST(PackageVolumesTest, DamageIsFoundAndNamed) {
  test::PackageTableGuard guard;
  enum Found { kOpens, kRefused, kCheckFails };
  // Where the program file's parts are, learnt before the damage (a package
  // holds its files open, which Windows lets nobody change).
  struct Places {
    uint64_t strings = 0;
    uint64_t manifest = 0;
    uint64_t manifest_end = 0;
  };
  struct Case {
    const char* what;
    std::function<void(const test::TempDir&, const std::string&, const Places&)> damage;
    Found found;
    PackageProblem::Kind kind;  // when refused
    std::string file;           // the file named: a volume's name, or "" for the program
  };
  const auto volume = [](const test::TempDir& dir, size_t i) {
    return dir.Join(VolumeFileName("update.exe", i));
  };
  const Case cases[] = {
      {"a volume removed",
       [&](const test::TempDir& d, const std::string&, const Places&) {
         std::remove(volume(d, 2).c_str());
       },
       kRefused, PackageProblem::kVolumeMissing, VolumeFileName("update.exe", 2)},
      {"a volume cut short",
       [&](const test::TempDir& d, const std::string&, const Places&) {
         Resize(volume(d, 1), 8191);
       },
       kRefused, PackageProblem::kVolumeWrongSize, VolumeFileName("update.exe", 1)},
      {"a volume with bytes added",
       [&](const test::TempDir& d, const std::string&, const Places&) {
         Resize(volume(d, 5), FileSize(volume(d, 5)) + 1);
       },
       kRefused, PackageProblem::kVolumeWrongSize, VolumeFileName("update.exe", 5)},
      {"a byte flipped in a volume",
       [&](const test::TempDir& d, const std::string&, const Places&) {
         FlipByte(volume(d, 3), 4000);
       },
       kCheckFails, PackageProblem::kNone, VolumeFileName("update.exe", 3)},
      {"a byte flipped in the last payload, the last byte of all",
       [&](const test::TempDir& d, const std::string&, const Places&) {
         FlipByte(volume(d, 5), FileSize(volume(d, 5)) - 1);
       },
       kCheckFails, PackageProblem::kNone, VolumeFileName("update.exe", 5)},
      {"a byte flipped in the string table",
       [&](const test::TempDir&, const std::string& p, const Places& at) {
         FlipByte(p, at.strings + 20);
       },
       kCheckFails, PackageProblem::kNone, ""},
      {"a byte flipped in the manifest",
       [&](const test::TempDir&, const std::string& p, const Places& at) {
         FlipByte(p, at.manifest + 30);
       },
       kRefused, PackageProblem::kManifestDamaged, ""},
      {"the manifest's footer damaged",
       [&](const test::TempDir&, const std::string& p, const Places& at) {
         FlipByte(p, at.manifest_end - 1);
       },
       kRefused, PackageProblem::kManifestDamaged, ""},
      {"the string table's record names another entry",
       [&](const test::TempDir&, const std::string& p, const Places&) {
         std::vector<uint8_t> bytes;
         test::ReadFileBytes(p, &bytes);
         const std::string name = "STRINGS.SCR";
         const auto at = std::search(bytes.rbegin(), bytes.rend(), name.rbegin(), name.rend());
         FlipByte(p, static_cast<uint64_t>(bytes.rend() - at) - 1);
       },
       kRefused, PackageProblem::kManifestDamaged, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    const std::string path = Write(dir);
    Places places;
    {
      PackageArchive* before = OpenPackage(path.c_str());
      ASSERT_NE(before, nullptr);
      places.strings = FindPackageEntry(*before, "Strings.scr")->offset;
      const PackageEntry* m = FindPackageEntry(*before, kManifestEntryName);
      places.manifest = m->offset;
      places.manifest_end = m->offset + m->size;
      ClosePackage(path.c_str());
    }
    c.damage(dir, path, places);
    PackageProblem problem;
    PackageArchive* archive = OpenPackage(path.c_str(), &problem);
    const std::string named = c.file.empty() ? path : dir.Join(c.file);
    if (c.found == kRefused) {
      EXPECT_EQ(archive, nullptr);
      EXPECT_EQ(problem.kind, c.kind);
      EXPECT_EQ(problem.file, named);
      continue;
    }
    ASSERT_NE(archive, nullptr) << problem.kind;
    std::string damaged;
    EXPECT_EQ(CheckPackageData(*archive, All(*archive), nullptr, &damaged), c.found == kOpens);
    EXPECT_EQ(damaged, c.found == kOpens ? "" : named);
    ClosePackage(path.c_str());
  }
}

// A download saved under another name finds its volumes by their own names,
// or by its new name when they were renamed with it.
TEST(PackageVolumesTest, RenamedDownloadsFindTheirVolumes) {
  test::PackageTableGuard guard;
  test::TempDir dir;
  const std::string path = Write(dir);
  const std::string renamed = dir.Join("Game Update (1).exe");
  ASSERT_EQ(std::rename(path.c_str(), renamed.c_str()), 0);
  PackageArchive* archive = OpenPackage(renamed.c_str());
  ASSERT_NE(archive, nullptr);
  EXPECT_EQ(archive->volumeList[0].path, dir.Join(VolumeFileName("update.exe", 0)));
  ClosePackage(renamed.c_str());
  for (size_t i = 0; i < 6; ++i) {
    ASSERT_EQ(std::rename(dir.Join(VolumeFileName("update.exe", i)).c_str(),
                          dir.Join(VolumeFileName(renamed, i)).c_str()),
              0);
  }
  archive = OpenPackage(renamed.c_str());
  ASSERT_NE(archive, nullptr);
  EXPECT_EQ(archive->volumeList[5].path, dir.Join("Game Update (1)-6.upkd"));
  std::string damaged;
  EXPECT_TRUE(CheckPackageData(*archive, All(*archive), nullptr, &damaged)) << damaged;
}

// A package in the format without a manifest is read as it always was: no
// digests, nothing to check, nothing refused for the lack of them.
TEST(PackageVolumesTest, PackagesWithoutManifestReadAsBefore) {
  test::PackageTableGuard guard;
  test::TempDir dir;
  const std::string path = test::WriteTestPackage(dir, "plain.exe", Entries());
  PackageArchive* archive = OpenPackage(path.c_str());
  ASSERT_NE(archive, nullptr);
  EXPECT_FALSE(archive->hasManifest);
  EXPECT_EQ(archive->entries.size(), Entries().size() + 1);
  for (const auto& e : archive->entries) EXPECT_FALSE(e->hasDigest || e->inVolumes);
  std::string damaged;
  EXPECT_TRUE(CheckPackageData(*archive, All(*archive), nullptr, &damaged));
}

}  // namespace
}  // namespace upkeep
