#include "engine_test_util.h"

#include <zlib.h>

#include <cstdio>
#include <filesystem>

#include "authoring/delta_encoder.h"
#include "authoring/payload_writer.h"
#include "engine/script_runner.h"
#include "package/package.h"
#include "platform/file_system.h"

namespace upkeep {
namespace test {

namespace {
ProgressRecorder* g_recorder = nullptr;

void RecordProgress(void*, int32_t overall, int32_t step, const char* file, const char* text) {
  if (g_recorder != nullptr) {
    g_recorder->events.push_back(ProgressEvent{overall, step, file != nullptr ? file : "(null)",
                                               text != nullptr ? text : "(null)"});
  }
}
}  // namespace

ProgressRecorder::ProgressRecorder() { g_recorder = this; }
ProgressRecorder::~ProgressRecorder() { g_recorder = nullptr; }
ProgressCallback ProgressRecorder::callback() { return ProgressCallback(&RecordProgress, nullptr); }

std::vector<ProgressEvent> ProgressRecorder::WithText(const std::string& text) const {
  std::vector<ProgressEvent> out;
  for (const ProgressEvent& e : events) {
    if (e.text == text) out.push_back(e);
  }
  return out;
}

std::string CrcText(const std::vector<uint8_t>& bytes) {
  uLong crc = crc32(0L, Z_NULL, 0);
  if (!bytes.empty()) crc = crc32(crc, bytes.data(), static_cast<uInt>(bytes.size()));
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(crc));
  return text;
}

std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string Lit(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

const char kPatchScriptPrelude[] =
    "!Version(s, s)\r\n"
    "!all()\r\n"
    "!CheckDir(s)\r\n"
    "!CheckFile(s, s)\r\n"
    "!CreateDir(s)\r\n"
    "!DeleteDir(s)\r\n"
    "!DeleteFile(s, s)\r\n"
    "!CreateFile(s, s, s)\r\n"
    "!IsOKDir(s)\r\n"
    "!IsOKFile(s, s)\r\n"
    "!PatchFile(s, s, s, s)\r\n"
    "!RenameFile(s, s)\r\n"
    "!FreeSpace(n)\r\n"
    "!UpdateStartMenuLink(s, s, s, s)\r\n"
    "!UpdateStartMenuLinkToFile(s, s)\r\n"
    "!UpdateDesktopLink(s, s, s, s)\r\n"
    "!UpdateDesktopLinkToFile(s, s)\r\n"
    "!AddStartMenuLink(s, s, s, s, n)\r\n"
    "!AddDesktopLink(s, s, s, s, n)\r\n";

ShortcutHandlersGuard::ShortcutHandlersGuard(ShortcutHandler handler) {
  for (int i = 0; i < kCount; ++i) {
    saved_[i] = GetShortcutHandler(static_cast<CommandId>(i));
    RegisterShortcutHandler(static_cast<CommandId>(i), handler);
  }
}

ShortcutHandlersGuard::~ShortcutHandlersGuard() {
  for (int i = 0; i < kCount; ++i) RegisterShortcutHandler(static_cast<CommandId>(i), saved_[i]);
}

UpdateFixture::UpdateFixture() { package_path_ = package_dir_.Join("update.exe"); }
UpdateFixture::~UpdateFixture() = default;

std::string UpdateFixture::EnginePath(const std::string& relative) const {
  return game_.path() + "\\" + relative;
}

void UpdateFixture::Write(const std::string& relative, const std::vector<uint8_t>& bytes) {
  std::filesystem::path p(Native(relative));
  std::filesystem::create_directories(p.parent_path());
  WriteFileBytes(p.string(), bytes);
}

void UpdateFixture::WriteText(const std::string& relative, const std::string& text) {
  Write(relative, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> UpdateFixture::Read(const std::string& relative) const {
  std::vector<uint8_t> bytes;
  ReadFileBytes(Native(relative), &bytes);
  return bytes;
}

bool UpdateFixture::Exists(const std::string& relative) const {
  return std::filesystem::exists(Native(relative));
}

void UpdateFixture::MakeDir(const std::string& relative) {
  std::filesystem::create_directories(Native(relative));
}

void UpdateFixture::SetReadOnly(const std::string& relative, bool readOnly) {
  GetFileSystem()->SetAttributes(Native(relative), readOnly ? kAttrReadOnly : kAttrNormal);
}

bool UpdateFixture::IsReadOnly(const std::string& relative) const {
  uint32_t a = GetFileSystem()->GetAttributes(Native(relative));
  return a != kInvalidAttributes && (a & kAttrReadOnly) != 0;
}

void UpdateFixture::AddPayload(const std::string& entry, const std::vector<uint8_t>& data) {
  AddRawEntry(entry, EncodePayload(data));
}

void UpdateFixture::AddDelta(const std::string& entry, const std::vector<uint8_t>& oldData,
                             const std::vector<uint8_t>& newData) {
  AddDecodedDelta(entry,
                  EncodeDelta(oldData.data(), oldData.size(), newData.data(), newData.size()));
}

void UpdateFixture::AddDecodedDelta(const std::string& entry, const std::vector<uint8_t>& decoded) {
  AddPayload(entry, decoded);
}

void UpdateFixture::AddRawEntry(const std::string& name, const std::vector<uint8_t>& bytes) {
  ArchiveEntry e;
  e.name = name;
  e.data = bytes;
  entries_.push_back(e);
}

int32_t UpdateFixture::Run(const std::string& script, const RunOptions& options) {
  return RunWithSource(script, game_.path(), options);
}

int32_t UpdateFixture::RunWithSource(const std::string& script, const std::string& sourceRoot,
                                     const RunOptions& options) {
  std::vector<ArchiveEntry> entries = entries_;
  ArchiveEntry scr;
  scr.name = "patch.scr";
  std::string text = (options.withPrelude ? std::string(kPatchScriptPrelude) : "") + script;
  scr.data.assign(text.begin(), text.end());
  entries.push_back(scr);
  // The package is written past any fault-injecting file system a test set.
  FileSystem* active = GetFileSystem();
  SetFileSystem(nullptr);
  ArchiveOptions archive;
  archive.manifest = options.manifest;
  archive.volume_size = options.volumeSize;
  archive.end_alignment = options.manifest ? 8 : 1;
  WritePackage(package_path_, RandomBytes(512, 5), entries, nullptr, archive);
  if (options.damage) options.damage(package_path_);
  SetFileSystem(active == DefaultFileSystem() ? nullptr : active);

  if (options.mounted) OpenPackage(package_path_.c_str());
  std::vector<const PackageArchive*> table_before;
  for (const auto& archive : OpenPackages()) table_before.push_back(archive.get());

  std::string log_path = game_.path() + "\\patch.log";
  PackageFile* log = options.withLog ? OpenPackageFile(log_path.c_str(), "wt") : nullptr;
  std::string saved_dir = GetFileSystem()->GetCurrentDir();
  if (!options.withLog) GetFileSystem()->SetCurrentDir(game_.path());
  RunRequest request;
  request.packagePath = package_path_;
  request.sourceRoot = sourceRoot;
  request.targetRoot = game_.path();
  request.progress = options.progress;
  request.log = log;
  request.currentVersion = options.currentVersion;
  request.skipSpaceCheck = options.skipSpaceCheck;
  request.skipShortcuts = options.skipShortcuts;
  request.linkBaseDir = game_.path() + "\\";
  request.gameExecutable = "game.exe";
  request.journal = options.journal;
  request.changed = options.changed;
  request.readWindow = options.readWindow;
  request.beforeFirstChange = options.beforeFirstChange;
  request.stopRequested = options.stopRequested;
  int32_t code = RunUpdateScript(request);
  if (!options.withLog) GetFileSystem()->SetCurrentDir(saved_dir);
  if (log != nullptr) ClosePackageFile(log);
  log_ = ReadFileText(Native("patch.log"));
  std::vector<const PackageArchive*> table_after;
  for (const auto& archive : OpenPackages()) table_after.push_back(archive.get());
  table_kept_ = table_after == table_before;
  if (options.mounted) ClosePackage(package_path_.c_str());
  return code;
}

}  // namespace test
}  // namespace upkeep

namespace upkeep {
namespace test {

namespace {
class BudgetFile : public File {
 public:
  BudgetFile(std::unique_ptr<File> inner, FaultyFileSystem* owner)
      : inner_(std::move(inner)), owner_(owner) {}
  int64_t Read(void* dst, size_t n) override { return inner_->Read(dst, n); }
  int64_t Write(const void* src, size_t n) override {
    int64_t left = owner_->writeBudget - owner_->writtenToFailing;
    const int64_t hidden = owner_->hideWriteFailures ? static_cast<int64_t>(n) : -1;
    if (left <= 0) return hidden;
    size_t take = static_cast<int64_t>(n) > left ? static_cast<size_t>(left) : n;
    int64_t put = inner_->Write(src, take);
    if (put > 0) owner_->writtenToFailing += put;
    return put >= 0 && owner_->hideWriteFailures ? hidden : put;
  }
  int64_t Seek(int64_t offset, SeekOrigin origin) override { return inner_->Seek(offset, origin); }
  int64_t Size() override { return inner_->Size(); }
  bool Flush() override { return inner_->Flush(); }

 private:
  std::unique_ptr<File> inner_;
  FaultyFileSystem* owner_;
};

// Counts writes and flushes for the Nth-operation fault.
class CountedFile : public File {
 public:
  CountedFile(std::unique_ptr<File> inner, FaultyFileSystem* owner, const std::string& path)
      : inner_(std::move(inner)), owner_(owner), path_(path) {}
  int64_t Read(void* dst, size_t n) override { return inner_->Read(dst, n); }
  int64_t Write(const void* src, size_t n) override {
    if (owner_->FailsNow(FaultyFileSystem::Op::kWrite, path_)) return -1;
    owner_->NoteWrite(path_, src, n);
    return inner_->Write(src, n);
  }
  int64_t Seek(int64_t offset, SeekOrigin origin) override { return inner_->Seek(offset, origin); }
  int64_t Size() override { return inner_->Size(); }
  bool Flush() override {
    if (owner_->FailsNow(FaultyFileSystem::Op::kFlush, path_) || !inner_->Flush()) return false;
    owner_->NoteFlush(path_);
    return true;
  }

 private:
  std::unique_ptr<File> inner_;
  FaultyFileSystem* owner_;
  std::string path_;
};

class ReadFailingFile : public File {
 public:
  ReadFailingFile(std::unique_ptr<File> inner, int allowed)
      : inner_(std::move(inner)), allowed_(allowed) {}
  int64_t Read(void* dst, size_t n) override { return Allowed() ? inner_->Read(dst, n) : -1; }
  int64_t ReadAt(uint64_t offset, void* dst, size_t n) override {
    return Allowed() ? inner_->ReadAt(offset, dst, n) : -1;
  }
  int64_t Write(const void* src, size_t n) override { return inner_->Write(src, n); }
  int64_t Seek(int64_t offset, SeekOrigin origin) override { return inner_->Seek(offset, origin); }
  int64_t Size() override { return inner_->Size(); }

 private:
  bool Allowed() { return allowed_-- > 0; }
  std::unique_ptr<File> inner_;
  int allowed_;
};

bool Contains(const std::string& text, const std::string& part) {
  return !part.empty() && text.find(part) != std::string::npos;
}

bool IsWriteMode(OpenMode mode) {
  return mode == OpenMode::kWrite || mode == OpenMode::kWriteExclusive ||
         mode == OpenMode::kReadWrite || mode == OpenMode::kCreateNew;
}

std::string Folded(std::string path) {
  for (char& c : path) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '/') c = '\\';
  }
  while (path.size() > 1 && path.back() == '\\') path.pop_back();
  return path;
}

std::string FolderOfPath(const std::string& path) {
  const std::string p = Folded(path);
  const size_t cut = p.find_last_of('\\');
  return cut == std::string::npos ? "." : p.substr(0, cut);
}

bool EndsWithText(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}
}  // namespace

void FaultyFileSystem::NoteWrite(const std::string& path, const void* data, size_t n) {
  const std::string text(static_cast<const char*>(data), n);
  if (EndsWithText(Folded(path), "upkeep.journal") && text.find("done\t") != std::string::npos) {
    for (const std::string& folder : unflushedFolders_) {
      // A folder removed since holds nothing to lose.
      if (IsDirectory(folder)) orderFaults.push_back("done record before flushing " + folder);
    }
  }
  unflushedFiles_.insert(Folded(path));
}

void FaultyFileSystem::NoteFlush(const std::string& path) { unflushedFiles_.erase(Folded(path)); }

void FaultyFileSystem::FolderChanged(const std::string& path) {
  unflushedFolders_.insert(FolderOfPath(path));
}

bool FaultyFileSystem::FlushDir(const std::string& path) {
  if (FailsNow(Op::kFlush, path) || !target()->FlushDir(path)) return false;
  unflushedFolders_.erase(Folded(path));
  return true;
}

CreateDirResult FaultyFileSystem::CreateDir(const std::string& path) {
  if (FailsNow(Op::kMove, path)) return CreateDirResult::kFailed;
  const CreateDirResult r = target()->CreateDir(path);
  if (r == CreateDirResult::kCreated) FolderChanged(path);
  return r;
}

bool FaultyFileSystem::RemoveDir(const std::string& path) {
  if (FailsNow(Op::kDelete, path) || !target()->RemoveDir(path)) return false;
  FolderChanged(path);
  return true;
}

FaultyFileSystem::FaultyFileSystem() : FileSystemWrapper(DefaultFileSystem()) {
  SetFileSystem(this);
}
FaultyFileSystem::~FaultyFileSystem() { SetFileSystem(nullptr); }

std::unique_ptr<File> FaultyFileSystem::Open(const std::string& path, OpenMode mode) {
  if (IsWriteMode(mode) && (killed_ || Contains(path, refuseCreate))) return nullptr;
  if (!IsWriteMode(mode) && Contains(path, refuseReadOf)) return nullptr;
  std::unique_ptr<File> f = target()->Open(path, mode);
  if (f != nullptr && mode == OpenMode::kRead && Contains(path, failReadsOf)) {
    return std::unique_ptr<File>(new ReadFailingFile(std::move(f), readsAllowed));
  }
  if (f == nullptr || !IsWriteMode(mode)) return f;
  f.reset(new CountedFile(std::move(f), this, path));
  if (!Contains(path, failWritesTo)) return f;
  return std::unique_ptr<File>(new BudgetFile(std::move(f), this));
}

bool FaultyFileSystem::FailsNow(Op kind, const std::string& path) {
  if (killed_) return true;
  if ((kind != failKind && failKind != Op::kAny) || ++opsSeen != failNth) return false;
  failedPath = path;
  killed_ = failKind == Op::kAny;
  return true;
}

bool FaultyFileSystem::Move(const std::string& from, const std::string& to) {
  if (Contains(from, refuseMovesWith) || Contains(to, refuseMovesWith)) return false;
  if (FailsNow(Op::kMove, to)) return false;
  if (movesAllowed == 0) return false;
  if (movesAllowed > 0) --movesAllowed;
  if (!target()->Move(from, to)) return false;
  FolderChanged(from);
  FolderChanged(to);
  return true;
}

bool FaultyFileSystem::Replace(const std::string& from, const std::string& to) {
  if (Contains(from, refuseMovesWith) || Contains(to, refuseMovesWith)) return false;
  if (FailsNow(Op::kMove, to)) return false;
  if (movesAllowed == 0) return false;
  if (movesAllowed > 0) --movesAllowed;
  if (unflushedFiles_.count(Folded(from)) != 0) {
    orderFaults.push_back("put in place before its content was flushed: " + from);
  }
  if (!target()->Replace(from, to)) return false;
  FolderChanged(to);
  return true;
}

bool FaultyFileSystem::Delete(const std::string& path) {
  if (Contains(path, refuseDeleteWith) || FailsNow(Op::kDelete, path)) return false;
  if (!target()->Delete(path)) return false;
  // New content that never took a name of the game may go missing unharmed.
  if (!EndsWithText(Folded(path), ".~up")) FolderChanged(path);
  return true;
}

namespace {
// The file opened, but its bytes cannot be mapped.
class UnmappedView : public MappedView {
 public:
  explicit UnmappedView(std::unique_ptr<MappedView> inner) : inner_(std::move(inner)) {}
  const uint8_t* data() const override { return nullptr; }
  uint64_t size() const override { return inner_->size(); }

 private:
  std::unique_ptr<MappedView> inner_;
};
}  // namespace

std::unique_ptr<MappedView> FaultyFileSystem::MapFile(const std::string& path) {
  std::unique_ptr<MappedView> view = target()->MapFile(path);
  if (!failMaps || view == nullptr) return view;
  return std::unique_ptr<MappedView>(new UnmappedView(std::move(view)));
}

bool FaultyFileSystem::GetFreeBytes(const std::string& path, uint64_t* bytes) {
  if (!fakeFreeSpace) return target()->GetFreeBytes(path, bytes);
  freeSpaceAsked.push_back(path);
  *bytes = freeBytes;
  return true;
}

}  // namespace test
}  // namespace upkeep
