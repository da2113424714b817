// The handlers of the update script's file, directory and patch commands, and
// the file utilities they are built on. A handler returns kContinue or the
// code that stops the run (after it has run the abort procedure).
#ifndef UPKEEP_ENGINE_COMMANDS_H_
#define UPKEEP_ENGINE_COMMANDS_H_

#include <cstdint>
#include <functional>
#include <string>

#include "engine/checksum.h"
#include "engine/command_context.h"
#include "script/script_call.h"

namespace upkeep {

using CommandHandler = int32_t (*)(CommandContext& context, const ScriptCall& call);

int32_t CheckFileCommand(CommandContext& context, const ScriptCall& call);
int32_t CheckDirCommand(CommandContext& context, const ScriptCall& call);
int32_t IsOKFileCommand(CommandContext& context, const ScriptCall& call);
int32_t IsOKDirCommand(CommandContext& context, const ScriptCall& call);
int32_t CreateDirCommand(CommandContext& context, const ScriptCall& call);
// Continues after a failed removal; stops only when its name is absent.
int32_t DeleteDirCommand(CommandContext& context, const ScriptCall& call);
int32_t DeleteFileCommand(CommandContext& context, const ScriptCall& call);
int32_t CreateFileCommand(CommandContext& context, const ScriptCall& call);
int32_t RenameFileCommand(CommandContext& context, const ScriptCall& call);
int32_t PatchFileCommand(CommandContext& context, const ScriptCall& call);

enum : int {
  kExtractDone = 0,
  kExtractDestinationFailed = 2,  // cannot be created
  kExtractPayloadFailed = 3,      // the entry cannot be loaded
};
// Writes the entry's bytes to a new file (CreateNewFile) and flushes them, decoded as a stream (a
// whole-file entry of any size, in the form its name says); *size, when given, gets their count as
// soon as it is known, and *written what the destination was given. A failed write or flush fails
// the destination, an entry that does not decode whole the payload. `progress`, when set, is told
// each decoded piece's length.
int ExtractPayloadFile(const PackageEntry& entry, FileSystem* fs, const std::string& destination,
                       uint64_t* size = nullptr, WrittenContent* written = nullptr,
                       const std::function<void(uint64_t)>& progress = nullptr);
// The same for an entry named as the process-wide package table finds it.
int ExtractPayloadFile(const char* entryName, const std::string& destination,
                       uint64_t* size = nullptr, WrittenContent* written = nullptr);

// Copies in 102400-byte chunks into a new file (CreateNewFile), reporting (overall, p, source,
// copying text) when the integer percentage changes. False when anything failed, and at once,
// touching nothing, when both paths name the same file. With `flush`, the copy
// is also flushed to the disk before the destination is closed. Through `fs`
// (the process's when null).
bool CopyFileWithProgress(const std::string& source, const std::string& destination,
                          ProgressCallback progress, int32_t overallPercent, bool flush = false,
                          FileSystem* fs = nullptr);

// New content of an existing file is written beside it under this name,
// flushed and checked, and only then put in its place in one step, so a crash
// never leaves the file half-written. Whatever has that name before (a
// leftover of an interrupted run, a planted link) goes first: the content is
// always a new file (CreateNewFile).
std::string NewContentPath(const std::string& target);
// The new content written beside a file matches the script's checksum text,
// reported under `label` as the test of the file would be. Its CRC was taken
// as it was written, so the file is never read back: the file holds exactly
// the accepted bytes once its size agrees.
bool WrittenContentMatches(const WrittenContent& written, const char* expected,
                           const std::string& label, ProgressCallback progress,
                           int32_t overallPercent, const char* message);
// Puts the checked new content in place of `target` (read-only bits cleared
// first); the next commit makes that durable.
bool PutInPlace(CommandContext& context, const std::string& fresh, const std::string& target);
// A failed write of `needed` bytes beside `target` that ran out of room: the
// failing call found the volume full, or the folder has fewer bytes free than
// were needed.
bool RanOutOfSpace(const std::string& target, uint64_t needed, FileSystem* fs = nullptr);
inline bool RanOutOfSpace(const CommandContext& context, const std::string& target,
                          uint64_t needed) {
  return RanOutOfSpace(target, needed, context.fs);
}

// Progress reports with one file label shown as another: work done on the new
// content beside a file is shown under the file's own name.
struct RelabeledProgress {
  ProgressCallback inner;
  std::string from;
  std::string to;
  ProgressCallback callback() { return ProgressCallback(&Forward, this); }
  static void Forward(void* self, int32_t overall, int32_t step, const char* file,
                      const char* text);
};

enum : int {
  kTreeRemoved = 0,
  kTreeNotEntered = 1,  // nothing was touched
  kTreeNotRemoved = 2,  // some content may be gone
};
int RemoveDirectoryTree(const std::string& directory, FileSystem* fs = nullptr);

}  // namespace upkeep

#endif  // UPKEEP_ENGINE_COMMANDS_H_
