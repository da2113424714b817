// Runs "patch.scr": picks the version sections that apply and the "All"
// sections, and dispatches each section's commands in script order.
#ifndef UPKEEP_ENGINE_SCRIPT_RUNNER_H_
#define UPKEEP_ENGINE_SCRIPT_RUNNER_H_

#include <cstdint>
#include <functional>
#include <string>

#include "engine/command_context.h"
#include "engine/progress.h"
#include "package/package.h"
#include "script/script_call.h"

namespace upkeep {

class RunJournal;

// What one run is given. The driver fills it from the installation it found;
// tools and tests fill it directly.
struct RunRequest {
  // The running program file, which is the package. A package start-up has
  // already mounted is used as it is; otherwise the run mounts it for itself.
  std::string packagePath;
  // The opened package the run reads; null: the one mounted under
  // packagePath (mounted for the run when there is none).
  PackageArchive* package = nullptr;
  // Where the run reads and changes files; null: GetFileSystem().
  FileSystem* fs = nullptr;
  // Bytes a large file is read through at a time (tests make it small).
  size_t readWindow = kDefaultReadWindow;
  // The caller already ran CheckRunPackage on this request and it passed;
  // otherwise the run checks the package itself before its first section.
  bool packageChecked = false;
  // Where CheckFile and CheckDir verify, IsOKFile repairs from and PatchFile
  // keeps its temporary file.
  std::string sourceRoot;
  // What the commands change; FreeSpace measures its drive.
  std::string targetRoot;
  ProgressCallback progress;  // may be empty
  // The caller's log, which the run writes to but never closes. Null: the run
  // opens "patch.log" in the current directory and closes it at the end.
  PackageFile* log = nullptr;
  // The installed version: picks the first Version section.
  std::string currentVersion;
  bool skipSpaceCheck = false;  // FreeSpace calls are not evaluated
  bool skipShortcuts = false;   // the six shortcut commands are passed over
  // The game directory followed by '\': base of RenameFile and the shortcuts.
  std::string linkBaseDir;
  // The game's program file name, for the shortcut-adding commands.
  std::string gameExecutable;
  // The journal the run notes its progress in, begun or loaded by the caller;
  // null for none. A loaded one makes the run finish what it records.
  RunJournal* journal = nullptr;
  // Set, when given, to whether the run really changed the game.
  bool* changed = nullptr;
  // Runs once, just before the run's first change to the game (once the
  // journal noted it); true when it changed something itself.
  std::function<bool()> beforeFirstChange;
  // Asked before each command: true ends the run there with kRunStopped, its
  // done commands on the disk, so a re-run finishes what this one began.
  std::function<bool()> stopRequested;
};

// What the log says where a run stopped on request.
extern const char kRunStoppedLogLine[];

// 0 when the whole script ran, otherwise 1, 2, 3, 6 or 7. Whatever the run opened
// for itself (its log, the package) is closed again before it returns, so the
// package table is as the caller left it.
int32_t RunUpdateScript(const RunRequest& request);

// Checks every FreeSpace call of the section first, then runs the calls in
// order. kContinue when all ran, otherwise the code of the failing command.
int32_t DispatchCommands(CommandContext& context, const ScriptCall* first);

// True when the drive of `directory` (or of the current directory, for a path
// without a drive) has at least `required` bytes free for the caller.
bool HasEnoughFreeSpace(const std::string& directory, uint64_t required, FileSystem* fs = nullptr);

// The check of the download before anything changes: the script is parsed,
// the sections the run will take are found from the request's version, and
// every package entry they read (the scripts and texts, the payloads and
// deltas they name) and every data volume is compared with the package's
// manifest, in one pass, reporting progress. kContinue when all agree or
// the package has no manifest; kPackageDamaged (with the damaged file) when
// something differs; kOperationFailed when the script cannot be read (the
// run reports that itself).
int32_t CheckRunPackage(const RunRequest& request, std::string* damagedFile);

// The text a damaged download is reported with, naming the file: the
// string table's IDS_ERR_DAMAGED_DOWNLOAD, or an English default.
std::string DamagedDownloadText(const std::string& file);

}  // namespace upkeep

#endif  // UPKEEP_ENGINE_SCRIPT_RUNNER_H_
