// The state one update run shares between the runner, the dispatcher and the
// command handlers, the result codes they exchange, and the helpers every
// handler uses to build paths, report progress, log and abort.
#ifndef UPKEEP_ENGINE_COMMAND_CONTEXT_H_
#define UPKEEP_ENGINE_COMMAND_CONTEXT_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/progress.h"
#include "package/package.h"
#include "platform/file_system.h"
#include "script/script_call.h"

namespace upkeep {

// Result codes of handlers, the dispatcher and the runner.
enum : int32_t {
  kContinue = -1,             // command done or skipped; a whole section ran
  kRunSucceeded = 0,          // the whole script ran
  kNotEnoughSpace = 1,        // a FreeSpace requirement failed
  kOperationFailed = 2,       // unreadable script, or a file or directory operation failed
  kChecksumAfterChange = 3,   // wrong checksum once the installation may have changed
  kChecksumBeforeChange = 6,  // wrong checksum of a source file, nothing changed yet
  kRunStopped = 7,            // stopped on request between two commands, where a re-run finishes
};

// A run whose package's data is damaged: nothing was changed, and running it
// again cannot help (the download has to be made again).
constexpr int32_t kPackageDamaged = 5;

// The bytes a run reads a file through at a time (the old file of a patch, a
// file being checksummed): memory stays at that for any file size.
constexpr size_t kDefaultReadWindow = size_t{4} << 20;

// Longest joined path of the handlers, and of RenameFile's base-relative paths.
constexpr size_t kMaxJoinedPath = 255;
constexpr size_t kMaxLinkPath = 259;

class RunJournal;

struct CommandContext {
  std::string packagePath;
  // What the run reads and where it changes things: the opened package and
  // the file system, handed over by the request.
  PackageArchive* package = nullptr;
  FileSystem* fs = nullptr;
  size_t readWindow = kDefaultReadWindow;
  std::string sourceRoot;
  std::string targetRoot;
  ProgressCallback progress;
  PackageFile* log = nullptr;
  bool logOwned = false;
  bool modified = false;
  int32_t overallPercent = 0;
  std::string currentVersion;
  bool skipSpaceCheck = false;
  bool skipShortcuts = false;
  std::string linkBaseDir;
  std::string gameExecutable;

  // Null when the run keeps no journal.
  RunJournal* journal = nullptr;
  // The calls of every section the run walks, in order; a call's index is its
  // ordinal in the journal.
  std::vector<const ScriptCall*> plan;
  int64_t sectionStart = 0;  // ordinal of the first call of the section being run
  int64_t ordinal = -1;      // of the call being carried out
  // The game really was changed (unlike `modified`, which the commands set
  // before they act and some never set).
  bool changed = false;
  // The current command failed in a way the run goes past: it is not done,
  // and a resumed run tries it again.
  bool notDone = false;

  // Runs once, at the run's first change, after the journal noted it: what
  // must go only when the game really changes (stale caches). True when it
  // changed something itself.
  std::function<bool()> firstChange;
  bool changeBegun = false;
  // Asked between commands; true stops the run there.
  std::function<bool()> stopRequested;

  // Since the last commit: the folders whose names changed, the calls done
  // whose records wait for those folders to reach the disk, and the paths
  // those calls named (lower-cased, joined to both roots).
  std::set<std::string> changedFolders;
  std::vector<int64_t> pendingDone;
  std::set<std::string> pendingPaths;
  bool logUnsynced = false;
  // The paths the call being carried out names, as pendingPaths holds them,
  // and whether its record may wait for a later commit.
  std::vector<std::string> callPaths;
  bool callDeferred = true;
  // The journal could not take a record: a full disk then ends the run with
  // the disk-space code, whichever command was stopped.
  bool journalFailed = false;
};

// Called by a handler just before it changes the game. The first time, the
// journal notes that changes begin, on the disk, so that a crash from here
// on leaves a journal the next run finishes. The records still waiting go
// down first when this call's second run could harm, or when a waiting call
// named a path this call names: a re-run after a crash redoes only calls
// that pass when done twice. Then, the first time, `firstChange` runs. False
// when the journal cannot be written: the handler must stop.
bool BeginChange(CommandContext& context);
// Tells the journal under which name new content is about to be written;
// false when it cannot.
bool NoteNewContent(CommandContext& context, const std::string& path);
// The folder holding `path` gained, lost or renamed a name; the next commit
// makes that durable.
void NoteFolderChange(CommandContext& context, const std::string& path);
// The commit point: every changed folder and the log go down to the disk,
// then the records of the calls done since the last commit are written and
// flushed at once, so no record is on the disk before what it records. With
// neither a changed folder nor a record waiting it flushes nothing. False
// when a folder or the journal cannot be flushed.
bool CommitDone(CommandContext& context);
// The run finishes an update an earlier run of this package began.
bool Resuming(const CommandContext& context);
// On a resumed run: `path` already holds the content the first PatchFile of
// it after the current call produces, so the earlier run got that far.
bool AlreadyPatched(const CommandContext& context, const std::string& path);
// `path` is there and matches `checksum` (a checksum text of the script).
bool HasContent(const CommandContext& context, const std::string& path, const char* checksum);

// The entry `name` of the run's package; a name it lacks comes from the disk
// only while loose file reads are allowed, and is then held in `loose`.
// Null when there is neither.
const PackageEntry* RunEntry(const CommandContext& context, const char* name,
                             std::unique_ptr<PackageEntry>* loose);

// How many folders below its root a script's relative name leads, "." and
// ".." taken by the text as Windows takes them: 0 for the root itself, -1 for
// a name that climbs out of it or holds a part of only dots and spaces other
// than those two (which Windows' calls trim each their own way).
int NameDepth(const char* name);

// root + '\' (unless root is empty or ends with '\') + name. False, with the
// untruncated text in *out, when the result is longer than `limit` or when
// the name leads out of the root (a negative NameDepth).
bool JoinPath(const std::string& root, const char* name, size_t limit, std::string* out);

// The text a progress callback or log line shows for a possibly absent text.
inline const char* TextOrEmpty(const char* text) { return text != nullptr ? text : ""; }

// The expansion of a "&KEY&" text through the string table.
std::string ExpandedText(const char* text);
// The expansion of `key`, or of `fallback` when the table lacks `key` (a
// text newer than the table): the table's language either way.
std::string ExpandedTextOr(const char* key, const char* fallback);

// Calls the context's callback, when there is one, with the context's overall
// percent and the expansion of `key`.
void Report(const CommandContext& context, int32_t step, const char* fileName, const char* key);

// printf to the context's log when it has one.
void LogLine(CommandContext& context, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The way every fatal failure ends a run: logs the line and returns `code`,
// which the dispatcher and the runner pass up at once. The runner, which holds
// the log and the package for the run, closes them as it returns.
int32_t AbortRun(CommandContext& context, int32_t code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace upkeep

#endif  // UPKEEP_ENGINE_COMMAND_CONTEXT_H_
