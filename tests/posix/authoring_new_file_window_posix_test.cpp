// A new file make maps is read by every delta form in turn; each pass must
// let its pages go behind it, or a file of a few hundred MB stays whole in
// memory beside the old one and the forms' own work.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "authoring/change_encoder.h"
#include "authoring/work_threads.h"
#include "platform/file_system.h"
#include "test_util.h"

namespace upkeep {
namespace {

// The resident bytes of the mapping holding `p`, from /proc/self/smaps.
size_t ResidentAt(const void* p) {
  FILE* f = std::fopen("/proc/self/smaps", "r");
  if (f == nullptr) return SIZE_MAX;
  char line[512];
  bool inside = false;
  size_t kb = SIZE_MAX;
  const uintptr_t at = reinterpret_cast<uintptr_t>(p);
  while (std::fgets(line, sizeof line, f) != nullptr) {
    unsigned long long lo = 0, hi = 0;
    if (std::sscanf(line, "%llx-%llx ", &lo, &hi) == 2 && std::strchr(line, ':') != nullptr &&
        line[0] != ' ' && std::strncmp(line, "Rss", 3) != 0 && std::isxdigit(line[0])) {
      inside = lo <= at && at < hi;
      continue;
    }
    unsigned long long v = 0;
    if (inside && std::sscanf(line, "Rss: %llu kB", &v) == 1) {
      kb = static_cast<size_t>(v);
      break;
    }
  }
  std::fclose(f);
  return kb == SIZE_MAX ? SIZE_MAX : kb * 1024;
}

class WatchedFile : public ChangeInput {
 public:
  WatchedFile(std::unique_ptr<MappedView> view, size_t window)
      : view_(std::move(view)), window_(window) {}
  uint64_t size() const override { return view_->size(); }
  const uint8_t* data() const override { return view_->data(); }
  bool ReadAt(uint64_t offset, uint8_t* dst, size_t n) const override {
    return MemoryChangeInput(data(), static_cast<size_t>(size())).ReadAt(offset, dst, n);
  }
  // What was resident when a pass let the bytes behind it go: what the
  // passes hold at once, at least. Between passes make lets the whole file
  // go, which the passes must not need: counted apart.
  void Release(uint64_t offset, uint64_t length) const override {
    if (offset == 0 && length >= size()) {
      ++wholes_;
    } else {
      Note();
    }
    view_->Release(offset, length);
  }
  int wholes() const { return wholes_.load(); }
  size_t window() const override { return window_; }
  void Note() const {
    const size_t now = ResidentAt(data());
    size_t seen = most_.load();
    while (now > seen && !most_.compare_exchange_weak(seen, now)) {
    }
  }
  size_t most() const { return most_.load(); }

 private:
  std::unique_ptr<MappedView> view_;
  size_t window_;
  mutable std::atomic<size_t> most_{0};
  mutable std::atomic<int> wholes_{0};
};

// Deflated text (zlib streams some of which change) between stretches of
// code-like bytes that a rebuild edits here and there: every form has work.
std::vector<uint8_t> Version(int v) {
  std::vector<uint8_t> out;
  std::mt19937 rng(1);
  for (int i = 0; out.size() < (size_t{16} << 20); ++i) {
    std::string text;
    for (int k = 0; k < 1500; ++k)
      text +=
          "item " + std::to_string((i * 131 + k) % 977) + (v == 1 && i % 5 == 0 ? " new\n" : "\n");
    const std::vector<uint8_t> z =
        test::SystemDeflate(std::vector<uint8_t>(text.begin(), text.end()), 9, 15);
    out.insert(out.end(), z.begin(), z.end());
    for (int k = 0; k < 100000; ++k) {
      const uint8_t b = static_cast<uint8_t>(rng() % 48);
      out.push_back(v == 1 && k % 1999 == 0 ? b + 1 : b);
    }
  }
  return out;
}

// Every form of the default choice runs here: the scan for deflate streams
// and the deflated-view form, the basic form, the sorted search in pieces on
// threads, and the predicted form's pass over the copies.
TEST(NewFileWindow, EveryPassLetsTheMappedFileGo) {
  const std::vector<uint8_t> old_bytes = Version(0), new_bytes = Version(1);
  test::TempDir dir;
  const std::string path = dir.Join("new.pak");
  ASSERT_TRUE(test::WriteFileBytes(path, new_bytes));
  WorkThreads threads(2);
  ChangeOptions options;
  options.threads = &threads;
  options.piece = size_t{1} << 20;
  std::unique_ptr<MappedView> view = GetFileSystem()->MapFileForWalk(path);
  ASSERT_NE(view, nullptr);
  WatchedFile watched(std::move(view), 256 << 10);
  EncodedChange mapped, held;
  ASSERT_TRUE(EncodeChange(MemoryChangeInput(old_bytes.data(), old_bytes.size()), watched, options,
                           &mapped));
  ASSERT_NE(watched.most(), SIZE_MAX) << "no /proc/self/smaps";
  // Three pieces of the search at once, each with the window behind it, and
  // the system's pages of up to 2 MiB: a few MiB of the 16.
  EXPECT_GT(watched.most(), 0u);
  EXPECT_LE(watched.most(), new_bytes.size() / 2);
  EXPECT_GE(watched.wholes(), 3);
  EXPECT_LE(ResidentAt(watched.data()), size_t{2} << 20);  // after the last form
  ASSERT_TRUE(EncodeChange(MemoryChangeInput(old_bytes.data(), old_bytes.size()),
                           MemoryChangeInput(new_bytes.data(), new_bytes.size()), options, &held));
  EXPECT_EQ(mapped.form, held.form);
  EXPECT_TRUE(mapped.bytes == held.bytes);
}

}  // namespace
}  // namespace upkeep
