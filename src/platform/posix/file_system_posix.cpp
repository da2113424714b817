#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/code_page.h"
#include "platform/file_system.h"
#include "platform/posix/exclusive_open.h"
#include "platform/posix/path.h"
#include "platform/text.h"

namespace upkeep {

namespace {

using posix::NativePath;
using posix::Resolve;

// stat() of a path, taken from its resolution when that already did it.
bool StatResolved(const posix::ResolvedPath& r, struct stat* st) {
  if (r.statted) {
    *st = r.st;
    return true;
  }
  return r.exists && stat(r.native.c_str(), st) == 0;
}

// Whether the last creating or writing call of this thread failed for a
// full volume.
thread_local bool g_last_failure_full = false;

// Notes how such a call ended (errno tells why it failed); returns `ok`.
bool Noted(bool ok) {
  g_last_failure_full = !ok && (errno == ENOSPC || errno == EDQUOT);
  return ok;
}

class PosixFile : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { close(fd_); }
  int fd() const { return fd_; }

  int64_t Read(void* dst, size_t n) override {
    size_t done = 0;
    while (done < n) {
      ssize_t r = read(fd_, static_cast<char*>(dst) + done, n - done);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return done > 0 ? static_cast<int64_t>(done) : -1;
      if (r == 0) break;
      done += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(done);
  }
  int64_t ReadAt(uint64_t offset, void* dst, size_t n) override {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return -1;
    size_t done = 0;
    while (done < n) {
      const uint64_t at = offset + done;
      if (at > static_cast<uint64_t>(INT64_MAX)) break;
      ssize_t r = pread(fd_, static_cast<char*>(dst) + done, n - done, static_cast<off_t>(at));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return done > 0 ? static_cast<int64_t>(done) : -1;
      if (r == 0) break;
      done += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(done);
  }
  int64_t Write(const void* src, size_t n) override {
    size_t done = 0;
    while (done < n) {
      ssize_t r = write(fd_, static_cast<const char*>(src) + done, n - done);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        Noted(false);
        return done > 0 ? static_cast<int64_t>(done) : -1;
      }
      done += static_cast<size_t>(r);
    }
    Noted(true);
    StartWriteBack(done);
    return static_cast<int64_t>(done);
  }
  int64_t Seek(int64_t offset, SeekOrigin origin) override {
    int whence = origin == SeekOrigin::kBegin     ? SEEK_SET
                 : origin == SeekOrigin::kCurrent ? SEEK_CUR
                                                  : SEEK_END;
    off_t r = lseek(fd_, static_cast<off_t>(offset), whence);
    return r < 0 ? -1 : static_cast<int64_t>(r);
  }
  int64_t Size() override {
    struct stat st;
    if (fstat(fd_, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
  }

 private:
  bool Flush() override { return Noted(fsync(fd_) == 0); }

  // The disk starts on what was written every few megabytes, while the rest
  // is still being made, so a flush at the end waits only for the last part.
  void StartWriteBack(size_t written) {
#ifdef __linux__
    constexpr uint64_t kWriteBackStep = 8u << 20;
    unflushed_ += written;
    if (unflushed_ < kWriteBackStep) return;
    unflushed_ = 0;
    sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    (void)written;
#endif
  }

  int fd_;
  uint64_t unflushed_ = 0;
};

class PosixView : public MappedView {
 public:
  PosixView(std::unique_ptr<File> file, void* addr, uint64_t size)
      : file_(std::move(file)), addr_(addr), size_(size) {}
  ~PosixView() override {
    if (addr_ != nullptr) munmap(addr_, static_cast<size_t>(size_));
  }
  const uint8_t* data() const override { return static_cast<const uint8_t*>(addr_); }
  uint64_t size() const override { return size_; }
  void Release(uint64_t offset, uint64_t length) override {
    uint64_t from, to;
    // A private read-only mapping has no changes to lose: the pages come back
    // from the file when read again.
    if (addr_ != nullptr && WholePagesIn(size_, static_cast<uint64_t>(sysconf(_SC_PAGESIZE)),
                                         offset, length, &from, &to)) {
      madvise(static_cast<uint8_t*>(addr_) + from, static_cast<size_t>(to - from), MADV_DONTNEED);
    }
  }

 private:
  std::unique_ptr<File> file_;
  void* addr_;
  uint64_t size_;
};

// Wine shows a file as read-only only when nobody may write it.
bool IsReadOnlyMode(mode_t mode) { return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

std::string BaseName(const std::string& native) {
  size_t slash = native.find_last_of('/');
  return slash == std::string::npos ? native : native.substr(slash + 1);
}

uint32_t AttributesOf(const struct stat& st, const std::string& name) {
  uint32_t a = 0;
  if (S_ISDIR(st.st_mode)) {
    a |= kAttrDirectory;
  } else {
    a |= kAttrArchive;
  }
  if (IsReadOnlyMode(st.st_mode)) a |= kAttrReadOnly;
  // Wine shows dot files as hidden.
  if (!name.empty() && name[0] == '.' && name != "." && name != "..") a |= kAttrHidden;
  return a;
}

// Collapses "." and ".." and doubled separators of an absolute path.
std::string Collapse(const std::string& path, char sep, size_t root_len) {
  std::string root = path.substr(0, root_len);
  std::vector<std::string> parts;
  size_t start = root_len;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out = root;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += sep;
    out += parts[i];
  }
  // Keep a trailing separator the caller gave (GetFullPathNameA does).
  if (!parts.empty() && !path.empty() && (path.back() == '/' || path.back() == '\\')) out += sep;
  return out;
}

class PosixFileSystem : public FileSystem {
 public:
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    posix::ResolvedPath r = Resolve(path);
    const std::string& native = r.native;
    struct stat st;
    bool exists = StatResolved(r, &st);
    if (exists && S_ISDIR(st.st_mode)) return nullptr;
    int fd = -1;
    switch (mode) {
      case OpenMode::kRead:
        fd = open(native.c_str(), O_RDONLY | O_CLOEXEC);
        break;
      case OpenMode::kWrite:
      case OpenMode::kWriteExclusive:
        // Root could write a read-only file; Windows refuses, and so do we.
        if (exists && IsReadOnlyMode(st.st_mode)) {
          g_last_failure_full = false;
          return nullptr;
        }
        fd = open(native.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        Noted(fd >= 0);
        break;
      case OpenMode::kCreateNew:
        fd = open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        Noted(fd >= 0);
        break;
      case OpenMode::kReadWrite:
        if (!exists || IsReadOnlyMode(st.st_mode)) return nullptr;
        fd = open(native.c_str(), O_RDWR | O_CLOEXEC);
        break;
      case OpenMode::kTestExclusive:
        fd = posix::OpenExclusive(native);
        break;
    }
    if (fd < 0) return nullptr;
    return std::unique_ptr<File>(new PosixFile(fd));
  }

  std::unique_ptr<MappedView> MapFile(const std::string& path) override { return Map(path, true); }

  std::unique_ptr<MappedView> MapFileForWalk(const std::string& path) override {
    return Map(path, false);
  }

  std::unique_ptr<MappedView> Map(const std::string& path, bool populate) {
    std::unique_ptr<File> file = Open(path, OpenMode::kRead);
    if (file == nullptr) return nullptr;
    const int fd = static_cast<PosixFile*>(file.get())->fd();
    const int64_t end = file->Size();
    const uint64_t size = end > 0 ? static_cast<uint64_t>(end) : 0;
    void* addr = nullptr;
    // Every caller reads (nearly) all of a file below 4 GiB (larger ones are
    // never read whole): mapping its pages in one go costs a third less than
    // taking them one fault at a time.
    int flags = MAP_PRIVATE;
#ifdef MAP_POPULATE
    if (populate && size < (1ull << 32)) flags |= MAP_POPULATE;
#endif
    if (size > 0 && size <= SIZE_MAX) {
      addr = mmap(nullptr, static_cast<size_t>(size), PROT_READ, flags, fd, 0);
      if (addr == MAP_FAILED) addr = nullptr;
    }
    return std::unique_ptr<MappedView>(new PosixView(std::move(file), addr, size));
  }

  uint32_t GetAttributes(const std::string& path) override {
    posix::ResolvedPath r = Resolve(path);
    struct stat st;
    if (!StatResolved(r, &st)) return kInvalidAttributes;
    return AttributesOf(st, BaseName(r.native));
  }

  uint32_t GetLinkAttributes(const std::string& path) override {
    posix::ResolvedPath r = Resolve(path);
    struct stat st;
    if (!r.exists || lstat(r.native.c_str(), &st) != 0) return kInvalidAttributes;
    if (!S_ISLNK(st.st_mode)) return AttributesOf(st, BaseName(r.native));
    struct stat target;
    const bool folder = stat(r.native.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
    return kAttrReparsePoint | (folder ? kAttrDirectory : 0u);
  }

  bool SetAttributes(const std::string& path, uint32_t attributes) override {
    posix::ResolvedPath r = Resolve(path);
    struct stat st;
    // A link has no mode of its own here; chmod would change its target's.
    if (r.exists && lstat(r.native.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return true;
    if (!StatResolved(r, &st)) return false;
    mode_t mode = st.st_mode & 07777;
    if (attributes & kAttrReadOnly) {
      mode &= ~(S_IWUSR | S_IWGRP | S_IWOTH);
    } else {
      mode |= S_IWUSR;
    }
    // Most calls clear a read-only bit that is not set.
    if (mode == (st.st_mode & 07777)) return true;
    return chmod(r.native.c_str(), mode) == 0;
  }

  bool Move(const std::string& from, const std::string& to) override {
    std::string src = NativePath(from);
    posix::ResolvedPath dst = Resolve(to);
    struct stat s1, s2;
    if (lstat(src.c_str(), &s1) != 0) return false;
    if (dst.exists && lstat(dst.native.c_str(), &s2) == 0) {
      // Only a change of letter case may "overwrite" the same file.
      if (s1.st_dev != s2.st_dev || s1.st_ino != s2.st_ino) return false;
      std::string dir = dst.native.substr(0, dst.native.find_last_of('/') + 1);
      size_t cut = to.find_last_of("/\\");
      std::string wanted = cut == std::string::npos ? to : to.substr(cut + 1);
      if (!posix::IsNativePath(to) && !AnsiToUtf8Exact(wanted, &wanted, PathCodePage()))
        return false;
      dst.native = dir + wanted;
    }
    return Noted(rename(src.c_str(), dst.native.c_str()) == 0);
  }

  bool Replace(const std::string& from, const std::string& to) override {
    posix::ResolvedPath dst = Resolve(to);
    // A new name is spelled as the caller gave it, as Move does.
    if (!dst.exists) return Move(from, to);
    return Noted(rename(NativePath(from).c_str(), dst.native.c_str()) == 0);
  }

  bool FlushDir(const std::string& path) override {
    int fd = open(NativePath(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
  }

  bool Delete(const std::string& path) override {
    std::string native = NativePath(path);
    struct stat st;
    if (lstat(native.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    if (!S_ISLNK(st.st_mode) && IsReadOnlyMode(st.st_mode)) return false;
    return unlink(native.c_str()) == 0;
  }

  bool RemoveLink(const std::string& path) override {
    std::string native = NativePath(path);
    struct stat st;
    if (lstat(native.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    return unlink(native.c_str()) == 0;
  }

  CreateDirResult CreateDir(const std::string& path) override {
    posix::ResolvedPath r = Resolve(path);
    if (r.exists) return CreateDirResult::kAlreadyExists;
    if (Noted(mkdir(r.native.c_str(), 0777) == 0)) return CreateDirResult::kCreated;
    return errno == EEXIST ? CreateDirResult::kAlreadyExists : CreateDirResult::kFailed;
  }

  bool RemoveDir(const std::string& path) override {
    std::string native = NativePath(path);
    struct stat st;
    // A link to a directory goes as a link, as RemoveDirectoryA removes one.
    if (lstat(native.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      struct stat target;
      if (stat(native.c_str(), &target) != 0 || !S_ISDIR(target.st_mode)) return false;
      return unlink(native.c_str()) == 0;
    }
    return rmdir(native.c_str()) == 0;
  }

  bool Find(const std::string& pattern, std::vector<FindEntry>* out) override {
    out->clear();
    size_t cut = pattern.find_last_of("/\\");
    std::string dir = cut == std::string::npos ? std::string(".") : pattern.substr(0, cut);
    if (cut == 0) dir = "/";
    if (dir.size() == 2 && posix::HasDriveLetter(dir)) dir += "\\";
    std::string mask = cut == std::string::npos ? pattern : pattern.substr(cut + 1);
    std::string native = NativePath(dir);
    // Callers join the names to the folder they gave: ANSI unless it is native.
    bool ansi = !posix::IsNativePath(dir);
    DIR* d = opendir(native.c_str());
    if (d == nullptr) return false;
    while (struct dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (ansi && !posix::DiskNameToAnsi(e->d_name, &name)) continue;
      if (!MatchWildcard(mask.c_str(), name.c_str())) continue;
      struct stat st;
      std::string full = native + "/" + e->d_name;
      if (lstat(full.c_str(), &st) != 0) continue;
      bool link = S_ISLNK(st.st_mode);
      if (link && stat(full.c_str(), &st) != 0) continue;  // dangling link
      uint32_t attributes = AttributesOf(st, e->d_name);
      if (link) attributes |= kAttrReparsePoint;
      out->push_back(
          FindEntry{name, attributes, S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size)});
    }
    closedir(d);
    // A stable order, as NTFS gives: by upper-cased name, "." and ".." first.
    std::sort(out->begin(), out->end(), [](const FindEntry& a, const FindEntry& b) {
      std::string x = a.name, y = b.name;
      ToUpperInPlace(&x);
      ToUpperInPlace(&y);
      return x < y;
    });
    return true;
  }

  std::string GetCurrentDir() override {
    char buf[PATH_MAX];
    if (getcwd(buf, sizeof buf) == nullptr) return std::string();
    return buf;
  }

  bool SetCurrentDir(const std::string& path) override {
    std::string native = NativePath(path);
    return chdir(native.c_str()) == 0;
  }

  bool GetFreeBytes(const std::string& path, uint64_t* bytes) override {
    struct statvfs sv;
    if (statvfs(NativePath(path).c_str(), &sv) != 0) return false;
    *bytes = static_cast<uint64_t>(sv.f_bavail) * static_cast<uint64_t>(sv.f_frsize);
    return true;
  }

  std::string GetFullPath(const std::string& path) override {
    if (path.empty()) return std::string();
    if (posix::HasDriveLetter(path)) {
      if (path.size() == 2 || (path[2] != '\\' && path[2] != '/')) {
        // "C:name" is relative to the drive's current directory: its root here.
        return Collapse(path.substr(0, 2) + "\\" + path.substr(2), '\\', 3);
      }
      std::string p = path;
      p[2] = '\\';
      return Collapse(p, '\\', 3);
    }
    if (path[0] == '/' || path[0] == '\\') return Collapse(path, '/', 1);
    return Collapse(GetCurrentDir() + "/" + path, '/', 1);
  }

  std::string GetLongPath(const std::string& path) override {
    posix::ResolvedPath r = Resolve(path);
    if (!r.exists) return std::string();
    // Re-spell the caller's path with the on-disk names of its components.
    std::vector<std::string> caller;
    std::string p = path;
    size_t start = 0;
    std::string head;
    if (posix::HasDriveLetter(p)) {
      head = p.substr(0, 2);
      start = 2;
    }
    std::string out = head;
    std::string native_prefix;
    std::string sep = p.find('\\') != std::string::npos || !head.empty() ? "\\" : "/";
    // Walk components, resolving each prefix again to learn its spelling.
    std::string so_far = head;
    while (start < p.size()) {
      size_t end = p.find_first_of("/\\", start);
      if (end == std::string::npos) end = p.size();
      if (end == start) {
        so_far += p[start];
        out += sep;
        start = end + 1;
        continue;
      }
      std::string part = p.substr(start, end - start);
      so_far += part;
      std::string spelled = part;
      if (part != "." && part != "..") {
        spelled = BaseName(Resolve(so_far).native);
        if (!posix::IsNativePath(p) && !posix::DiskNameToAnsi(spelled, &spelled)) {
          return std::string();
        }
      }
      out += spelled;
      if (end < p.size()) {
        so_far += p[end];
        out += sep;
      }
      start = end + 1;
    }
    return out;
  }

  bool LastFailureWasFull() override { return g_last_failure_full; }
};

}  // namespace

FileSystem* DefaultFileSystem() {
  static PosixFileSystem fs;
  return &fs;
}

}  // namespace upkeep
