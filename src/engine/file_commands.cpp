#include <string>
#include <vector>

#include "engine/checksum.h"
#include "engine/mapped_file.h"
#include "engine/commands.h"
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

void UnprotectFile(const std::string& path) {
  uint32_t a = GetFileSystem()->GetAttributes(path);
  // Most files carry no bit to clear: nothing to ask the system.
  if (a != kInvalidAttributes && Unprotected(a) != a) {
    GetFileSystem()->SetAttributes(path, Unprotected(a));
  }
}

// Same file by its absolute spelling, letter case ignored as the system does.
bool SamePath(const std::string& a, const std::string& b) {
  FileSystem* fs = GetFileSystem();
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

void ClearLeftoverAttributes(const std::string& fresh) {
  // Asking is cheaper than a change that fails (under Wine a change opens the
  // file), and there is almost never a leftover.
  FileSystem* fs = GetFileSystem();
  if (fs->GetAttributes(fresh) != kInvalidAttributes) fs->SetAttributes(fresh, kAttrNormal);
}

bool WrittenContentMatches(const WrittenContent& written, const char* expected,
                           const std::string& label, ProgressCallback progress,
                           int32_t overallPercent, const char* message) {
  uint32_t wanted = 0;
  if (!ParseChecksumText(expected, &wanted)) return false;
  // Content of 4 GiB or more is beyond any file the package can check.
  if (written.accepted > 0xFFFFFFFFu) return false;
  ReportCrcProgress(written.accepted, label.c_str(), progress, overallPercent, message);
  return written.fileSize >= 0 && static_cast<uint64_t>(written.fileSize) == written.accepted &&
         written.crc == wanted;
}

bool PutInPlace(CommandContext& context, const std::string& fresh, const std::string& target) {
  UnprotectFile(target);
  if (!GetFileSystem()->Replace(fresh, target)) return false;
  NoteFolderChange(context, target);
  return true;
}

bool RanOutOfSpace(const std::string& target, uint64_t needed) {
  size_t cut = target.find_last_of("\\/");
  std::string dir = cut == std::string::npos ? std::string(".") : target.substr(0, cut + 1);
  uint64_t free_bytes = 0;
  return GetFileSystem()->GetFreeBytes(dir, &free_bytes) && free_bytes < needed;
}

void RelabeledProgress::Forward(void* self, int32_t overall, int32_t step, const char* file,
                                const char* text) {
  RelabeledProgress* p = static_cast<RelabeledProgress*>(self);
  const char* shown = file != nullptr && p->from == file ? p->to.c_str() : file;
  p->inner(overall, step, shown, text);
}

int ExtractPayloadFile(const char* entryName, const std::string& destination, uint64_t* size,
                       WrittenContent* written) {
  if (entryName == nullptr) return kExtractPayloadFailed;
  std::unique_ptr<Payload> payload = LoadPayloadEntry(entryName);
  if (payload == nullptr) return kExtractPayloadFailed;
  // The destination goes straight to the disk with the spelling the script
  // gave it; the package layer would upper-case a name it does not know.
  std::unique_ptr<File> out = GetFileSystem()->Open(destination, OpenMode::kWrite);
  if (out == nullptr) return kExtractDestinationFailed;
  const std::vector<uint8_t>& data = payload->data;
  if (size != nullptr) *size = data.size();
  if (!data.empty() && out->Write(data.data(), data.size()) != static_cast<int64_t>(data.size())) {
    return kExtractDestinationFailed;
  }
  if (written != nullptr) {
    written->accepted = data.size();
    written->crc = ComputeBufferCrc(data.data(), data.size());
    written->fileSize = out->Size();
  }
  return out->Flush() ? kExtractDone : kExtractDestinationFailed;
}

bool CopyFileWithProgress(const std::string& source, const std::string& destination,
                          ProgressCallback progress, int32_t overallPercent, bool flush) {
  // Creating the destination would truncate the very bytes about to be read.
  if (SamePath(source, destination)) return false;
  FileSystem* fs = GetFileSystem();
  // The source is opened first so that a missing source leaves the
  // destination as it was instead of truncated.
  std::unique_ptr<File> in = fs->Open(source, OpenMode::kRead);
  if (in == nullptr) return false;
  UnprotectFile(destination);
  std::unique_ptr<File> out = fs->Open(destination, OpenMode::kWriteExclusive);
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

int RemoveDirectoryTree(const std::string& directory) {
  FileSystem* fs = GetFileSystem();
  std::vector<FindEntry> entries;
  if (!IsDirectory(directory) || !fs->Find(ChildPath(directory, "*.*"), &entries)) {
    return kTreeNotEntered;
  }
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
        if (e.attributes & kAttrDirectory) {
          // A link to a directory is removed as a link, never walked into.
          if (e.attributes & kAttrReparsePoint) {
            fs->RemoveDir(path);
          } else {
            pending.push_back(path);
          }
        } else {
          fs->SetAttributes(path, Unprotected(e.attributes));
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
  if (FileMatchesChecksum(context.sourceRoot.c_str(), name, checksum, context.progress,
                          context.overallPercent, text.c_str())) {
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
  if (!IsDirectory(path)) return AbortRun(context, kOperationFailed, kMissingDirLine, path.c_str());
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
  if (!FileMatchesChecksum(context.targetRoot.c_str(), name, checksum, context.progress,
                           context.overallPercent, text.c_str())) {
    LogLine(context, "Copying file: %s\n", target.c_str());
    // Copied beside the file first: a copy cut short never takes its place.
    const std::string fresh = NewContentPath(target);
    if (SamePath(source, target) || !NoteNewContent(context, fresh) ||
        !CopyFileWithProgress(source, fresh, context.progress, context.overallPercent, true) ||
        !BeginChange(context) || !PutInPlace(context, fresh, target)) {
      GetFileSystem()->Delete(fresh);
      return AbortRun(context, kOperationFailed, "ERROR: couldn't copy file %s !\n",
                      source.c_str());
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
  if (!IsDirectory(path)) {
    if (!BeginChange(context) || GetFileSystem()->CreateDir(path) != CreateDirResult::kCreated) {
      return AbortRun(context, kOperationFailed, "ERROR: couldn't create dir: %s !\n",
                      path.c_str());
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
  if (!IsDirectory(path) && !BeginChange(context)) {
    return AbortRun(context, kOperationFailed, "ERROR: couldn't create dir %s !\n", path.c_str());
  }
  const CreateDirResult created = GetFileSystem()->CreateDir(path);
  if (created == CreateDirResult::kFailed) {
    return AbortRun(context, kOperationFailed, "ERROR: couldn't create dir %s !\n", path.c_str());
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
  bool fits = JoinPath(context.targetRoot, name, kMaxJoinedPath, &path);
  if (name == nullptr) {
    return AbortRun(context, kOperationFailed, "ERROR: couldn't remove dir: %s !\n", path.c_str());
  }
  const char* key = "&IDS_PROGRESS_REMOVING_DIR&";
  Report(context, 0, path.c_str(), key);
  if (fits && IsDirectory(path) && !BeginChange(context)) {
    return AbortRun(context, kOperationFailed, "ERROR: couldn't remove dir: %s !\n", path.c_str());
  }
  int r = fits ? RemoveDirectoryTree(path) : kTreeNotEntered;
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
  if (fits && PathExists(path) && !BeginChange(context)) {
    return AbortRun(context, kOperationFailed, "ERROR: couldn't remove file %s !\n", path.c_str());
  }
  bool deleted = false;
  if (fits) {
    GetFileSystem()->SetAttributes(path, kAttrNormal);
    deleted = GetFileSystem()->Delete(path);
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
  FileSystem* fs = GetFileSystem();
  ClearLeftoverAttributes(fresh);
  uint64_t needed = 0;
  WrittenContent written;
  int r = NoteNewContent(context, fresh) ? ExtractPayloadFile(entry, fresh, &needed, &written)
                                         : kExtractDestinationFailed;
  if (r != kExtractDone) {
    fs->Delete(fresh);
    return AbortRun(context,
                    r == kExtractDestinationFailed && RanOutOfSpace(path, needed)
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
  // The base already ends with '\': plain concatenation.
  std::string old_path = context.linkBaseDir + old_name;
  std::string new_path = context.linkBaseDir + new_name;
  const bool fits = old_path.size() <= kMaxLinkPath && new_path.size() <= kMaxLinkPath;
  if (fits && PathExists(old_path) && !BeginChange(context)) {
    return AbortRun(context, kOperationFailed, "Couldn't rename file: %s\n", old_name);
  }
  if (fits && GetFileSystem()->Move(old_path, new_path)) {
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
