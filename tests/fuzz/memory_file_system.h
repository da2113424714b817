// A file system of in-memory files for the fuzz targets: readers reach the
// fuzz input through the real seam, and nothing touches the disk. Names are
// compared as given; any other name fails to open.
#ifndef UPKEEP_TESTS_FUZZ_MEMORY_FILE_SYSTEM_H_
#define UPKEEP_TESTS_FUZZ_MEMORY_FILE_SYSTEM_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace upkeep {
namespace fuzz {

class MemoryFile : public File {
 public:
  MemoryFile(std::vector<uint8_t>* bytes, bool writable) : bytes_(bytes), writable_(writable) {}
  int64_t Read(void* dst, size_t n) override {
    if (position_ >= bytes_->size()) return 0;
    if (n > bytes_->size() - position_) n = bytes_->size() - position_;
    memcpy(dst, bytes_->data() + position_, n);
    position_ += n;
    return static_cast<int64_t>(n);
  }
  int64_t Write(const void* src, size_t n) override {
    if (!writable_) return -1;
    if (bytes_->size() < position_ + n) bytes_->resize(position_ + n);
    if (n != 0) memcpy(bytes_->data() + position_, src, n);
    position_ += n;
    return static_cast<int64_t>(n);
  }
  int64_t Seek(int64_t offset, SeekOrigin origin) override {
    const int64_t base = origin == SeekOrigin::kBegin     ? 0
                         : origin == SeekOrigin::kCurrent ? static_cast<int64_t>(position_)
                                                          : static_cast<int64_t>(bytes_->size());
    if (offset < -base || offset > (int64_t{1} << 40)) return -1;
    position_ = static_cast<size_t>(base + offset);
    return static_cast<int64_t>(position_);
  }
  int64_t Size() override { return static_cast<int64_t>(bytes_->size()); }

 private:
  std::vector<uint8_t>* bytes_;
  bool writable_;
  size_t position_ = 0;
};

// Installs itself as the process's file system for its lifetime.
class MemoryFileSystem : public FileSystemWrapper {
 public:
  MemoryFileSystem() : FileSystemWrapper(DefaultFileSystem()) { SetFileSystem(this); }
  ~MemoryFileSystem() override { SetFileSystem(nullptr); }

  void Add(const std::string& path, const uint8_t* data, size_t size) {
    files_[path].assign(data, data + size);
  }
  // Null when no such file was added or written.
  const std::vector<uint8_t>* Get(const std::string& path) const {
    auto it = files_.find(path);
    return it == files_.end() ? nullptr : &it->second;
  }

  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    if (mode == OpenMode::kWrite || (mode == OpenMode::kCreateNew && files_.count(path) == 0)) {
      files_[path].clear();
      return std::unique_ptr<File>(new MemoryFile(&files_[path], true));
    }
    auto it = files_.find(path);
    if (it == files_.end() || mode != OpenMode::kRead) return nullptr;
    return std::unique_ptr<File>(new MemoryFile(&it->second, false));
  }
  uint32_t GetAttributes(const std::string& path) override {
    return files_.count(path) != 0 ? kAttrNormal : kInvalidAttributes;
  }
  uint32_t GetLinkAttributes(const std::string& path) override { return GetAttributes(path); }
  bool Delete(const std::string& path) override { return files_.erase(path) != 0; }

 private:
  std::map<std::string, std::vector<uint8_t>> files_;
};

}  // namespace fuzz
}  // namespace upkeep

#endif  // UPKEEP_TESTS_FUZZ_MEMORY_FILE_SYSTEM_H_
