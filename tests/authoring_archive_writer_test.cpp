#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "authoring/archive_writer.h"
#include "package/package.h"
#include "package_test_util.h"
#include "platform/file_system.h"
#include "test_util.h"

namespace upkeep {
namespace {

using test::Bytes;
using test::Entry;
using test::PackageTableGuard;
using test::TempDir;

TEST(AuthoringArchiveWriterTest, PinnedLayout) {
  std::vector<uint8_t> image;
  ASSERT_TRUE(BuildPackage(Bytes("STUB"), {Entry("dir/a.txt", "xy")}, &image));
  std::vector<uint8_t> expected = Bytes("STUBxy");
  auto u32 = [&expected](uint32_t v) {
    for (int i = 0; i < 4; ++i) expected.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  u32(2);  // entry count, at offset 6
  u32(0);
  u32(4);
  u32(0);
  u32(11);
  for (char c : std::string("UPKEEP.EXE")) expected.push_back(static_cast<uint8_t>(c));
  expected.push_back(0);
  u32(4);
  u32(2);
  u32(0);
  u32(10);
  for (char c : std::string("DIR\\A.TXT")) expected.push_back(static_cast<uint8_t>(c));
  expected.push_back(0);
  u32(6);  // the directory's offset
  EXPECT_EQ(image, expected);
}

TEST(AuthoringArchiveWriterTest, RefusesNamesNoRequestCouldFind) {
  std::vector<uint8_t> image;
  std::string error;
  EXPECT_FALSE(BuildPackage({}, {Entry("a.txt", "1"), Entry("A.TXT", "2")}, &image, &error));
  EXPECT_NE(error.find("duplicate"), std::string::npos);
  EXPECT_FALSE(BuildPackage({}, {Entry("x/../a.txt", "1"), Entry("a.txt", "2")}, &image));
  EXPECT_FALSE(BuildPackage({}, {Entry("upkeep.exe", "1")}, &image));  // the stub's record
  EXPECT_FALSE(BuildPackage({}, {Entry("", "1")}, &image));
  EXPECT_FALSE(BuildPackage({}, {Entry(std::string(1024, 'n'), "1")}, &image));
  EXPECT_FALSE(BuildPackage({}, {Entry(std::string("a\0b", 3), "1")}, &image));
  EXPECT_TRUE(BuildPackage({}, {Entry(std::string(1023, 'n'), "1")}, &image));
}

TEST(AuthoringArchiveWriterTest, WrittenPackagesReadBack) {
  PackageTableGuard guard;
  TempDir dir;
  std::string stub_path = dir.Join("stub.exe");
  std::vector<uint8_t> stub = test::RandomBytes(4096, 12);
  ASSERT_TRUE(test::WriteFileBytes(stub_path, stub));
  std::vector<uint8_t> big = test::RandomBytes(100000, 13);
  std::vector<ArchiveEntry> entries = {Entry("Strings.scr", "String A \"b\""),
                                       Entry("data\\big.bin", big),
                                       Entry("packed.txt", std::string(3000, 'q'), true)};
  ArchiveOptions options;
  options.stub_entry_name = "patch.exe";
  std::string out = dir.Join("Out.exe");
  ASSERT_TRUE(WritePackageWithStubFile(out, stub_path, entries, nullptr, options));
  EXPECT_NE(OpenPackage(out.c_str()), nullptr);
  const PackageArchive& archive = *OpenPackages().back();
  ASSERT_EQ(archive.entries.size(), 4u);
  EXPECT_EQ(archive.entries[0]->name, "PATCH.EXE");
  EXPECT_EQ(archive.entries[0]->size, stub.size());
  std::vector<uint8_t> data;
  ASSERT_TRUE(test::ReadWhole("patch.exe", &data));
  EXPECT_EQ(data, stub);
  ASSERT_TRUE(test::ReadWhole("DATA/BIG.BIN", &data));
  EXPECT_TRUE(data == big);
  ASSERT_TRUE(test::ReadWhole("packed.txt", &data));
  EXPECT_EQ(data, std::vector<uint8_t>(3000, 'q'));
  EXPECT_LT(archive.entries[3]->packedSize, 3000u / 5);  // 12 bits per 9 bytes

  // Bare: the first record is empty and every entry still resolves.
  std::string bare = dir.Join("bare.pak");
  ASSERT_TRUE(WritePackageWithStubFile(bare, "", {Entry("PATCH.SCR", "s")}));
  EXPECT_NE(OpenPackage(bare.c_str()), nullptr);
  EXPECT_EQ(OpenPackages().back()->entries[0]->size, 0u);
  EXPECT_EQ(OpenPackages().back()->entries[1]->offset, 0u);
}

// Fails every write once `budget` bytes have gone through.
class FailingWrites : public FileSystemWrapper {
 public:
  explicit FailingWrites(int64_t budget) : FileSystemWrapper(DefaultFileSystem()), budget_(budget) {
    SetFileSystem(this);
  }
  ~FailingWrites() override { SetFileSystem(nullptr); }
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    std::unique_ptr<File> inner = target()->Open(path, mode);
    if (inner == nullptr || mode != OpenMode::kWrite) return inner;
    return std::unique_ptr<File>(new Limited(std::move(inner), &budget_));
  }
  bool fail_moves = false;
  bool Move(const std::string& from, const std::string& to) override {
    return !fail_moves && target()->Move(from, to);
  }

 private:
  class Limited : public File {
   public:
    Limited(std::unique_ptr<File> inner, int64_t* budget)
        : inner_(std::move(inner)), budget_(budget) {}
    int64_t Read(void* d, size_t n) override { return inner_->Read(d, n); }
    int64_t Write(const void* s, size_t n) override {
      if (static_cast<int64_t>(n) > *budget_) return -1;
      *budget_ -= static_cast<int64_t>(n);
      return inner_->Write(s, n);
    }
    int64_t Seek(int64_t o, SeekOrigin w) override { return inner_->Seek(o, w); }
    int64_t Size() override { return inner_->Size(); }

   private:
    std::unique_ptr<File> inner_;
    int64_t* budget_;
  };
  int64_t budget_;
};

TEST(AuthoringArchiveWriterTest, NothingAtTheTargetUnlessComplete) {
  TempDir dir;
  std::string out = dir.Join("u.exe");
  std::vector<ArchiveEntry> entries = {Entry("A.BIN", test::RandomBytes(5000, 1)),
                                       Entry("B.BIN", test::RandomBytes(5000, 2))};
  for (int64_t budget : {0, 100, 3000, 9000, 10050}) {
    FailingWrites fs(budget);
    std::string error;
    EXPECT_FALSE(WritePackage(out, Bytes("stub"), entries, &error)) << budget;
    EXPECT_FALSE(PathExists(out));
    EXPECT_FALSE(PathExists(out + ".part"));
  }
  // An earlier package survives a failed rewrite, and a good one replaces it.
  ASSERT_TRUE(WritePackage(out, Bytes("old"), entries));
  std::vector<uint8_t> old_bytes;
  ASSERT_TRUE(test::ReadFileBytes(out, &old_bytes));
  {
    FailingWrites fs(50);
    EXPECT_FALSE(WritePackage(out, Bytes("new"), entries));
  }
  {
    FailingWrites fs(1 << 30);
    fs.fail_moves = true;
    EXPECT_FALSE(WritePackage(out, Bytes("new"), entries));
    EXPECT_FALSE(PathExists(out + ".part"));
  }
  std::vector<uint8_t> now;
  ASSERT_TRUE(test::ReadFileBytes(out, &now));
  EXPECT_EQ(now, old_bytes);
  ASSERT_TRUE(WritePackage(out, Bytes("new"), entries));
  ASSERT_TRUE(test::ReadFileBytes(out, &now));
  EXPECT_EQ(std::vector<uint8_t>(now.begin(), now.begin() + 3), Bytes("new"));
  EXPECT_FALSE(PathExists(out + ".old"));
}

}  // namespace
}  // namespace upkeep
