#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "platform/win32/wide_path.h"

namespace upkeep {

namespace {

bool RunsUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Whether the last creating or writing call of this thread failed for a
// full volume.
thread_local bool g_last_failure_full = false;

// Notes how such a call ended (GetLastError tells why it failed); returns `ok`.
bool Noted(bool ok) {
  const DWORD e = ok ? ERROR_SUCCESS : GetLastError();
  g_last_failure_full = e == ERROR_DISK_FULL || e == ERROR_HANDLE_DISK_FULL;
  return ok;
}

// Under Wine a flush is the host's fsync, and nothing starts the disk on a file
// being written before it: the flush at the end waits for all of the file.
// (Windows' lazy writer starts on its own, so there the flush finds little
// left, and a flush from another thread would hold up the writer's calls on the
// handle.) One thread flushes a file being written every few megabytes, beside
// the writes, as the Linux build asks its kernel to.
class WriteBehind {
 public:
  // Null where the system starts the disk by itself.
  static WriteBehind* Get() {
    // Never destroyed: its thread may still wait on it while the process ends.
    static WriteBehind* const instance = RunsUnderWine() ? new WriteBehind() : nullptr;
    return instance;
  }

  // Has `h` flushed beside the caller, unless a flush is asked for or running.
  bool Start(HANDLE h) {
    EnterCriticalSection(&lock_);
    bool taken = false;
    if (pending_ == nullptr && running_ == nullptr && StartThread()) {
      pending_ = h;
      taken = true;
      WakeAllConditionVariable(&changed_);
    }
    LeaveCriticalSection(&lock_);
    return taken;
  }

  // Returns once no flush of `h` is asked for or running: before the caller's
  // own flush, and before `h` is closed.
  void Finish(HANDLE h) {
    EnterCriticalSection(&lock_);
    if (pending_ == h) pending_ = nullptr;
    while (running_ == h) SleepConditionVariableCS(&changed_, &lock_, INFINITE);
    LeaveCriticalSection(&lock_);
  }

 private:
  WriteBehind() {
    InitializeCriticalSection(&lock_);
    InitializeConditionVariable(&changed_);
  }

  bool StartThread() {  // under lock_
    if (thread_ == nullptr && !failed_) {
      thread_ = CreateThread(nullptr, 64 * 1024, &WriteBehind::Run, this,
                             STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
      failed_ = thread_ == nullptr;
    }
    return thread_ != nullptr;
  }

  static DWORD WINAPI Run(void* param) {
    WriteBehind* self = static_cast<WriteBehind*>(param);
    EnterCriticalSection(&self->lock_);
    for (;;) {
      while (self->pending_ == nullptr) {
        SleepConditionVariableCS(&self->changed_, &self->lock_, INFINITE);
      }
      self->running_ = self->pending_;
      self->pending_ = nullptr;
      LeaveCriticalSection(&self->lock_);
      // Its result does not matter: the writer's own flush at the end decides.
      FlushFileBuffers(self->running_);
      EnterCriticalSection(&self->lock_);
      self->running_ = nullptr;
      WakeAllConditionVariable(&self->changed_);
    }
  }

  CRITICAL_SECTION lock_;
  CONDITION_VARIABLE changed_;
  HANDLE thread_ = nullptr;
  bool failed_ = false;
  HANDLE pending_ = nullptr;
  HANDLE running_ = nullptr;
};

class Win32File : public File {
 public:
  Win32File(HANDLE h, bool writing)
      : handle_(h), write_behind_(writing ? WriteBehind::Get() : nullptr) {}
  ~Win32File() override {
    if (write_behind_ != nullptr) write_behind_->Finish(handle_);
    CloseHandle(handle_);
  }
  HANDLE handle() const { return handle_; }

  int64_t Read(void* dst, size_t n) override {
    size_t done = 0;
    while (done < n) {
      DWORD want = static_cast<DWORD>(std::min<size_t>(n - done, 1u << 30));
      DWORD got = 0;
      if (!ReadFile(handle_, static_cast<char*>(dst) + done, want, &got, nullptr)) {
        return done > 0 ? static_cast<int64_t>(done) : -1;
      }
      if (got == 0) break;
      done += got;
    }
    return static_cast<int64_t>(done);
  }
  // ReadFile at an OVERLAPPED offset: on a handle opened for synchronous
  // use it reads there and waits, whatever the file pointer says.
  int64_t ReadAt(uint64_t offset, void* dst, size_t n) override {
    size_t done = 0;
    while (done < n) {
      const uint64_t at = offset + done;
      OVERLAPPED where = {};
      where.Offset = static_cast<DWORD>(at);
      where.OffsetHigh = static_cast<DWORD>(at >> 32);
      DWORD want = static_cast<DWORD>(std::min<size_t>(n - done, 1u << 30));
      DWORD got = 0;
      if (!ReadFile(handle_, static_cast<char*>(dst) + done, want, &got, &where)) {
        if (GetLastError() == ERROR_HANDLE_EOF) break;
        return done > 0 ? static_cast<int64_t>(done) : -1;
      }
      if (got == 0) break;
      done += got;
    }
    return static_cast<int64_t>(done);
  }
  int64_t Write(const void* src, size_t n) override {
    size_t done = 0;
    while (done < n) {
      DWORD want = static_cast<DWORD>(std::min<size_t>(n - done, 1u << 30));
      DWORD put = 0;
      if (!WriteFile(handle_, static_cast<const char*>(src) + done, want, &put, nullptr) ||
          put == 0) {
        Noted(false);
        return done > 0 ? static_cast<int64_t>(done) : -1;
      }
      done += put;
    }
    Noted(true);
    if (write_behind_ != nullptr) {
      constexpr uint64_t kWriteBehindStep = 8u << 20;
      unflushed_ += done;
      if (unflushed_ >= kWriteBehindStep && write_behind_->Start(handle_)) unflushed_ = 0;
    }
    return static_cast<int64_t>(done);
  }
  int64_t Seek(int64_t offset, SeekOrigin origin) override {
    LARGE_INTEGER dist, pos;
    dist.QuadPart = offset;
    DWORD method = origin == SeekOrigin::kBegin     ? FILE_BEGIN
                   : origin == SeekOrigin::kCurrent ? FILE_CURRENT
                                                    : FILE_END;
    if (!SetFilePointerEx(handle_, dist, &pos, method)) return -1;
    return pos.QuadPart;
  }
  int64_t Size() override {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle_, &size)) return -1;
    return size.QuadPart;
  }

 private:
  bool Flush() override {
    if (write_behind_ != nullptr) write_behind_->Finish(handle_);
    unflushed_ = 0;
    return Noted(FlushFileBuffers(handle_) != 0);
  }
  HANDLE handle_;
  WriteBehind* write_behind_;
  uint64_t unflushed_ = 0;
};

class Win32View : public MappedView {
 public:
  Win32View(std::unique_ptr<File> file, HANDLE mapping, const void* view, uint64_t size)
      : file_(std::move(file)), mapping_(mapping), view_(view), size_(size) {}
  ~Win32View() override {
    if (view_ != nullptr) UnmapViewOfFile(view_);
    if (mapping_ != nullptr) CloseHandle(mapping_);
  }
  const uint8_t* data() const override { return static_cast<const uint8_t*>(view_); }
  uint64_t size() const override { return size_; }
  // Unlocking pages that are not locked takes them out of the working set
  // (the call then reports ERROR_NOT_LOCKED); the file's pages stay in the
  // system's cache and come back when read again.
  void Release(uint64_t offset, uint64_t length) override {
    if (view_ == nullptr) return;
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    uint64_t from, to;
    if (WholePagesIn(size_, info.dwPageSize != 0 ? info.dwPageSize : 4096, offset, length, &from,
                     &to)) {
      VirtualUnlock(const_cast<uint8_t*>(static_cast<const uint8_t*>(view_)) + from,
                    static_cast<SIZE_T>(to - from));
    }
  }

 private:
  std::unique_ptr<File> file_;
  HANDLE mapping_;
  const void* view_;
  uint64_t size_;
};

typedef BOOL(WINAPI* FreeSpaceExFn)(LPCWSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);

using win32::NarrowPath;
using win32::WidePath;

// A path the path code page cannot spell names no file.
#define UPKEEP_WIDE_OR(path, wide, fail)        \
  std::wstring wide;                            \
  if (!WidePath(path, &wide)) {                 \
    SetLastError(ERROR_NO_UNICODE_TRANSLATION); \
    return fail;                                \
  }

// A folder the system names, in the path code page; empty when it is longer
// than the 259 characters callers take, or cannot be spelled there.
template <typename Query>
std::string NarrowQuery(Query query) {
  wchar_t buf[MAX_PATH];
  DWORD n = query(buf, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::string();
  std::string out;
  if (!NarrowPath(buf, n, &out) || out.size() >= MAX_PATH) return std::string();
  return out;
}

// Links. Windows marks every link with FILE_ATTRIBUTE_REPARSE_POINT; Wine
// marks only links to folders, shows a link to a file as the file, and its
// delete calls (DeleteFile, RemoveDirectory, delete-on-close) remove what a
// link leads to. What it never follows is the destination of a rename.

bool SameText(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Without a "\\?\" before a drive letter, and without a trailing separator
// (but a drive's root keeps its own).
std::wstring Plain(std::wstring path) {
  if (path.compare(0, 4, L"\\\\?\\") == 0 && path.size() >= 6 && path[5] == L':') path.erase(0, 4);
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  return path;
}

// The path of the file `wide` names as the system finds it, links resolved;
// empty when it cannot be opened.
std::wstring FinalPathOf(const std::wstring& wide) {
  HANDLE h = CreateFileW(
      wide.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::wstring();
  std::vector<wchar_t> buf(1024);
  DWORD n = GetFinalPathNameByHandleW(h, buf.data(), static_cast<DWORD>(buf.size()),
                                      FILE_NAME_NORMALIZED);
  if (n >= buf.size()) {
    buf.resize(n + 1);
    n = GetFinalPathNameByHandleW(h, buf.data(), static_cast<DWORD>(buf.size()),
                                  FILE_NAME_NORMALIZED);
  }
  CloseHandle(h);
  if (n == 0 || n >= buf.size()) return std::wstring();
  return Plain(std::wstring(buf.data(), n));
}

std::wstring FullPathOf(const std::wstring& wide) {
  DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return std::wstring();
  std::vector<wchar_t> buf(n);
  const DWORD got = GetFullPathNameW(wide.c_str(), n, buf.data(), nullptr);
  if (got == 0 || got >= n) return std::wstring();
  return Plain(std::wstring(buf.data(), got));
}

std::wstring LeafOf(const std::wstring& path) {
  const size_t cut = path.find_last_of(L"\\/");
  return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

// A link Wine shows as the file it leads to: the system finds that file
// somewhere else than under the name in the name's own folder.
bool LeadsElsewhere(const std::wstring& wide) {
  const std::wstring full = FullPathOf(wide);
  const size_t cut = full.find_last_of(L'\\');
  if (full.empty() || cut == std::wstring::npos || cut + 1 == full.size()) return false;
  const std::wstring found = FinalPathOf(full);
  if (found.empty() || SameText(found, full)) return false;
  std::wstring folder_name = full.substr(0, cut);
  if (!folder_name.empty() && folder_name.back() == L':') folder_name += L'\\';
  const std::wstring folder = FinalPathOf(folder_name);
  const size_t found_cut = found.find_last_of(L'\\');
  if (folder.empty() || found_cut == std::wstring::npos) return false;
  std::wstring found_folder = found.substr(0, found_cut);
  if (!found_folder.empty() && found_folder.back() == L':') found_folder += L'\\';
  if (!SameText(found_folder, folder)) return true;
  // In the same folder under another name: a link there, unless the name
  // is the short form of the file's own.
  const std::wstring leaf = LeafOf(found);
  if (SameText(leaf, LeafOf(full))) return false;
  std::vector<wchar_t> longer(full.size() + MAX_PATH);
  const DWORD n = GetLongPathNameW(full.c_str(), longer.data(), static_cast<DWORD>(longer.size()));
  return n == 0 || n >= longer.size() || !SameText(leaf, LeafOf(std::wstring(longer.data(), n)));
}

// The attributes of the name itself (links not followed), as the interface
// reports them.
uint32_t OwnAttributesOf(const std::wstring& wide) {
  const DWORD a = GetFileAttributesW(wide.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return kInvalidAttributes;
  if ((a & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || !LeadsElsewhere(wide)) {
    return static_cast<uint32_t>(a);
  }
  return kAttrReparsePoint | (a & FILE_ATTRIBUTE_DIRECTORY);
}

// An empty file of our own takes the name by a rename, which replaces a link
// at its destination without following it; the name then holds that file.
bool ReplaceWithEmptyFile(const std::wstring& wide) {
  for (int i = 0; i < 16; ++i) {
    const std::wstring stand_in = wide + L".~" + std::to_wstring(i);
    HANDLE h = CreateFileW(stand_in.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      return false;
    }
    CloseHandle(h);
    if (MoveFileExW(stand_in.c_str(), wide.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    DeleteFileW(stand_in.c_str());
    return false;
  }
  return false;
}

// Removes the link `wide`, whose own attributes are `a`.
bool RemoveLinkWith(const std::wstring& wide, uint32_t a) {
  if (a == kInvalidAttributes || (a & kAttrReparsePoint) == 0) return false;
  if ((a & kAttrDirectory) != 0) {
    // Wine removes a link to a folder only by removing the folder itself.
    return !RunsUnderWine() && RemoveDirectoryW(wide.c_str()) != 0;
  }
  return ReplaceWithEmptyFile(wide) && DeleteFileW(wide.c_str()) != 0;
}

class Win32FileSystem : public FileSystem {
 public:
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    DWORD access = GENERIC_READ;
    DWORD share = FILE_SHARE_READ;
    DWORD disposition = OPEN_EXISTING;
    switch (mode) {
      case OpenMode::kRead:
        break;
      case OpenMode::kWrite:
        access = GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        break;
      case OpenMode::kWriteExclusive:
        access = GENERIC_WRITE;
        share = 0;
        disposition = CREATE_ALWAYS;
        break;
      case OpenMode::kReadWrite:
        access = GENERIC_READ | GENERIC_WRITE;
        break;
      case OpenMode::kTestExclusive:
        access = GENERIC_WRITE;
        share = 0;
        break;
      case OpenMode::kCreateNew:
        access = GENERIC_WRITE;
        share = 0;
        disposition = CREATE_NEW;
        break;
    }
    UPKEEP_WIDE_OR(path, wide, nullptr)
    if ((access & GENERIC_WRITE) != 0 && mode != OpenMode::kCreateNew) {
      // Windows refuses to write a read-only file; Wine running as root would not.
      DWORD a = GetFileAttributesW(wide.c_str());
      if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY) != 0 &&
          (a & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        g_last_failure_full = false;
        return nullptr;
      }
    }
    const DWORD flags =
        FILE_ATTRIBUTE_NORMAL | (mode == OpenMode::kCreateNew ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    HANDLE h = CreateFileW(wide.c_str(), access, share, nullptr, disposition, flags, nullptr);
    // Wine shows a link to nothing to no call but a create, which it fails:
    // that link is replaced, never written through.
    if (h == INVALID_HANDLE_VALUE && mode == OpenMode::kCreateNew &&
        GetLastError() == ERROR_FILE_EXISTS &&
        GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES && ReplaceWithEmptyFile(wide) &&
        DeleteFileW(wide.c_str())) {
      h = CreateFileW(wide.c_str(), access, share, nullptr, disposition, flags, nullptr);
    }
    if ((access & GENERIC_WRITE) != 0 && mode != OpenMode::kTestExclusive) {
      Noted(h != INVALID_HANDLE_VALUE);
    }
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::unique_ptr<File>(
        new Win32File(h, (access & GENERIC_WRITE) != 0 && mode != OpenMode::kTestExclusive));
  }

  std::unique_ptr<MappedView> MapFile(const std::string& path) override {
    std::unique_ptr<File> file = Open(path, OpenMode::kRead);
    if (file == nullptr) return nullptr;
    HANDLE handle = static_cast<Win32File*>(file.get())->handle();
    const int64_t end = file->Size();
    const uint64_t size = end > 0 ? static_cast<uint64_t>(end) : 0;
    HANDLE mapping = nullptr;
    const void* view = nullptr;
    // An empty file cannot be mapped; nor can more than the address space holds.
    if (size > 0 && size <= SIZE_MAX) {
      mapping = CreateFileMappingW(handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
      if (mapping != nullptr) {
        view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size));
      }
    }
    return std::unique_ptr<MappedView>(new Win32View(std::move(file), mapping, view, size));
  }

  uint32_t GetAttributes(const std::string& path) override {
    UPKEEP_WIDE_OR(path, wide, kInvalidAttributes)
    DWORD a = GetFileAttributesW(wide.c_str());
    return a == INVALID_FILE_ATTRIBUTES ? kInvalidAttributes : static_cast<uint32_t>(a);
  }
  uint32_t GetLinkAttributes(const std::string& path) override {
    UPKEEP_WIDE_OR(path, wide, kInvalidAttributes)
    return OwnAttributesOf(wide);
  }
  bool SetAttributes(const std::string& path, uint32_t attributes) override {
    UPKEEP_WIDE_OR(path, wide, false)
    // Wine would set them on what a link leads to.
    const uint32_t own = OwnAttributesOf(wide);
    if (own != kInvalidAttributes && (own & kAttrReparsePoint) != 0) return true;
    return SetFileAttributesW(wide.c_str(), attributes) != 0;
  }
  bool Move(const std::string& from, const std::string& to) override {
    UPKEEP_WIDE_OR(from, wfrom, false)
    UPKEEP_WIDE_OR(to, wto, false)
    return Noted(MoveFileW(wfrom.c_str(), wto.c_str()) != 0);
  }
  bool Replace(const std::string& from, const std::string& to) override {
    UPKEEP_WIDE_OR(from, wfrom, false)
    UPKEEP_WIDE_OR(to, wto, false)
    return Noted(MoveFileExW(wfrom.c_str(), wto.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0);
  }
  bool Delete(const std::string& path) override {
    UPKEEP_WIDE_OR(path, wide, false)
    const uint32_t own = OwnAttributesOf(wide);
    if (own != kInvalidAttributes && (own & kAttrReparsePoint) != 0) {
      return (own & kAttrDirectory) == 0 && RemoveLinkWith(wide, own);
    }
    return DeleteFileW(wide.c_str()) != 0;
  }
  bool RemoveLink(const std::string& path) override {
    UPKEEP_WIDE_OR(path, wide, false)
    return RemoveLinkWith(wide, OwnAttributesOf(wide));
  }
  CreateDirResult CreateDir(const std::string& path) override {
    UPKEEP_WIDE_OR(path, wide, CreateDirResult::kFailed)
    if (Noted(CreateDirectoryW(wide.c_str(), nullptr) != 0)) return CreateDirResult::kCreated;
    return GetLastError() == ERROR_ALREADY_EXISTS ? CreateDirResult::kAlreadyExists
                                                  : CreateDirResult::kFailed;
  }
  bool RemoveDir(const std::string& path) override {
    UPKEEP_WIDE_OR(path, wide, false)
    const uint32_t own = OwnAttributesOf(wide);
    if (own != kInvalidAttributes && (own & kAttrReparsePoint) != 0) {
      return (own & kAttrDirectory) != 0 && RemoveLinkWith(wide, own);
    }
    return RemoveDirectoryW(wide.c_str()) != 0;
  }

  bool Find(const std::string& pattern, std::vector<FindEntry>* out) override {
    out->clear();
    UPKEEP_WIDE_OR(pattern, wide, false)
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW(wide.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) {
      // An existing folder with no match is an empty listing, not a failure.
      return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    do {
      // A name the code page cannot spell is left out: a stand-in could name
      // another file.
      std::string name;
      if (!NarrowPath(data.cFileName, wcslen(data.cFileName), &name)) continue;
      uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
      out->push_back(FindEntry{name, data.dwFileAttributes, size});
    } while (FindNextFileW(h, &data));
    FindClose(h);
    return true;
  }

  std::string GetCurrentDir() override {
    return NarrowQuery([](wchar_t* buf, DWORD n) { return GetCurrentDirectoryW(n, buf); });
  }
  bool SetCurrentDir(const std::string& path) override {
    UPKEEP_WIDE_OR(path, wide, false)
    return SetCurrentDirectoryW(wide.c_str()) != 0;
  }

  bool GetFreeBytes(const std::string& path, uint64_t* bytes) override {
    UPKEEP_WIDE_OR(path, wide, false)
    // Looked up at run time, as very old systems lack the extended query.
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FreeSpaceExFn ex = kernel != nullptr ? reinterpret_cast<FreeSpaceExFn>(reinterpret_cast<void*>(
                                               GetProcAddress(kernel, "GetDiskFreeSpaceExW")))
                                         : nullptr;
    if (ex != nullptr) {
      ULARGE_INTEGER avail, total, free;
      if (!ex(wide.c_str(), &avail, &total, &free)) return false;
      *bytes = avail.QuadPart;
      return true;
    }
    DWORD spc, bps, freeClusters, clusters;
    if (!GetDiskFreeSpaceW(wide.c_str(), &spc, &bps, &freeClusters, &clusters)) return false;
    *bytes = static_cast<uint64_t>(spc) * bps * freeClusters;
    return true;
  }

  std::string GetFullPath(const std::string& path) override {
    UPKEEP_WIDE_OR(path, wide, std::string())
    return NarrowQuery(
        [&wide](wchar_t* buf, DWORD n) { return GetFullPathNameW(wide.c_str(), n, buf, nullptr); });
  }
  std::string GetLongPath(const std::string& path) override {
    UPKEEP_WIDE_OR(path, wide, std::string())
    return NarrowQuery(
        [&wide](wchar_t* buf, DWORD n) { return GetLongPathNameW(wide.c_str(), buf, n); });
  }
  bool LastFailureWasFull() override { return g_last_failure_full; }
};

#undef UPKEEP_WIDE_OR

}  // namespace

FileSystem* DefaultFileSystem() {
  static Win32FileSystem fs;
  return &fs;
}

}  // namespace upkeep
