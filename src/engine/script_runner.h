// Runs "patch.scr": picks the version sections that apply and the "All"
// sections, and dispatches each section's commands in script order.
#ifndef UPKEEP_ENGINE_SCRIPT_RUNNER_H_
#define UPKEEP_ENGINE_SCRIPT_RUNNER_H_

#include <cstdint>
#include <string>

#include "engine/command_context.h"
#include "engine/progress.h"
#include "package/package.h"
#include "script/script_call.h"

namespace upkeep {

// 0 when the whole script ran, otherwise 1, 2, 3 or 6. Without a log the run
// opens "patch.log" in the current directory and closes it at the end.
int32_t RunUpdateScript(const char* packagePath, const char* sourceRoot, const char* targetRoot,
                        ProgressCallback progress, PackageFile* log, const char* currentVersion,
                        bool skipSpaceCheck, const char* linkBaseDir, const char* gameExecutable,
                        bool skipShortcuts);

// Checks every FreeSpace call of the section first, then runs the calls in
// order. kContinue when all ran, otherwise the code of the failing command.
int32_t DispatchCommands(CommandContext& context, const ScriptCall* first);

// True when the drive of `directory` (or of the current directory, for a path
// without a drive) has at least `required` bytes free for the caller.
bool HasEnoughFreeSpace(const std::string& directory, uint32_t required);

}  // namespace upkeep

#endif  // UPKEEP_ENGINE_SCRIPT_RUNNER_H_
