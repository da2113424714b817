#include <string>

#include "engine/checksum.h"
#include "engine/commands.h"
#include "engine/delta.h"
#include "platform/file_system.h"
#include "script/command_schema.h"

namespace upkeep {

namespace {

const char kTempName[] = "mya$$.tmp";

// Puts the old content, parked under the temporary name, back in place of
// whatever the failed patch left at the target. If the move back fails the
// old content stays in the temporary file.
void RestoreTarget(const std::string& target, const std::string& temp) {
  FileSystem* fs = GetFileSystem();
  if (PathExists(target)) {
    fs->SetAttributes(target, kAttrNormal);
    fs->Delete(target);
  }
  fs->Move(temp, target);
}

bool SizeOfFile(const std::string& path, uint64_t* size) {
  std::unique_ptr<File> f = GetFileSystem()->Open(path, OpenMode::kRead);
  if (f == nullptr) return false;
  int64_t n = f->Size();
  if (n < 0) return false;
  *size = static_cast<uint64_t>(n);
  return true;
}

}  // namespace

int32_t PatchFileCommand(CommandContext& context, const ScriptCall& call) {
  const char* name = StringArgument(&call, 0);
  const CommandInfo& info = GetCommandInfo(CommandId::kPatchFile);
  const char* entry = StringArgument(&call, info.entry);
  const char* checksum_after = StringArgument(&call, info.checksum);
  std::string target, temp;
  bool fits = JoinPath(context.targetRoot, name, kMaxJoinedPath, &target);
  fits = JoinPath(context.sourceRoot, kTempName, kMaxJoinedPath, &temp) && fits;
  if (name == nullptr || entry == nullptr || checksum_after == nullptr || !fits) {
    return AbortRun(context, kOperationFailed, "ERROR: couldn't update file %s !\n",
                    target.c_str());
  }
  context.modified = true;
  FileSystem* fs = GetFileSystem();

  // The delta is loaded and checked while the target is still in place, so a
  // delta that cannot be applied leaves the installation as it was.
  Report(context, 0, "", "&IDS_PROGRESS_LOADING_UPDATE&");
  std::unique_ptr<Delta> delta = LoadDelta(entry);
  Report(context, 100, "", "&IDS_PROGRESS_LOADING_UPDATE&");
  uint64_t old_size = 0;
  if (delta == nullptr || (SizeOfFile(target, &old_size) && !DeltaFitsSource(*delta, old_size))) {
    return AbortRun(context, kOperationFailed, "ERROR: couldn't update file %s !\n",
                    target.c_str());
  }

  fs->SetAttributes(target, kAttrNormal);
  fs->SetAttributes(temp, kAttrNormal);
  // A temporary file left by an earlier run makes this fail: it may hold the
  // only copy of some file's old content, so it is never removed here.
  if (!fs->Move(target, temp)) {
    return AbortRun(context, kOperationFailed, "Cannot move file %s to temp file %s\n",
                    target.c_str(), temp.c_str());
  }

  Report(context, 0, temp.c_str(), "&IDS_PROGRESS_LOADING_SOURCE_FILE&");
  MappedFile old = OpenMappedFile(temp);
  if (!old.usable()) {
    CloseMappedFile(&old);
    RestoreTarget(target, temp);
    return AbortRun(context, kOperationFailed, "ERROR: couldn't open file: %s!\n", temp.c_str());
  }
  Report(context, 100, target.c_str(), "&IDS_PROGRESS_LOADING_SOURCE_FILE&");

  int applied = ApplyDelta(*delta, old, target, context.progress, context.overallPercent, "");
  CloseMappedFile(&old);
  delta.reset();
  if (applied != kApplyDone) {
    RestoreTarget(target, temp);
    return AbortRun(context, kOperationFailed, "ERROR: couldn't update file %s !\n",
                    target.c_str());
  }
  LogLine(context, "Updated file: %s\n", target.c_str());

  // The old content stays parked until the new one is known to be right.
  const char* key = "&IDS_PROGRESS_VERYFING_DEST_FILE&";
  Report(context, 0, target.c_str(), key);
  std::string text = ExpandedText(key);
  if (!FileMatchesChecksum(context.targetRoot.c_str(), name, checksum_after, context.progress,
                           context.overallPercent, text.c_str())) {
    RestoreTarget(target, temp);
    return AbortRun(context, kChecksumAfterChange, "ERROR: wrong crc of: %s!\n", target.c_str());
  }
  fs->Delete(temp);
  Report(context, 100, target.c_str(), key);
  return kContinue;
}

}  // namespace upkeep
