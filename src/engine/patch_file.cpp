#include <string>

#include "engine/checksum.h"
#include "engine/commands.h"
#include "engine/delta.h"
#include "package/byte_sources.h"
#include "platform/file_system.h"
#include "script/command_schema.h"

namespace upkeep {

namespace {

const char kTempName[] = "mya$$.tmp";

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
  FileSystem* fs = context.fs;
  // The interrupted run patched this file but died before noting it done.
  if (Resuming(context) && HasContent(context, target, checksum_after)) {
    context.changed = true;
    return kContinue;
  }

  // The delta is checked while the target is still in place, so a delta that
  // cannot be applied leaves the installation as it was.
  Report(context, 0, "", "&IDS_PROGRESS_LOADING_UPDATE&");
  std::unique_ptr<PackageEntry> loose;
  const PackageEntry* delta = RunEntry(context, entry, &loose);
  ExtendedDeltaInfo shape;
  const bool loaded = delta != nullptr && InspectDeltaEntry(*delta, &shape);
  Report(context, 100, "", "&IDS_PROGRESS_LOADING_UPDATE&");
  if (!loaded) {
    return AbortRun(context, kOperationFailed, "ERROR: couldn't update file %s !\n",
                    target.c_str());
  }
  // The old file is read where it is, through a window: its length decides
  // whether the delta fits, and its bytes feed the new content.
  std::unique_ptr<File> old_file = fs->Open(target, OpenMode::kRead);
  const int64_t old_size = old_file != nullptr ? old_file->Size() : -1;
  if (old_file != nullptr && (old_size < 0 || shape.oldNeeded > static_cast<uint64_t>(old_size))) {
    return AbortRun(context, kOperationFailed, "ERROR: couldn't update file %s !\n",
                    target.c_str());
  }

  // The old content is read where it is: the file keeps it under its own name
  // until the checked new content replaces it in one step. A temporary file
  // left by an earlier run of the old way may hold the only copy of some
  // file's old content, so it still stops the patch and is never removed.
  fs->SetAttributes(target, kAttrNormal);
  if (PathExists(temp) || (old_file == nullptr && !PathExists(target))) {
    return AbortRun(context, kOperationFailed, "Cannot move file %s to temp file %s\n",
                    target.c_str(), temp.c_str());
  }

  // The file is read where it is: the player sees its name, not a temporary one.
  Report(context, 0, target.c_str(), "&IDS_PROGRESS_LOADING_SOURCE_FILE&");
  if (old_file == nullptr) {
    return AbortRun(context, kOperationFailed, "ERROR: couldn't open file: %s!\n", target.c_str());
  }
  Report(context, 100, target.c_str(), "&IDS_PROGRESS_LOADING_SOURCE_FILE&");

  const std::string fresh = NewContentPath(target);
  RelabeledProgress shown{context.progress, fresh, target};
  ProgressCallback progress = context.progress != nullptr ? shown.callback() : nullptr;
  const uint64_t new_size = shape.outputSize;
  // Written, flushed and checksummed in one pass through one handle: the
  // checksum covers the very bytes the file was given.
  WrittenContent written;
  // Writing the new content is the longest step: it says what it does.
  const std::string writing =
      ExpandedTextOr("&IDS_PROGRESS_UPDATING_FILE&", "&IDS_PROGRESS_UPDATING_DATA&");
  WindowedOldSource old(old_file.get(), static_cast<uint64_t>(old_size), context.readWindow);
  int applied = NoteNewContent(context, fresh)
                    ? ApplyDeltaEntry(*delta, shape, old, fs, fresh, progress,
                                      context.overallPercent, writing.c_str(), &written)
                    : kApplyTargetFailed;
  old_file.reset();
  if (applied != kApplyDone || !written.flushed || written.accepted != new_size ||
      written.fileSize < 0 || static_cast<uint64_t>(written.fileSize) != new_size) {
    fs->Delete(fresh);
    return AbortRun(context,
                    applied == kApplyDone && RanOutOfSpace(context, target, new_size)
                        ? kNotEnoughSpace
                        : kOperationFailed,
                    "ERROR: couldn't update file %s !\n", target.c_str());
  }
  LogLine(context, "Updated file: %s\n", target.c_str());

  const char* key = "&IDS_PROGRESS_VERYFING_DEST_FILE&";
  Report(context, 0, target.c_str(), key);
  std::string text = ExpandedText(key);
  if (!WrittenContentMatches(written, checksum_after, target, context.progress,
                             context.overallPercent, text.c_str())) {
    fs->Delete(fresh);
    return AbortRun(context, kChecksumAfterChange, "ERROR: wrong crc of: %s!\n", target.c_str());
  }
  if (!BeginChange(context) || !PutInPlace(context, fresh, target)) {
    fs->Delete(fresh);
    return AbortRun(context, kOperationFailed, "ERROR: couldn't update file %s !\n",
                    target.c_str());
  }
  context.changed = true;
  Report(context, 100, target.c_str(), key);
  return kContinue;
}

}  // namespace upkeep
