#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "platform/file_system.h"
#include "platform/stream.h"
#include "test_util.h"

namespace upkeep {
namespace {

using test::TempDir;

std::vector<std::string> Names(const std::vector<FindEntry>& entries) {
  std::vector<std::string> names;
  for (const auto& e : entries) {
    if (e.name != "." && e.name != "..") names.push_back(e.name);
  }
  return names;
}

TEST(PlatformWildcard, WindowsRules) {
  EXPECT_TRUE(MatchWildcard("*.*", "name"));
  EXPECT_TRUE(MatchWildcard("*.*", "name.ext"));
  EXPECT_TRUE(MatchWildcard("bank*.*", "BANK01.DAT"));
  EXPECT_TRUE(MatchWildcard("bank*.*", "bank"));
  EXPECT_TRUE(MatchWildcard("bank*.*", "BankFile"));
  EXPECT_FALSE(MatchWildcard("bank*.*", "mybank.dat"));
  EXPECT_TRUE(MatchWildcard("*.lnk", "Game.LNK"));
  EXPECT_FALSE(MatchWildcard("*.lnk", "Game.lnk2"));
  EXPECT_TRUE(MatchWildcard("a?c", "abc"));
  EXPECT_FALSE(MatchWildcard("a?c", "ac"));
  EXPECT_TRUE(MatchWildcard("*a*b*c*", "xxaxxbxxcxx"));
  EXPECT_FALSE(MatchWildcard("*a*b*c*", "xxaxxcxxbxx"));
}

// A view lets go only of whole pages inside the range, its short last page
// included, and never past its end however long the range.
TEST(PlatformFiles, ReleaseTakesWholePagesOnly) {
  struct Case {
    uint64_t size, offset, length;
    bool any;
    uint64_t from, to;
  } cases[] = {
      {10000, 0, 4096, true, 0, 4096},        {10000, 1, 8191, true, 4096, 8192},
      {10000, 100, 4000, false, 0, 0},        {10000, 4096, UINT64_MAX, true, 4096, 10000},
      {10000, 8000, 2000, true, 8192, 10000}, {10000, 10000, 5, false, 0, 0},
      {8192, 0, 8192, true, 0, 8192},         {10000, 0, 9999, true, 0, 8192},
  };
  for (const Case& c : cases) {
    uint64_t from = 0, to = 0;
    EXPECT_EQ(WholePagesIn(c.size, 4096, c.offset, c.length, &from, &to), c.any)
        << c.size << " " << c.offset << " " << c.length;
    if (c.any) {
      EXPECT_EQ(from, c.from) << c.offset;
      EXPECT_EQ(to, c.to) << c.offset;
    }
  }
}

TEST(PlatformFiles, ReadOnlyFilesBehaveAsOnWindows) {
  TempDir dir;
  std::string path = dir.Join("ro.bin");
  ASSERT_TRUE(test::WriteFileText(path, "abc"));
  FileSystem* fs = GetFileSystem();
  ASSERT_TRUE(fs->SetAttributes(path, kAttrReadOnly));
  EXPECT_NE(fs->GetAttributes(path) & kAttrReadOnly, 0u);
  EXPECT_EQ(fs->Open(path, OpenMode::kWrite), nullptr);
  EXPECT_FALSE(fs->Delete(path));
  EXPECT_EQ(fs->Open(path, OpenMode::kTestExclusive), nullptr);
  ASSERT_TRUE(fs->SetAttributes(path, kAttrNormal));
  EXPECT_EQ(fs->GetAttributes(path) & kAttrReadOnly, 0u);
  EXPECT_NE(fs->Open(path, OpenMode::kTestExclusive), nullptr);
  EXPECT_TRUE(fs->Delete(path));
  EXPECT_FALSE(PathExists(path));
}

TEST(PlatformFiles, MoveRefusesExistingTarget) {
  TempDir dir;
  std::string a = dir.Join("a.txt"), b = dir.Join("b.txt");
  ASSERT_TRUE(test::WriteFileText(a, "A"));
  ASSERT_TRUE(test::WriteFileText(b, "B"));
  FileSystem* fs = GetFileSystem();
  EXPECT_FALSE(fs->Move(a, b));
  EXPECT_EQ(test::ReadFileText(b), "B");
  EXPECT_FALSE(fs->Move(dir.Join("missing"), dir.Join("c.txt")));
  ASSERT_TRUE(fs->Delete(b));
  EXPECT_TRUE(fs->Move(a, b));
  EXPECT_EQ(test::ReadFileText(b), "A");
  EXPECT_FALSE(PathExists(a));
}

TEST(PlatformFiles, DirectoriesOneLevelAtATime) {
  TempDir dir;
  FileSystem* fs = GetFileSystem();
  EXPECT_EQ(fs->CreateDir(dir.Join("x/y")), CreateDirResult::kFailed);
  EXPECT_EQ(fs->CreateDir(dir.Join("x")), CreateDirResult::kCreated);
  EXPECT_EQ(fs->CreateDir(dir.Join("x")), CreateDirResult::kAlreadyExists);
  EXPECT_TRUE(IsDirectory(dir.Join("x")));
  ASSERT_TRUE(test::WriteFileText(dir.Join("x/f"), "1"));
  EXPECT_FALSE(fs->RemoveDir(dir.Join("x")));
  EXPECT_FALSE(fs->Delete(dir.Join("x")));
  ASSERT_TRUE(fs->Delete(dir.Join("x/f")));
  EXPECT_TRUE(fs->RemoveDir(dir.Join("x")));
  EXPECT_EQ(fs->Open(dir.path(), OpenMode::kRead), nullptr);
}

TEST(PlatformFiles, FindMatchesWithoutRegardToCase) {
  TempDir dir;
  for (const char* n : {"BANK1.DAT", "bank2", "Bank3.x", "other.dat", "mybank"}) {
    ASSERT_TRUE(test::WriteFileText(dir.Join(n), n));
  }
  ASSERT_EQ(GetFileSystem()->CreateDir(dir.Join("bankdir")), CreateDirResult::kCreated);
  std::vector<FindEntry> found;
  ASSERT_TRUE(GetFileSystem()->Find(dir.Join("bank*.*"), &found));
  std::vector<std::string> names = Names(found);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"BANK1.DAT", "Bank3.x", "bank2", "bankdir"}));
  for (const auto& e : found) {
    if (e.name == "bankdir") {
      EXPECT_NE(e.attributes & kAttrDirectory, 0u);
    }
    if (e.name == "BANK1.DAT") {
      EXPECT_EQ(e.size, 9u);
    }
  }
  EXPECT_FALSE(GetFileSystem()->Find(dir.Join("nope/*.*"), &found));
}

TEST(PlatformFiles, MappingSeesTheBytes) {
  TempDir dir;
  std::vector<uint8_t> bytes = test::RandomBytes(100000, 7);
  ASSERT_TRUE(test::WriteFileBytes(dir.Join("m"), bytes));
  auto view = GetFileSystem()->MapFile(dir.Join("m"));
  ASSERT_NE(view, nullptr);
  ASSERT_EQ(view->size(), 100000u);
  ASSERT_NE(view->data(), nullptr);
  EXPECT_EQ(memcmp(view->data(), bytes.data(), bytes.size()), 0);
  // The view holds the file open: others may read it, nobody may take it whole.
  EXPECT_NE(GetFileSystem()->Open(dir.Join("m"), OpenMode::kRead), nullptr);
  EXPECT_EQ(GetFileSystem()->Open(dir.Join("m"), OpenMode::kTestExclusive), nullptr);
  view.reset();
  EXPECT_NE(GetFileSystem()->Open(dir.Join("m"), OpenMode::kTestExclusive), nullptr);
  // An empty file opens without a mapping; a missing one does not open.
  ASSERT_TRUE(test::WriteFileBytes(dir.Join("e"), {}));
  auto empty = GetFileSystem()->MapFile(dir.Join("e"));
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->size(), 0u);
  EXPECT_EQ(empty->data(), nullptr);
  EXPECT_EQ(GetFileSystem()->MapFile(dir.Join("none")), nullptr);
}

// Positional reads: at any 64-bit offset (past 4 GiB in a sparse file), short
// only at the end, and sharing no cursor, with Read or with each other.
TEST(PlatformFiles, ReadAtReadsWhereAskedAndMovesNothing) {
  TempDir dir;
  const uint64_t far = (uint64_t{5} << 30) + 12345;
  const std::vector<uint8_t> near = test::RandomBytes(70000, 3), mark = test::RandomBytes(600, 4);
  {
    auto w = GetFileSystem()->Open(dir.Join("s"), OpenMode::kWrite);
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(w->Write(near.data(), near.size()), static_cast<int64_t>(near.size()));
    ASSERT_EQ(w->Seek(static_cast<int64_t>(far), SeekOrigin::kBegin), static_cast<int64_t>(far));
    ASSERT_EQ(w->Write(mark.data(), mark.size()), static_cast<int64_t>(mark.size()));
  }
  auto f = GetFileSystem()->Open(dir.Join("s"), OpenMode::kRead);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(static_cast<uint64_t>(f->Size()), far + mark.size());
  uint8_t first[10];
  ASSERT_EQ(f->Read(first, sizeof first), 10);
  std::vector<uint8_t> got(mark.size() + 100);
  // Past 4 GiB, and across the end: short there, and 0 past it.
  EXPECT_EQ(f->ReadAt(far, got.data(), mark.size()), static_cast<int64_t>(mark.size()));
  EXPECT_TRUE(std::equal(mark.begin(), mark.end(), got.begin()));
  EXPECT_EQ(f->ReadAt(far + 100, got.data(), got.size()), static_cast<int64_t>(mark.size() - 100));
  EXPECT_EQ(f->ReadAt(far + mark.size(), got.data(), 10), 0);
  EXPECT_EQ(f->ReadAt(uint64_t{4} << 30, got.data(), 16), 16);  // inside the hole
  EXPECT_EQ(got[0] | got[15], 0);
#ifndef _WIN32
  // pread leaves the cursor where the plain read left it (Windows moves it:
  // a file is read by position or in order, never both).
  ASSERT_EQ(f->Read(first, sizeof first), 10);
  EXPECT_TRUE(std::equal(first, first + 10, near.begin() + 10));
#endif
  // Threads reading one file at once each get their own bytes.
  std::vector<std::thread> readers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      uint8_t buffer[1000];
      for (int i = 0; i < 200; ++i) {
        const uint64_t at = static_cast<uint64_t>((t * 7919 + i * 131) % (near.size() - 1000));
        if (f->ReadAt(at, buffer, sizeof buffer) != 1000 ||
            !std::equal(buffer, buffer + 1000, near.begin() + static_cast<ptrdiff_t>(at))) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& r : readers) r.join();
  EXPECT_EQ(wrong.load(), 0);
}

// Large writes start the disk early (a flush beside the writer under Wine):
// two files written in turn, one closed without a flush while its write-back
// may still run, must come out whole, and the other's flush must succeed.
TEST(PlatformFiles, LargeWritesFlushedBesideTheWriter) {
  TempDir dir;
  const std::vector<uint8_t> piece = test::RandomBytes(1 << 20, 11);
  auto a = GetFileSystem()->Open(dir.Join("a"), OpenMode::kWrite);
  auto b = GetFileSystem()->Open(dir.Join("b"), OpenMode::kWriteExclusive);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  constexpr int kPieces = 24;
  for (int i = 0; i < kPieces; ++i) {
    ASSERT_EQ(a->Write(piece.data(), piece.size()), static_cast<int64_t>(piece.size()));
    if (i < kPieces / 2) {
      ASSERT_EQ(b->Write(piece.data(), piece.size()), static_cast<int64_t>(piece.size()));
    }
    if (i == kPieces / 2) b.reset();
  }
  EXPECT_TRUE(a->Flush());
  a.reset();
  for (const auto& [name, pieces] :
       {std::make_pair("a", kPieces), std::make_pair("b", kPieces / 2)}) {
    std::vector<uint8_t> back;
    ASSERT_TRUE(test::ReadFileBytes(dir.Join(name), &back)) << name;
    ASSERT_EQ(back.size(), piece.size() * pieces) << name;
    for (int i = 0; i < pieces; ++i) {
      ASSERT_EQ(memcmp(back.data() + i * piece.size(), piece.data(), piece.size()), 0) << name;
    }
  }
}

TEST(PlatformFiles, CurrentDirectoryAndFreeSpace) {
  TempDir dir;
  FileSystem* fs = GetFileSystem();
  std::string before = fs->GetCurrentDir();
  ASSERT_FALSE(before.empty());
  ASSERT_TRUE(fs->SetCurrentDir(dir.path()));
  ASSERT_TRUE(test::WriteFileText(dir.Join("here"), "x"));
  EXPECT_TRUE(PathExists("here"));
  EXPECT_TRUE(fs->SetCurrentDir(before));
  EXPECT_FALSE(fs->SetCurrentDir(dir.Join("missing")));
  uint64_t free_bytes = 0;
  EXPECT_TRUE(fs->GetFreeBytes(dir.path(), &free_bytes));
  EXPECT_GT(free_bytes, 0u);
}

TEST(PlatformStream, TextModeWritesCrLfAndReadsItBack) {
  TempDir dir;
  std::string path = dir.Join("t.txt");
  {
    auto s = Stream::Open(path, "wt");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->Printf("a\nb %d\n", 5), 6);
    EXPECT_EQ(s->Write("\r\n", 2), 2u);
    EXPECT_EQ(s->Close(), 0);
  }
  EXPECT_EQ(test::ReadFileText(path), "a\r\nb 5\r\n\r\r\n");
  auto r = Stream::Open(path, "rt");
  ASSERT_NE(r, nullptr);
  char buf[32] = {0};
  size_t n = r->Read(buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n), "a\nb 5\n\r\n");
  EXPECT_EQ(r->Tell(), 11);
  auto b = Stream::Open(path, "rb");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->Read(buf, sizeof buf), 11u);
}

TEST(PlatformStream, TextModeStopsAtCtrlZAndDefaultsToText) {
  TempDir dir;
  std::string path = dir.Join("z.txt");
  ASSERT_TRUE(test::WriteFileText(path, std::string("ab\r\ncd\x1a"
                                                    "ef",
                                                    9)));
  auto r = Stream::Open(path, "r");
  ASSERT_NE(r, nullptr);
  char buf[16];
  size_t n = r->Read(buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n), "ab\ncd");
  EXPECT_EQ(r->Read(buf, sizeof buf), 0u);
  EXPECT_TRUE(r->eof());
  ASSERT_EQ(r->Seek(7, SeekOrigin::kBegin), 0);
  n = r->Read(buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n), "ef");
}

TEST(PlatformStream, SeekTellAndBadModes) {
  TempDir dir;
  std::string path = dir.Join("s.bin");
  ASSERT_TRUE(test::WriteFileBytes(path, test::RandomBytes(200000, 3)));
  auto r = Stream::Open(path, "rb");
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(r->Seek(0, SeekOrigin::kEnd), 0);
  EXPECT_EQ(r->Tell(), 200000);
  ASSERT_EQ(r->Seek(-10, SeekOrigin::kCurrent), 0);
  EXPECT_EQ(r->Tell(), 199990);
  EXPECT_NE(r->Seek(-1, SeekOrigin::kBegin), 0);
  std::vector<uint8_t> all(200000);
  ASSERT_EQ(r->Seek(0, SeekOrigin::kBegin), 0);
  EXPECT_EQ(r->Read(all.data(), all.size()), 200000u);
  EXPECT_EQ(all, test::RandomBytes(200000, 3));
  EXPECT_EQ(Stream::Open(path, "a"), nullptr);
  EXPECT_EQ(Stream::Open(path, "rw"), nullptr);
  EXPECT_EQ(Stream::Open(dir.Join("missing"), "rb"), nullptr);
}

// Fault injection through the seam: the Nth write fails.
class FailingWrites : public FileSystemWrapper {
 public:
  FailingWrites() : FileSystemWrapper(DefaultFileSystem()) {}
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    auto inner = target()->Open(path, mode);
    if (inner == nullptr) return nullptr;
    struct Broken : File {
      std::unique_ptr<File> f;
      int64_t Read(void* d, size_t n) override { return f->Read(d, n); }
      int64_t Write(const void*, size_t) override { return -1; }
      int64_t Seek(int64_t o, SeekOrigin w) override { return f->Seek(o, w); }
      int64_t Size() override { return f->Size(); }
    };
    auto broken = std::make_unique<Broken>();
    broken->f = std::move(inner);
    return broken;
  }
};

TEST(PlatformStream, WriteErrorsReachClose) {
  TempDir dir;
  FailingWrites failing;
  SetFileSystem(&failing);
  auto s = Stream::Open(dir.Join("w.txt"), "wt");
  SetFileSystem(nullptr);
  ASSERT_NE(s, nullptr);
  s->Printf("hello\n");
  EXPECT_NE(s->Close(), 0);
}

}  // namespace
}  // namespace upkeep
