// Helpers for the package and archive-writer tests.
#ifndef UPKEEP_TESTS_PACKAGE_TEST_UTIL_H_
#define UPKEEP_TESTS_PACKAGE_TEST_UTIL_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "authoring/archive_writer.h"
#include "package/package.h"
#include "platform/file_system.h"
#include "test_util.h"

namespace upkeep {
namespace test {

inline std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

inline ArchiveEntry Entry(const std::string& name, const std::vector<uint8_t>& data,
                          bool packed = false) {
  ArchiveEntry e;
  e.name = name;
  e.data = data;
  e.packed = packed;
  return e;
}

inline ArchiveEntry Entry(const std::string& name, const std::string& text, bool packed = false) {
  return Entry(name, Bytes(text), packed);
}

// A stand-in program image for the first record.
inline std::vector<uint8_t> TestStub() { return RandomBytes(1000, 77); }

// Writes a package into `dir` and returns its path.
inline std::string WriteTestPackage(const TempDir& dir, const std::string& file,
                                    const std::vector<ArchiveEntry>& entries,
                                    const std::vector<uint8_t>& stub = TestStub()) {
  std::string path = dir.Join(file);
  std::string error;
  if (!WritePackage(path, stub, entries, &error)) return std::string();
  return path;
}

// Closes, at the end of a test, every package opened during it, so the
// process-wide table is as the test found it.
class PackageTableGuard {
 public:
  PackageTableGuard() : initial_(OpenPackages().size()) {}
  ~PackageTableGuard() {
    while (OpenPackages().size() > initial_) {
      std::string name = OpenPackages().back()->name;
      if (ClosePackage(name.c_str()) != 0) break;
    }
  }

 private:
  size_t initial_;
};

// Counts live files, remembers the paths opened, and notes every read that
// starts at or beyond the end of its file (a reader that trusted a bad offset).
class TrackingFileSystem : public FileSystemWrapper {
 public:
  TrackingFileSystem() : FileSystemWrapper(DefaultFileSystem()) { SetFileSystem(this); }
  ~TrackingFileSystem() override { SetFileSystem(nullptr); }

  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    opened.push_back(path);
    std::unique_ptr<File> inner = target()->Open(path, mode);
    if (inner == nullptr) return inner;
    return std::unique_ptr<File>(new Tracked(std::move(inner), this));
  }

  int live = 0;
  int reads_outside = 0;
  std::vector<std::string> opened;

 private:
  class Tracked : public File {
   public:
    Tracked(std::unique_ptr<File> inner, TrackingFileSystem* owner)
        : inner_(std::move(inner)), owner_(owner) {
      ++owner_->live;
    }
    ~Tracked() override { --owner_->live; }
    int64_t Read(void* dst, size_t n) override {
      if (n > 0 && position_ >= inner_->Size()) ++owner_->reads_outside;
      int64_t got = inner_->Read(dst, n);
      if (got > 0) position_ += got;
      return got;
    }
    int64_t Write(const void* src, size_t n) override {
      int64_t put = inner_->Write(src, n);
      if (put > 0) position_ += put;
      return put;
    }
    int64_t Seek(int64_t offset, SeekOrigin origin) override {
      int64_t at = inner_->Seek(offset, origin);
      if (at >= 0) position_ = at;
      return at;
    }
    int64_t Size() override { return inner_->Size(); }

   private:
    std::unique_ptr<File> inner_;
    TrackingFileSystem* owner_;
    int64_t position_ = 0;
  };
};

// Reads a whole entry or file the way the system's readers do: seek to the
// end, tell, seek back, read once.
inline bool ReadWhole(const char* name, std::vector<uint8_t>* out, const char* mode = "rb") {
  PackageFile* f = OpenPackageFile(name, mode);
  if (f == nullptr) return false;
  SeekPackageFile(f, 0, 2);
  int32_t size = TellPackageFile(f);
  SeekPackageFile(f, 0, 0);
  out->assign(size > 0 ? static_cast<size_t>(size) : 0, 0);
  size_t got = out->empty() ? 0 : ReadPackageFile(out->data(), 1, out->size(), f);
  out->resize(got);
  ClosePackageFile(f);
  return true;
}

}  // namespace test
}  // namespace upkeep

#endif  // UPKEEP_TESTS_PACKAGE_TEST_UTIL_H_
