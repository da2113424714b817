// Game files past 4 GiB, held as sparse files so that the tests stay fast: a
// 5 GiB file checked, patched at its start, middle and end, and deleted, and
// a file of 4 GiB + 1 byte created, through a small read window, in memory
// that does not grow with the files.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "authoring/block_stream_writer.h"
#include "authoring/payload_writer.h"
#include "engine/checksum.h"
#include "engine/command_context.h"
#include "engine_test_util.h"
#include "package/delta_extended.h"
#include "platform/file_system.h"
#include "script/command_schema.h"
#include "test_util.h"

namespace upkeep {
namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;

// A sparse file: zeros but for `marks` (offset, bytes).
struct Sparse {
  uint64_t size = 0;
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> marks;

  bool Write(const std::string& path) const {
    std::unique_ptr<File> f = GetFileSystem()->Open(path, OpenMode::kWrite);
    if (f == nullptr) return false;
    for (const auto& m : marks) {
      if (f->Seek(static_cast<int64_t>(m.first), SeekOrigin::kBegin) < 0 ||
          f->Write(m.second.data(), m.second.size()) != static_cast<int64_t>(m.second.size()))
        return false;
    }
    // The last byte gives the file its size, the rest stays a hole.
    const uint8_t last = At(size - 1);
    return f->Seek(static_cast<int64_t>(size - 1), SeekOrigin::kBegin) >= 0 &&
           f->Write(&last, 1) == 1;
  }
  uint8_t At(uint64_t at) const {
    for (const auto& m : marks) {
      if (at >= m.first && at < m.first + m.second.size()) return m.second[at - m.first];
    }
    return 0;
  }
  // The CRC-32 of the content, made without reading any file.
  uint32_t Crc() const {
    static const std::vector<uint8_t> zeros(size_t{4} << 20, 0);
    uint32_t crc = 0;
    uint64_t at = 0;
    auto sorted = marks;
    std::sort(sorted.begin(), sorted.end());
    for (const auto& m : sorted) {
      for (; at < m.first;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(zeros.size(), m.first - at));
        crc = ContinueCrc(crc, zeros.data(), n);
        at += n;
      }
      crc = ContinueCrc(crc, m.second.data(), m.second.size());
      at += m.second.size();
    }
    for (; at < size;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(zeros.size(), size - at));
      crc = ContinueCrc(crc, zeros.data(), n);
      at += n;
    }
    return crc;
  }
};

std::string Hex(uint32_t crc) { return ChecksumText(crc); }

// The bytes of `path` at `at`.
std::vector<uint8_t> ReadAt(const std::string& path, uint64_t at, size_t n) {
  std::unique_ptr<File> f = GetFileSystem()->Open(path, OpenMode::kRead);
  std::vector<uint8_t> bytes(n);
  if (f == nullptr || f->ReadAt(at, bytes.data(), n) != static_cast<int64_t>(n)) bytes.clear();
  return bytes;
}

#ifdef __linux__
// The most memory the process held since the last reset, in bytes.
void ResetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }
uint64_t StatusBytes(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(key);
  while (std::getline(status, line)) {
    if (line.compare(0, n, key) == 0) return std::stoull(line.substr(n)) * 1024;
  }
  return 0;
}
// The peak since the reset; what earlier tests left resident is not the run's.
uint64_t PeakMemory() { return StatusBytes("VmHWM:"); }
uint64_t ResidentMemory() { return StatusBytes("VmRSS:"); }
#endif

TEST(EngineLargeFileTest, FiveGiBFileIsCheckedPatchedAtStartMiddleAndEndAndDeleted) {
#if defined(__SANITIZE_ADDRESS__) || defined(__has_feature)
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
  // Its work is the system's reads and writes, which the sanitizers do not
  // see; the plain and Windows builds run it.
  GTEST_SKIP() << "I/O-bound; run by the plain builds";
#endif
#endif
  test::UpdateFixture f;
  const uint64_t middle = 5 * kGiB / 2;
  Sparse old_file;
  old_file.size = 5 * kGiB;
  old_file.marks = {{0, test::RandomBytes(4096, 1)},
                    {middle - 3000, test::RandomBytes(6000, 2)},
                    {old_file.size - 4096, test::RandomBytes(4096, 3)}};
  // The new file: its first 100 bytes replaced, 1000 inserted in the middle,
  // its last 50 replaced and 7 more added.
  const std::vector<uint8_t> head = test::RandomBytes(100, 4), inside = test::RandomBytes(1000, 5),
                             tail = test::RandomBytes(57, 6);
  Sparse new_file;
  new_file.size = old_file.size + 1000 + 7;
  {
    std::vector<uint8_t> first = old_file.marks[0].second;
    std::copy(head.begin(), head.end(), first.begin());
    std::vector<uint8_t> around(old_file.marks[1].second.begin(),
                                old_file.marks[1].second.begin() + 3000);
    around.insert(around.end(), inside.begin(), inside.end());
    around.insert(around.end(), old_file.marks[1].second.begin() + 3000,
                  old_file.marks[1].second.end());
    std::vector<uint8_t> last(old_file.marks[2].second.begin(),
                              old_file.marks[2].second.end() - 50);
    last.insert(last.end(), tail.begin(), tail.end());
    new_file.marks = {{0, first}, {middle - 3000, around}, {new_file.size - last.size(), last}};
  }
  // The extended form's records, as make's block matching writes them.
  std::vector<uint8_t> records;
  AppendExtendedDeltaMagic(&records);
  AppendExtendedDeltaRecord(nullptr, 0, head.data(), head.size(), 100, &records);
  AppendExtendedDeltaRecord(nullptr, middle - 100, inside.data(), inside.size(), 0, &records);
  AppendExtendedDeltaRecord(nullptr, old_file.size - 50 - middle, tail.data(), tail.size(), 50,
                            &records);
  f.AddPayload("00000001.DELTAX", records);
  ASSERT_TRUE(old_file.Write(f.Native("big.pak")));
  const std::string crc_old = Hex(old_file.Crc()), crc_new = Hex(new_file.Crc());

  test::RunOptions options;
  options.readWindow = 1024 * 1024;  // thousands of windows, each a fresh read
#ifdef __linux__
  ResetPeakMemory();
  const uint64_t resident = ResidentMemory();
#endif
  ASSERT_EQ(f.Run("all() {\r\n"
                  "CheckFile(\"big.pak\", \"" +
                      crc_old +
                      "\")\r\n"
                      "PatchFile(\"big.pak\", \"00000001.DELTAX\", \"" +
                      crc_old + "\", \"" + crc_new +
                      "\")\r\n"
                      "CheckFile(\"big.pak\", \"" +
                      crc_new +
                      "\")\r\n"
                      "}\r\n",
                  options),
            kRunSucceeded)
      << f.log();
#ifdef __linux__
  EXPECT_LT(PeakMemory() - resident, uint64_t{128} << 20);
#endif
  const std::string path = f.Native("big.pak");
  std::unique_ptr<File> patched = GetFileSystem()->Open(path, OpenMode::kRead);
  ASSERT_NE(patched, nullptr);
  EXPECT_EQ(static_cast<uint64_t>(patched->Size()), new_file.size);
  patched.reset();
  for (const auto& m : new_file.marks) {
    EXPECT_EQ(ReadAt(path, m.first, m.second.size()), m.second) << m.first;
  }
  EXPECT_FALSE(f.Exists("big.pak.~up"));

  ASSERT_EQ(f.Run("all() { DeleteFile(\"big.pak\", \"" + crc_new + "\") }", options),
            kRunSucceeded);
  EXPECT_FALSE(f.Exists("big.pak"));
}

TEST(EngineLargeFileTest, FileOfFourGiBAndOneByteIsCreated) {
  test::UpdateFixture f;
  Sparse created;
  created.size = 4 * kGiB + 1;
  created.marks = {{kGiB + 12345, test::RandomBytes(3000, 7)}, {4 * kGiB, {0x5A}}};
  // The whole file in blocks, as make writes files of any size.
  std::vector<uint8_t> stored;
  BlockStreamWriter writer(
      [&stored](const uint8_t* p, size_t n) {
        stored.insert(stored.end(), p, p + n);
        return true;
      },
      created.size);
  std::vector<uint8_t> block(kDefaultStreamBlock);
  for (uint64_t at = 0; at < created.size; at += block.size()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), created.size - at));
    std::fill(block.begin(), block.begin() + n, 0);
    for (const auto& m : created.marks) {
      for (size_t i = 0; i < m.second.size(); ++i) {
        if (m.first + i >= at && m.first + i < at + n) block[m.first + i - at] = m.second[i];
      }
    }
    ASSERT_TRUE(writer.Write(block.data(), n));
  }
  ASSERT_TRUE(writer.Finish());
  f.AddRawEntry("00000001.FILEX", stored);
  test::RunOptions options;
  options.readWindow = 64 * 1024;
  ASSERT_EQ(f.Run("all() { CreateFile(\"huge.dat\", \"00000001.FILEX\", \"" + Hex(created.Crc()) +
                      "\") }",
                  options),
            kRunSucceeded)
      << f.log();
  const std::string path = f.Native("huge.dat");
  std::unique_ptr<File> file = GetFileSystem()->Open(path, OpenMode::kRead);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(static_cast<uint64_t>(file->Size()), created.size);
  file.reset();
  for (const auto& m : created.marks) {
    EXPECT_EQ(ReadAt(path, m.first, m.second.size()), m.second) << m.first;
  }
}

}  // namespace
}  // namespace upkeep
