// libFuzzer target for every reader of untrusted bytes in the package layer:
// the directory, stored and packed entry reads, text-mode reads, payloads.
// The input is served as an in-memory package file, so nothing touches disk.
//
// Not part of the normal build. From the repository root:
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc \
//     tests/fuzz/package_fuzz.cpp src/package/*.cpp src/platform/*.cpp \
//     src/platform/posix/*.cpp -lz -o /tmp/package_fuzz
//   /tmp/package_fuzz -max_len=65536 /tmp/package_corpus
// A corpus seed is any package written by upkeep-pack or the archive writer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "package/package.h"
#include "platform/file_system.h"

namespace {

using namespace upkeep;

const char kFuzzPath[] = "\\fuzz\\input.pak";

class MemoryFile : public File {
 public:
  MemoryFile(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  int64_t Read(void* dst, size_t n) override {
    if (position_ >= size_) return 0;
    if (n > size_ - position_) n = size_ - position_;
    memcpy(dst, data_ + position_, n);
    position_ += n;
    return static_cast<int64_t>(n);
  }
  int64_t Write(const void*, size_t) override { return -1; }
  int64_t Seek(int64_t offset, SeekOrigin origin) override {
    int64_t base = origin == SeekOrigin::kBegin     ? 0
                   : origin == SeekOrigin::kCurrent ? static_cast<int64_t>(position_)
                                                    : static_cast<int64_t>(size_);
    if (base + offset < 0) return -1;
    position_ = static_cast<size_t>(base + offset);
    return static_cast<int64_t>(position_);
  }
  int64_t Size() override { return static_cast<int64_t>(size_); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

// Only the fuzz input exists; every other name fails to open.
class MemoryFileSystem : public FileSystemWrapper {
 public:
  MemoryFileSystem(const uint8_t* data, size_t size)
      : FileSystemWrapper(DefaultFileSystem()), data_(data), size_(size) {}
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    if (path != kFuzzPath || mode != OpenMode::kRead) return nullptr;
    return std::unique_ptr<File>(new MemoryFile(data_, size_));
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

void ReadEntry(const std::string& name, const char* mode) {
  PackageFile* f = OpenPackageFile(name.c_str(), mode);
  if (f == nullptr) return;
  SeekPackageFile(f, 0, 2);
  int32_t size = TellPackageFile(f);
  SeekPackageFile(f, 0, 0);
  // Sizes come from the input; a bounded buffer keeps the fuzzer fast.
  if (size > 0 && size <= (1 << 20)) {
    std::vector<uint8_t> buf(static_cast<size_t>(size));
    ReadPackageFile(buf.data(), 1, buf.size(), f);
    SeekPackageFile(f, size / 2, 0);
    ReadPackageFile(buf.data(), 3, buf.size() / 3, f);
  }
  ClosePackageFile(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryFileSystem fs(data, size);
  SetFileSystem(&fs);
  if (OpenPackage(kFuzzPath) != 0 || !OpenPackages().empty()) {
    std::vector<std::string> names;
    for (const auto& archive : OpenPackages()) {
      for (size_t i = 0; i < archive->entries.size() && i < 64; ++i) {
        names.push_back(archive->entries[i]->name);
      }
    }
    for (const std::string& name : names) {
      ReadEntry(name, "rb");
      ReadEntry(name, "rt");
      LoadPayloadEntry(name.c_str());
    }
    while (ClosePackage(kFuzzPath) == 0) {
    }
  }
  // The raw input as a packed entry of a few plausible sizes.
  for (size_t dest_size : {size_t{0}, size_t{1}, size_t{255}, size / 2, size * 3}) {
    std::vector<uint8_t> dest(dest_size);
    std::vector<uint8_t> stored(data, data + size);
    if (stored.size() >= 8) {
      for (int i = 0; i < 4; ++i) stored[4 + i] = static_cast<uint8_t>(dest_size >> (8 * i));
    }
    DecodePackedEntry(stored.data(), stored.size(), dest.data(), dest.size());
  }
  SetFileSystem(nullptr);
  return 0;
}
