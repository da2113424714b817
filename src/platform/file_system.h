// The seam to the operating system for files and directories. Everything above
// platform/ reaches the disk only through the FileSystem returned by
// GetFileSystem(), so tests can wrap it to inject faults.
//
// Paths are Windows-style texts everywhere ("C:\Games\X\data.pak", relative
// names, '\' or '/'). The Win32 implementation hands them to the ANSI API as
// they are; the POSIX one maps them onto a Wine prefix (see posix/path.h).
#ifndef UPKEEP_PLATFORM_FILE_SYSTEM_H_
#define UPKEEP_PLATFORM_FILE_SYSTEM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace upkeep {

// Attribute bits with their Win32 values.
enum : uint32_t {
  kAttrReadOnly = 0x01,
  kAttrHidden = 0x02,
  kAttrSystem = 0x04,
  kAttrDirectory = 0x10,
  kAttrArchive = 0x20,
  kAttrNormal = 0x80,
  kAttrReparsePoint = 0x400,  // a link (symbolic link, junction): walks must not enter it
  kInvalidAttributes = 0xFFFFFFFFu,
};

enum class OpenMode {
  kRead,            // existing file only, others may read too
  kWrite,           // create or truncate, others may read
  kWriteExclusive,  // create or truncate, no sharing at all
  kReadWrite,       // existing file only, read and write, others may read
  kTestExclusive,   // existing file, write access with no sharing: fails while anyone has it open
  // A new file, written with no sharing: fails when anything has the name,
  // a link (even one to nothing) included, so it never writes through one.
  kCreateNew,
};

enum class SeekOrigin { kBegin = 0, kCurrent = 1, kEnd = 2 };

// An open file. Byte-exact: no text translation happens at this level.
class File {
 public:
  virtual ~File() = default;
  // Bytes read (0 at the end), or -1 on error.
  virtual int64_t Read(void* dst, size_t n) = 0;
  // Bytes read from `offset` on (fewer only at the end), or -1 on error.
  // Positional: it never depends on the cursor, so several readers (threads
  // too) may use one file at once. Whether it moves the cursor is the
  // platform's (pread does not, ReadFile at an offset does): a file is read
  // by position or in order, never both. The default, for doubles that do
  // not care, goes through Seek and Read.
  virtual int64_t ReadAt(uint64_t offset, void* dst, size_t n) {
    if (offset > static_cast<uint64_t>(INT64_MAX) ||
        Seek(static_cast<int64_t>(offset), SeekOrigin::kBegin) < 0) {
      return -1;
    }
    return Read(dst, n);
  }
  // Bytes written, or -1 on error.
  virtual int64_t Write(const void* src, size_t n) = 0;
  // New position, or -1 on error (a negative target is an error).
  virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;
  // Current size in bytes, or -1.
  virtual int64_t Size() = 0;
  // Pushes what was written down to the disk itself (FlushFileBuffers, fsync),
  // so it survives a crash of the process or the machine. Needs write access.
  virtual bool Flush() { return true; }
};

// A read-only view of a whole file; it keeps the file open while it lives.
// data() is null for an empty file and for one that opened but could not be
// mapped; size() is the file's length either way.
class MappedView {
 public:
  virtual ~MappedView() = default;
  virtual const uint8_t* data() const = 0;
  virtual uint64_t size() const = 0;
  // Lets the system take back the pages of [offset, offset + length) (whole
  // pages inside it): reading them again maps them again from the file, so a
  // reader going through a large file keeps a window of it in memory, not all
  // of it. Only a hint; views that cannot do it keep the pages.
  virtual void Release(uint64_t offset, uint64_t length) {
    (void)offset;
    (void)length;
  }
};

// What a view's Release lets go: the whole pages of a view of `size` bytes
// that lie inside [offset, offset + length), as [*from, *to); the view's
// last page counts as whole. False when there are none.
bool WholePagesIn(uint64_t size, uint64_t page, uint64_t offset, uint64_t length, uint64_t* from,
                  uint64_t* to);

struct FindEntry {
  std::string name;     // the name as stored on disk
  uint32_t attributes;  // kAttr* bits
  uint64_t size;
};

enum class CreateDirResult { kCreated, kAlreadyExists, kFailed };

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual std::unique_ptr<File> Open(const std::string& path, OpenMode mode) = 0;
  // Opens an existing file for reading (others may read too) and maps all of
  // it read-only. Null when the file cannot be opened.
  virtual std::unique_ptr<MappedView> MapFile(const std::string& path) = 0;
  // The same for a reader that walks the file once and Releases what it has
  // passed: no page is brought in before it is read, so memory stays at the
  // window however large the file.
  virtual std::unique_ptr<MappedView> MapFileForWalk(const std::string& path) {
    return MapFile(path);
  }

  // Of what the name leads to; links are followed.
  virtual uint32_t GetAttributes(const std::string& path) = 0;
  // Of the name itself: a link (symbolic link, junction, any reparse point)
  // has kAttrReparsePoint, with kAttrDirectory when it leads to a folder, and
  // nothing of what it leads to. Links in the folders above are followed.
  virtual uint32_t GetLinkAttributes(const std::string& path) = 0;
  // Never through a link: on one it changes nothing and succeeds.
  virtual bool SetAttributes(const std::string& path, uint32_t attributes) = 0;
  // Rename or move; fails when `to` exists or `from` does not (MoveFileA).
  virtual bool Move(const std::string& from, const std::string& to) = 0;
  // Puts `from` in place of `to` in one step, whether or not `to` exists: a
  // crash leaves either the old or the new file under `to`, never neither.
  // Both must be in the same folder. The default, for doubles that do not
  // care, is not atomic.
  virtual bool Replace(const std::string& from, const std::string& to) {
    if (GetAttributes(to) != kInvalidAttributes && !Delete(to)) return false;
    return Move(from, to);
  }
  // Makes what was done to the names in the folder `path` (files put in
  // place, moved, deleted, folders made or removed) survive a power cut.
  // Replace, Move, Delete, CreateDir and RemoveDir leave that to this call,
  // so that many changes to one folder share one flush.
  virtual bool FlushDir(const std::string& path) {
    (void)path;
    return true;
  }
  // Fails on a read-only file, as DeleteFileA does. A link goes as a link,
  // never what it leads to.
  virtual bool Delete(const std::string& path) = 0;
  // Removes the link `path` itself, never what it leads to. False when the
  // name is no link, or when the system can remove it only with its target.
  virtual bool RemoveLink(const std::string& path) = 0;
  // One level: the parent must exist.
  virtual CreateDirResult CreateDir(const std::string& path) = 0;
  // Only an empty directory; a link to one goes as RemoveLink removes it.
  virtual bool RemoveDir(const std::string& path) = 0;
  // Entries of the folder part of `pattern` whose names match its last
  // component ('*' and '?', letter case ignored, "*.*" matches every name),
  // "." and ".." included where the system lists them. False when the folder
  // cannot be listed.
  virtual bool Find(const std::string& pattern, std::vector<FindEntry>* out) = 0;

  virtual std::string GetCurrentDir() = 0;
  virtual bool SetCurrentDir(const std::string& path) = 0;
  // Bytes free to the caller on the volume holding `path`.
  virtual bool GetFreeBytes(const std::string& path, uint64_t* bytes) = 0;
  // Absolute form of `path` (GetFullPathNameA); empty on failure.
  virtual std::string GetFullPath(const std::string& path) = 0;
  // The path with each component spelled as on disk (GetLongPathNameA); empty on failure.
  virtual std::string GetLongPath(const std::string& path) = 0;
  // The last creating or writing call of this thread (an open for writing,
  // a write, a flush, a move, a new folder) failed because its volume is
  // full: no free space, no free file entries, or the caller's quota used.
  virtual bool LastFailureWasFull() { return false; }
};

// The process-wide file system; the platform default unless a test set another.
FileSystem* GetFileSystem();
// Null restores the default. Not thread-safe: tests set it before they run code.
void SetFileSystem(FileSystem* fs);
FileSystem* DefaultFileSystem();

// Forwards everything to another FileSystem; fault-injecting test doubles
// derive from it and override what they break.
class FileSystemWrapper : public FileSystem {
 public:
  explicit FileSystemWrapper(FileSystem* target) : target_(target) {}
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    return target_->Open(path, mode);
  }
  std::unique_ptr<MappedView> MapFile(const std::string& path) override {
    return target_->MapFile(path);
  }
  std::unique_ptr<MappedView> MapFileForWalk(const std::string& path) override {
    return target_->MapFileForWalk(path);
  }
  uint32_t GetAttributes(const std::string& path) override { return target_->GetAttributes(path); }
  uint32_t GetLinkAttributes(const std::string& path) override {
    return target_->GetLinkAttributes(path);
  }
  bool SetAttributes(const std::string& path, uint32_t a) override {
    return target_->SetAttributes(path, a);
  }
  bool Move(const std::string& from, const std::string& to) override {
    return target_->Move(from, to);
  }
  bool Replace(const std::string& from, const std::string& to) override {
    return target_->Replace(from, to);
  }
  bool FlushDir(const std::string& path) override { return target_->FlushDir(path); }
  bool Delete(const std::string& path) override { return target_->Delete(path); }
  bool RemoveLink(const std::string& path) override { return target_->RemoveLink(path); }
  CreateDirResult CreateDir(const std::string& path) override { return target_->CreateDir(path); }
  bool RemoveDir(const std::string& path) override { return target_->RemoveDir(path); }
  bool Find(const std::string& pattern, std::vector<FindEntry>* out) override {
    return target_->Find(pattern, out);
  }
  std::string GetCurrentDir() override { return target_->GetCurrentDir(); }
  bool SetCurrentDir(const std::string& path) override { return target_->SetCurrentDir(path); }
  bool GetFreeBytes(const std::string& path, uint64_t* bytes) override {
    return target_->GetFreeBytes(path, bytes);
  }
  std::string GetFullPath(const std::string& path) override { return target_->GetFullPath(path); }
  std::string GetLongPath(const std::string& path) override { return target_->GetLongPath(path); }
  bool LastFailureWasFull() override { return target_->LastFailureWasFull(); }

 protected:
  FileSystem* target() const { return target_; }

 private:
  FileSystem* target_;
};

// Helpers over GetFileSystem(), or over the file system given.
bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);
bool PathExists(FileSystem* fs, const std::string& path);
bool IsDirectory(FileSystem* fs, const std::string& path);
// The name is a link (symbolic link, junction, any reparse point).
bool IsLink(const std::string& path);
bool IsLink(FileSystem* fs, const std::string& path);
// Frees the name for a new file: whatever has it goes, a link as a link
// (never what it leads to), a file whatever its attributes. False when
// something stays: a folder, or a link the system cannot remove alone.
bool ClearName(const std::string& path);
bool ClearName(FileSystem* fs, const std::string& path);
// A new empty file under `path`, written with no sharing, after ClearName:
// never written through a link planted under the name. Null when the name
// cannot be freed or the file cannot be made.
std::unique_ptr<File> CreateNewFile(const std::string& path);
std::unique_ptr<File> CreateNewFile(FileSystem* fs, const std::string& path);
// Windows wildcard match of one file name, letter case ignored.
bool MatchWildcard(const char* pattern, const char* name);

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_FILE_SYSTEM_H_
