// The handlers of the update script's file, directory and patch commands, and
// the file utilities they are built on. A handler returns kContinue or the
// code that stops the run (after it has run the abort procedure).
#ifndef UPKEEP_ENGINE_COMMANDS_H_
#define UPKEEP_ENGINE_COMMANDS_H_

#include <cstdint>
#include <string>

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
int ExtractPayloadFile(const char* entryName, const std::string& destination);

// Copies in 102400-byte chunks, reporting (overall, p, source, copying text)
// when the integer percentage changes. False when anything failed, and at once,
// touching nothing, when both paths name the same file.
bool CopyFileWithProgress(const std::string& source, const std::string& destination,
                          ProgressCallback progress, int32_t overallPercent);

enum : int {
  kTreeRemoved = 0,
  kTreeNotEntered = 1,  // nothing was touched
  kTreeNotRemoved = 2,  // some content may be gone
};
int RemoveDirectoryTree(const std::string& directory);

}  // namespace upkeep

#endif  // UPKEEP_ENGINE_COMMANDS_H_
