#include <memory>
#include <string>
#include <vector>

#include "engine/checksum.h"
#include "engine/mapped_file.h"
#include "engine/commands.h"
#include "engine/content_writer.h"
#include "package/payload_stream.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "script/command_schema.h"

namespace upkeep {

namespace {

constexpr size_t kCopyChunk = 102400;
constexpr uint32_t kAttrProtect = kAttrReadOnly | kAttrHidden | kAttrSystem;

const char kMissingDirLine[] =
    "B\xB3\xB9"
    "d: nie znaleziono katalogu %s !\n";
// Attribute bits without read-only, hidden and system; "normal" when none remain.
uint32_t Unprotected(uint32_t attributes) {
  uint32_t a = attributes & ~(kAttrProtect | kAttrDirectory | kAttrNormal);
  return a == 0 ? kAttrNormal : a;
}

void UnprotectFile(FileSystem* fs, const std::string& path) {
  uint32_t a = fs->GetAttributes(path);
  // Most files carry no bit to clear: nothing to ask the system.
  if (a != kInvalidAttributes && Unprotected(a) != a) fs->SetAttributes(path, Unprotected(a));
}

// Same file by its absolute spelling, letter case ignored as the system does.
bool SamePath(FileSystem* fs, const std::string& a, const std::string& b) {
  std::string fa = fs->GetFullPath(a), fb = fs->GetFullPath(b);
  if (fa.empty() || fb.empty()) return CompareNoCase(a.c_str(), b.c_str()) == 0;
  if (CompareNoCase(fa.c_str(), fb.c_str()) == 0) return true;
  std::string la = fs->GetLongPath(fa), lb = fs->GetLongPath(fb);
  return !la.empty() && !lb.empty() && CompareNoCase(la.c_str(), lb.c_str()) == 0;
}

std::string ChildPath(const std::string& dir, const std::string& name) {
  if (!dir.empty() && dir.back() != '\\' && dir.back() != '/') return dir + "\\" + name;
  return dir + name;
}

}  // namespace

std::string NewContentPath(const std::string& target) { return target + ".~up"; }

bool WrittenContentMatches(const WrittenContent& written, const char* expected,
                           const std::string& label, ProgressCallback progress,
                           int32_t overallPercent, const char* message) {
  uint32_t wanted = 0;
  if (!ParseChecksumText(expected, &wanted)) return false;
  ReportCrcProgress(written.accepted, label.c_str(), progress, overallPercent, message);
  return written.fileSize >= 0 && static_cast<uint64_t>(written.fileSize) == written.accepted &&
         written.crc == wanted;
}

bool PutInPlace(CommandContext& context, const std::string& fresh, const std::string& target) {
  UnprotectFile(context.fs, target);
  if (!context.fs->Replace(fresh, target)) return false;
  NoteFolderChange(context, target);
  return true;
}

bool RanOutOfSpace(const std::string& target, uint64_t needed, FileSystem* fs) {
  if (fs == nullptr) fs = GetFileSystem();
  // A volume out of file entries still has bytes free.
  if (fs->LastFailureWasFull()) return true;
  size_t cut = target.find_last_of("\\/");
  std::string dir = cut == std::string::npos ? std::string(".") : target.substr(0, cut + 1);
  uint64_t free_bytes = 0;
  return fs->GetFreeBytes(dir, &free_bytes) && free_bytes < needed;
}

void RelabeledProgress::Forward(void* self, int32_t overall, int32_t step, const char* file,
                                const char* text) {
  RelabeledProgress* p = static_cast<RelabeledProgress*>(self);
  const char* shown = file != nullptr && p->from == file ? p->to.c_str() : file;
  p->inner(overall, step, shown, text);
}

int ExtractPayloadFile(const PackageEntry& entry, FileSystem* fs, const std::string& destination,
                       uint64_t* size, WrittenContent* written,
                       const std::function<void(uint64_t)>& progress) {
  // The destination goes straight to the disk with the spelling the script
  // gave it; the package layer would upper-case a name it does not know.
  std::unique_ptr<File> out = CreateNewFile(fs, destination);
  if (out == nullptr) return kExtractDestinationFailed;
  ContentWriter writer(out.get());
  uint64_t made = 0, declared = 0;
  const bool decoded = DecodeFileEntry(
      entry,
      [&](const uint8_t* data, size_t n) {
        if (made == 0 && size != nullptr) *size = declared;
        made += n;
        writer.Write(data, n);
        if (progress) progress(n);
        return true;
      },
      &declared);
  if (size != nullptr) *size = declared;
  if (!decoded) return kExtractPayloadFailed;
  WrittenContent result;
  writer.Finish(&result);
  if (written != nullptr) *written = result;
  return result.flushed && result.accepted == made ? kExtractDone : kExtractDestinationFailed;
}

int ExtractPayloadFile(const char* entryName, const std::string& destination, uint64_t* size,
                       WrittenContent* written) {
  if (entryName == nullptr) return kExtractPayloadFailed;
  std::string key = entryName;
  NormalizePackagePath(&key);
  for (const auto& archive : OpenPackages()) {
    if (PackageEntry* entry = FindPackageEntry(*archive, key.c_str())) {
      return ExtractPayloadFile(*entry, GetFileSystem(), destination, size, written);
    }
  }
  std::unique_ptr<PackageEntry> loose = OpenLooseEntry(entryName);
  if (loose == nullptr) return kExtractPayloadFailed;
  return ExtractPayloadFile(*loose, GetFileSystem(), destination, size, written);
}

bool CopyFileWithProgress(const std::string& source, const std::string& destination,
                          ProgressCallback progress, int32_t overallPercent, bool flush,
                          FileSystem* fs) {
  if (fs == nullptr) fs = GetFileSystem();
  // Creating the destination would truncate the very bytes about to be read.
  if (SamePath(fs, source, destination)) return false;
  // The source is opened first so that a missing source leaves the
  // destination as it was instead of truncated.
  std::unique_ptr<File> in = fs->Open(source, OpenMode::kRead);
  if (in == nullptr) return false;
  std::unique_ptr<File> out = CreateNewFile(fs, destination);
  if (out == nullptr) return false;
  int64_t size = in->Size();
  if (size < 0) return false;
  std::string text = ExpandedText("&IDS_PROGRESS_COPYING_FILE&");
  if (progress != nullptr) progress(overallPercent, 0, source.c_str(), text.c_str());
  std::vector<uint8_t> buffer(kCopyChunk);
  int64_t copied = 0;
  int32_t last = 0;
  while (copied < size) {
    size_t n = static_cast<size_t>(size - copied < static_cast<int64_t>(kCopyChunk)
                                       ? size - copied
                                       : static_cast<int64_t>(kCopyChunk));
    if (in->Seek(copied, SeekOrigin::kBegin) != copied ||
        out->Seek(copied, SeekOrigin::kBegin) != copied) {
      return false;
    }
    if (in->Read(buffer.data(), n) != static_cast<int64_t>(n)) return false;
    if (out->Write(buffer.data(), n) != static_cast<int64_t>(n)) return false;
    copied += static_cast<int64_t>(n);
    int32_t p =
        static_cast<int32_t>(static_cast<uint64_t>(copied) * 100 / static_cast<uint64_t>(size));
    if (progress != nullptr && p != last) {
      last = p;
      progress(overallPercent, p, source.c_str(), text.c_str());
    }
  }
  // A device that drops bytes without saying so leaves the copy short.
  return out->Size() == size && (!flush || out->Flush());
}

int RemoveDirectoryTree(const std::string& directory, FileSystem* fs) {
  if (fs == nullptr) fs = GetFileSystem();
  if (!IsDirectory(fs, directory)) return kTreeNotEntered;
  // A link to a folder goes as a link; what it leads to is not the game's.
  if (IsLink(fs, directory)) return fs->RemoveLink(directory) ? kTreeRemoved : kTreeNotEntered;
  std::vector<FindEntry> entries;
  if (!fs->Find(ChildPath(directory, "*.*"), &entries)) return kTreeNotEntered;
  // Directories in the order they were entered; removing them in reverse takes
  // every child before its parent. An explicit stack keeps deep trees off the
  // call stack.
  std::vector<std::string> entered;
  std::vector<std::string> pending;
  bool listed = true;
  std::string dir = directory;
  for (;;) {
    if (listed) {
      entered.push_back(dir);
      for (const FindEntry& e : entries) {
        if (e.name == "." || e.name == "..") continue;
        std::string path = ChildPath(dir, e.name);
        if ((e.attributes & kAttrReparsePoint) != 0) {
          // Links are removed as links, never walked into.
          fs->RemoveLink(path);
        } else if ((e.attributes & kAttrDirectory) != 0) {
          pending.push_back(path);
        } else {
          // Delete and SetAttributes never act through a link (Wine shows a
          // link to a file as the file).
          if (Unprotected(e.attributes) != e.attributes) {
            fs->SetAttributes(path, Unprotected(e.attributes));
          }
          fs->Delete(path);
        }
      }
    }
    if (pending.empty()) break;
    dir = pending.back();
    pending.pop_back();
    listed = fs->Find(ChildPath(dir, "*.*"), &entries);
  }
  for (size_t i = entered.size(); i-- > 1;) fs->RemoveDir(entered[i]);
  return fs->RemoveDir(directory) ? kTreeRemoved : kTreeNotRemoved;
}

int32_t CheckFileCommand(CommandContext& context, const ScriptCall& call) {
  const char* name = StringArgument(&call, 0);
  const char* checksum = StringArgument(&call, GetCommandInfo(CommandId::kCheckFile).checksum);
  std::string path;
  bool fits = JoinPath(context.sourceRoot, name, kMaxJoinedPath, &path);
  if (name == nullptr || checksum == nullptr || !fits) {
    return AbortRun(context, kOperationFailed, "ERROR: wrong CRC of %s !\n", path.c_str());
  }
  const char* key = "&IDS_PROGRESS_VERYFING_SOURCE_FILE&";
  Report(context, 0, path.c_str(), key);
  std::string text = ExpandedText(key);
  if (FileMatchesChecksum(context.fs, context.readWindow, context.sourceRoot.c_str(), name,
                          checksum, context.progress, context.overallPercent, text.c_str())) {
    Report(context, 100, path.c_str(), key);
    return kContinue;
  }
  // Its old content is gone because the interrupted run already patched it.
  if (AlreadyPatched(context, path)) {
    context.modified = context.changed = true;
    Report(context, 100, path.c_str(), key);
    return kContinue;
  }
  return AbortRun(context, context.modified ? kChecksumAfterChange : kChecksumBeforeChange,
                  "ERROR: wrong CRC of %s !\n", path.c_str());
}

int32_t CheckDirCommand(CommandContext& context, const ScriptCall& call) {
  const char* name = StringArgument(&call, 0);
  std::string path;
  bool fits = JoinPath(context.sourceRoot, name, kMaxJoinedPath, &path);
  if (name == nullptr || !fits) {
    return AbortRun(context, kOperationFailed, kMissingDirLine, path.c_str());
  }
  const char* key = "&IDS_PROGRESS_VERYFING_SOURCE_DIR&";
  Report(context, 0, path.c_str(), key);
  if (!IsDirectory(context.fs, path)) {
    return AbortRun(context, kOperationFailed, kMissingDirLine, path.c_str());
  }
  Report(context, 100, path.c_str(), key);
  return kContinue;
}

int32_t IsOKFileCommand(CommandContext& context, const ScriptCall& call) {
  const char* name = StringArgument(&call, 0);
  const char* checksum = StringArgument(&call, GetCommandInfo(CommandId::kIsOKFile).checksum);
  std::string target, source;
  bool fits = JoinPath(context.targetRoot, name, kMaxJoinedPath, &target);
  fits = JoinPath(context.sourceRoot, name, kMaxJoinedPath, &source) && fits;
  if (name == nullptr || checksum == nullptr || !fits) {
    return AbortRun(context, kOperationFailed, "ERROR: couldn't copy file %s !\n", source.c_str());
  }
  const char* key = "&IDS_PROGRESS_VERYFING_DEST_FILE&";
  Report(context, 0, target.c_str(), key);
  std::string text = ExpandedText(key);
  if (!FileMatchesChecksum(context.fs, context.readWindow, context.targetRoot.c_str(), name,
                           checksum, context.progress, context.overallPercent, text.c_str())) {
    LogLine(context, "Copying file: %s\n", target.c_str());
    // Copied beside the file first: a copy cut short never takes its place.
    const std::string fresh = NewContentPath(target);
    if (SamePath(context.fs, source, target) || !NoteNewContent(context, fresh) ||
        !CopyFileWithProgress(source, fresh, context.progress, context.overallPercent, true,
                              context.fs) ||
        !BeginChange(context) || !PutInPlace(context, fresh, target)) {
      const bool full = RanOutOfSpace(context, fresh, 0);
      context.fs->Delete(fresh);
      return AbortRun(context, full ? kNotEnoughSpace : kOperationFailed,
                      "ERROR: couldn't copy file %s !\n", source.c_str());
    }
    context.changed = true;
  }
  Report(context, 100, target.c_str(), key);
  return kContinue;
}

int32_t IsOKDirCommand(CommandContext& context, const ScriptCall& call) {
  const char* name = StringArgument(&call, 0);
  std::string path;
  bool fits = JoinPath(context.targetRoot, name, kMaxJoinedPath, &path);
  if (name == nullptr || !fits) {
    return AbortRun(context, kOperationFailed, "ERROR: couldn't create dir: %s !\n", path.c_str());
  }
  const char* key = "&IDS_PROGRESS_VERYFING_DEST_DIR&";
  Report(context, 0, path.c_str(), key);
  if (!IsDirectory(context.fs, path)) {
    if (!BeginChange(context) || context.fs->CreateDir(path) != CreateDirResult::kCreated) {
      return AbortRun(context, RanOutOfSpace(context, path, 0) ? kNotEnoughSpace : kOperationFailed,
                      "ERROR: couldn't create dir: %s !\n", path.c_str());
    }
    NoteFolderChange(context, path);
    context.changed = true;
    LogLine(context, "Created dir: %s\n", path.c_str());
  }
  Report(context, 100, path.c_str(), key);
  return kContinue;
}

int32_t CreateDirCommand(CommandContext& context, const ScriptCall& call) {
  const char* name = StringArgument(&call, 0);
  std::string path;
  bool fits = JoinPath(context.targetRoot, name, kMaxJoinedPath, &path);
  if (name == nullptr || !fits) {
    return AbortRun(context, kOperationFailed, "ERROR: couldn't create dir %s !\n", path.c_str());
  }
  const char* key = "&IDS_PROGRESS_CREATING_DIR&";
  Report(context, 0, path.c_str(), key);
  if (!IsDirectory(context.fs, path) && !BeginChange(context)) {
    return AbortRun(context, kOperationFailed, "ERROR: couldn't create dir %s !\n", path.c_str());
  }
  const CreateDirResult created = context.fs->CreateDir(path);
  if (created == CreateDirResult::kFailed) {
    return AbortRun(context, RanOutOfSpace(context, path, 0) ? kNotEnoughSpace : kOperationFailed,
                    "ERROR: couldn't create dir %s !\n", path.c_str());
  }
  if (created == CreateDirResult::kCreated) {
    NoteFolderChange(context, path);
    context.changed = true;
  }
  LogLine(context, "Created dir: %s\n", path.c_str());
  Report(context, 100, path.c_str(), key);
  return kContinue;
}

int32_t DeleteDirCommand(CommandContext& context, const ScriptCall& call) {
  const char* name = StringArgument(&call, 0);
  std::string path;
  // The game folder itself is not a folder inside it.
  bool fits = JoinPath(context.targetRoot, name, kMaxJoinedPath, &path) && NameDepth(name) > 0;
  if (name == nullptr) {
    return AbortRun(context, kOperationFailed, "ERROR: couldn't remove dir: %s !\n", path.c_str());
  }
  const char* key = "&IDS_PROGRESS_REMOVING_DIR&";
  Report(context, 0, path.c_str(), key);
  if (fits && IsDirectory(context.fs, path) && !BeginChange(context)) {
    return AbortRun(context, kOperationFailed, "ERROR: couldn't remove dir: %s !\n", path.c_str());
  }
  int r = fits ? RemoveDirectoryTree(path, context.fs) : kTreeNotEntered;
  if (r != kTreeNotEntered) {
    NoteFolderChange(context, path);
    // What a removal cut short took from the folder itself.
    if (r == kTreeNotRemoved) NoteFolderChange(context, path + "\\*");
    context.modified = context.changed = true;
  }
  if (r != kTreeRemoved) context.notDone = true;
  if (r == kTreeRemoved) {
    LogLine(context, "Removed dir: %s\n", path.c_str());
  } else {
    LogLine(context, "ERROR: couldn't remove dir: %s !\n", path.c_str());
  }
  Report(context, 100, path.c_str(), key);
  return kContinue;
}

int32_t DeleteFileCommand(CommandContext& context, const ScriptCall& call) {
  const char* name = StringArgument(&call, 0);
  std::string path;
  bool fits = JoinPath(context.targetRoot, name, kMaxJoinedPath, &path);
  if (name == nullptr) {
    return AbortRun(context, kOperationFailed, "ERROR: couldn't remove file %s !\n", path.c_str());
  }
  const char* key = "&IDS_PROGRESS_REMOVING_FILE&";
  context.modified = true;
  Report(context, 0, path.c_str(), key);
  // A link to nothing is a name to remove too.
  FileSystem* fs = context.fs;
  if (fits && fs->GetLinkAttributes(path) != kInvalidAttributes && !BeginChange(context)) {
    return AbortRun(context, kOperationFailed, "ERROR: couldn't remove file %s !\n", path.c_str());
  }
  bool deleted = false;
  if (fits) {
    fs->SetAttributes(path, kAttrNormal);
    deleted = fs->Delete(path);
  }
  if (deleted) {
    NoteFolderChange(context, path);
    context.changed = true;
    LogLine(context, "Deleted file: %s\n", path.c_str());
  } else {
    context.notDone = true;
    LogLine(context, "ERROR: couldn't remove file %s !\n", path.c_str());
  }
  Report(context, 100, path.c_str(), key);
  return kContinue;
}

int32_t CreateFileCommand(CommandContext& context, const ScriptCall& call) {
  const char* name = StringArgument(&call, 0);
  const CommandInfo& info = GetCommandInfo(CommandId::kCreateFile);
  const char* entry = StringArgument(&call, info.entry);
  const char* checksum = StringArgument(&call, info.checksum);
  std::string path;
  bool fits = JoinPath(context.targetRoot, name, kMaxJoinedPath, &path);
  if (name == nullptr || !fits) {
    return AbortRun(context, kOperationFailed, "ERROR: couldn' create file %s - reason %d!\n",
                    path.c_str(), kExtractDestinationFailed);
  }
  if (entry == nullptr || checksum == nullptr) {
    // Without an entry or a checksum the package cannot give a verified file.
    return AbortRun(context, kOperationFailed, "ERROR: couldn' create file %s - reason %d!\n",
                    path.c_str(), kExtractPayloadFailed);
  }
  context.modified = true;
  Report(context, 0, path.c_str(), "&IDS_PROGRESS_CREATING_FILE&");
  const std::string fresh = NewContentPath(path);
  FileSystem* fs = context.fs;
  uint64_t needed = 0;
  WrittenContent written;
  std::unique_ptr<PackageEntry> loose;
  const PackageEntry* payload = RunEntry(context, entry, &loose);
  // Large files report their writing as it goes, as a copy does.
  const std::string creating = ExpandedText("&IDS_PROGRESS_CREATING_FILE&");
  std::unique_ptr<ByteProgress> report;
  const auto progress = [&](uint64_t n) {
    if (report == nullptr && context.progress != nullptr && needed >= kDefaultReadWindow) {
      report.reset(new ByteProgress(context.progress, context.overallPercent, path.c_str(),
                                    creating.c_str(), needed));
    }
    if (report != nullptr) report->Add(n);
  };
  int r = kExtractPayloadFailed;
  if (payload != nullptr) {
    r = NoteNewContent(context, fresh)
            ? ExtractPayloadFile(*payload, fs, fresh, &needed, &written, progress)
            : kExtractDestinationFailed;
  }
  if (r != kExtractDone) {
    fs->Delete(fresh);
    return AbortRun(context,
                    r == kExtractDestinationFailed && RanOutOfSpace(context, path, needed)
                        ? kNotEnoughSpace
                        : kOperationFailed,
                    "ERROR: couldn' create file %s - reason %d!\n", path.c_str(), r);
  }
  Report(context, 100, path.c_str(), "&IDS_PROGRESS_CREATING_FILE&");
  Report(context, 0, path.c_str(), "&IDS_PROGRESS_VERYFING_CREATED_FILE&");
  std::string text = ExpandedText("&IDS_PROGRESS_CREATING_FILE&");
  if (!WrittenContentMatches(written, checksum, path, context.progress, context.overallPercent,
                             text.c_str())) {
    fs->Delete(fresh);
    return AbortRun(context, kChecksumAfterChange, "ERROR: wrong CRC of %s after creation!\n",
                    path.c_str());
  }
  if (!BeginChange(context) || !PutInPlace(context, fresh, path)) {
    fs->Delete(fresh);
    return AbortRun(context, kOperationFailed, "ERROR: couldn' create file %s - reason %d!\n",
                    path.c_str(), static_cast<int>(kExtractDestinationFailed));
  }
  context.changed = true;
  // Only once the file is there: a create that fails claims nothing.
  LogLine(context, "Created file: %s\n", path.c_str());
  Report(context, 100, path.c_str(), "&IDS_PROGRESS_VERYFING_CREATED_FILE&");
  return kContinue;
}

int32_t RenameFileCommand(CommandContext& context, const ScriptCall& call) {
  const char* old_name = StringArgument(&call, 0);
  const char* new_name = StringArgument(&call, 1);
  if (old_name == nullptr || new_name == nullptr) {
    return AbortRun(context, kOperationFailed, "Couldn't rename file: %s\n", TextOrEmpty(old_name));
  }
  // The base already ends with '\': plain concatenation. Both names stay
  // below it, and neither is the base itself.
  std::string old_path = context.linkBaseDir + old_name;
  std::string new_path = context.linkBaseDir + new_name;
  const bool fits = old_path.size() <= kMaxLinkPath && new_path.size() <= kMaxLinkPath &&
                    NameDepth(old_name) > 0 && NameDepth(new_name) > 0;
  if (fits && context.fs->GetLinkAttributes(old_path) != kInvalidAttributes &&
      !BeginChange(context)) {
    return AbortRun(context, kOperationFailed, "Couldn't rename file: %s\n", old_name);
  }
  if (fits && context.fs->Move(old_path, new_path)) {
    NoteFolderChange(context, old_path);
    NoteFolderChange(context, new_path);
    context.changed = true;
    LogLine(context, "Renamed file: %s to %s\n", old_name, new_name);
  } else {
    context.notDone = true;
    LogLine(context, "Couldn't rename file: %s\n", old_name);
  }
  return kContinue;
}

}  // namespace upkeep
