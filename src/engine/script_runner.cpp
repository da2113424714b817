#include "engine/script_runner.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "engine/checksum.h"
#include "engine/commands.h"
#include "engine/run_journal.h"
#include "engine/shortcut_hook.h"
#include "package/delta_extended.h"
#include "package/package_check.h"
#include "package/payload_stream.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "script/command_schema.h"
#include "script/format_text.h"
#include "script/script_parser.h"

namespace upkeep {

const char kRunStoppedLogLine[] = "Update stopped on request.\n";

namespace {

const char kBadScriptLine[] =
    "B\xB3\xB9"
    "d: nieprawid\xB3owy format pliku skryptowego!\n";
const char kNoSpaceLine[] =
    "B\xB3\xB9"
    "d: niewystarczaj\xB9"
    "ca ilo\x9C\xE6 miejsca na dysku!\n";
const char kJournalLine[] = "ERROR: couldn't note the progress of the update !\n";

// How the dispatcher carries out each command of the schema.
struct CommandEntry {
  CommandId id;
  CommandHandler handler;  // null for shortcut commands, which go through the hook
  const char* doneKey;     // progress text reported after the command, or null
};

// FreeSpace is not here: the dispatcher's first pass handles it.
const CommandEntry kCommands[] = {
    {CommandId::kCheckDir, CheckDirCommand, nullptr},
    {CommandId::kCheckFile, CheckFileCommand, nullptr},
    {CommandId::kCreateDir, CreateDirCommand, nullptr},
    {CommandId::kDeleteDir, DeleteDirCommand, nullptr},
    {CommandId::kDeleteFile, DeleteFileCommand, nullptr},
    {CommandId::kCreateFile, CreateFileCommand, nullptr},
    {CommandId::kIsOKDir, IsOKDirCommand, nullptr},
    {CommandId::kIsOKFile, IsOKFileCommand, nullptr},
    {CommandId::kPatchFile, PatchFileCommand, nullptr},
    {CommandId::kRenameFile, RenameFileCommand, "&IDS_PROGRESS_RENAMING_FILE&"},
    {CommandId::kUpdateStartMenuLink, nullptr, "&IDS_PROGRESS_UPDATING_SHORTCUT&"},
    {CommandId::kUpdateStartMenuLinkToFile, nullptr, "&IDS_PROGRESS_UPDATING_SHORTCUT&"},
    {CommandId::kUpdateDesktopLink, nullptr, "&IDS_PROGRESS_UPDATING_SHORTCUT&"},
    {CommandId::kUpdateDesktopLinkToFile, nullptr, "&IDS_PROGRESS_UPDATING_SHORTCUT&"},
    {CommandId::kAddStartMenuLink, nullptr, "&IDS_PROGRESS_ADDING_SHORTCUT&"},
    {CommandId::kAddDesktopLink, nullptr, "&IDS_PROGRESS_ADDING_SHORTCUT&"},
};

// Null for sections, FreeSpace and names the schema does not know: the
// second pass passes over them.
const CommandEntry* FindCommand(const ScriptCall* call) {
  const CommandInfo* info = FindCommandInfo(call->name.c_str());
  if (info == nullptr) return nullptr;
  for (const CommandEntry& e : kCommands) {
    if (e.id == info->id) return &e;
  }
  return nullptr;
}

// The dispatcher's own reports keep the whole run's bar where it is.
void ReportFixed(const CommandContext& context, int32_t step, const char* key) {
  if (context.progress == nullptr) return;
  std::string text = ExpandedText(key);
  context.progress(context.overallPercent, step, "", text.c_str());
}

// The lower bar covers the whole run: the share of all the calls the run
// walks reached with this one (of the section alone when there is no plan).
int32_t OverallPercent(const CommandContext& context, int64_t reached, int64_t sectionCount) {
  const int64_t total =
      context.plan.empty() ? sectionCount : static_cast<int64_t>(context.plan.size());
  const int64_t done = context.plan.empty() ? reached : context.sectionStart + reached;
  if (total <= 0) return 100;
  return static_cast<int32_t>(std::min<int64_t>(done, total) * 100 / total);
}

bool HasDriveRoot(const std::string& text) {
  return text.size() > 2 && text[1] == ':' && (text[2] == '\\' || text[2] == '/');
}

// Every version section must name two versions, and the one it leads to must
// fit the run's version text; checked before anything runs.
bool VersionSectionsValid(const ScriptCall* first) {
  for (const ScriptCall* c = first; c != nullptr; c = c->next) {
    if (!CallNameIs(c, "Version")) continue;
    const char* to = StringArgument(c, 1);
    if (StringArgument(c, 0) == nullptr || to == nullptr) return false;
    if (std::strlen(to) > kMaxVersionText) return false;
  }
  return true;
}

// A journal that cannot take its record on a full disk ends the run with the
// disk-space code, as any other write would.
int32_t JournalFailed(CommandContext& context) {
  const bool full = RanOutOfSpace(RunJournal::PathIn(context.targetRoot), kJournalRoom);
  return AbortRun(context, full ? kNotEnoughSpace : kOperationFailed, "%s", kJournalLine);
}

// Commands whose second run, after they and any later command of other paths
// took effect, changes nothing and passes: their records may wait for a
// commit. A rename, a deletion or a shortcut run twice fails or does twice.
bool RerunPasses(CommandId id) {
  switch (id) {
    case CommandId::kCheckFile:
    case CommandId::kCheckDir:
    case CommandId::kCreateDir:
    case CommandId::kIsOKDir:
    case CommandId::kIsOKFile:
    case CommandId::kCreateFile:
    case CommandId::kPatchFile:
      return true;
    default:
      return false;
  }
}

// The paths a call names, folded as CompareNoCase folds, under both roots.
std::vector<std::string> CallPaths(const CommandContext& context, const ScriptCall* call) {
  std::vector<std::string> paths;
  const char* name = StringArgument(call, 0);
  std::string path;
  for (const std::string* root : {&context.targetRoot, &context.sourceRoot}) {
    if (name == nullptr || !JoinPath(*root, name, kMaxJoinedPath, &path)) continue;
    ToLowerInPlace(&path);
    paths.push_back(path);
  }
  return paths;
}

}  // namespace

bool HasEnoughFreeSpace(const std::string& directory, uint64_t required, FileSystem* fs) {
  if (fs == nullptr) fs = GetFileSystem();
  std::string text = HasDriveRoot(directory) ? directory : fs->GetCurrentDir();
  if (HasDriveRoot(text)) text.resize(3);
  uint64_t free_bytes = 0;
  if (text.empty() || !fs->GetFreeBytes(text, &free_bytes)) return false;
  return free_bytes >= required;
}

int32_t DispatchCommands(CommandContext& context, const ScriptCall* first) {
  RunJournal* journal = context.journal;
  // A section the interrupted run began had its space checked then; what it
  // has written since is no reason to stop now.
  bool begun = false;
  int64_t ordinal = context.sectionStart;
  for (const ScriptCall* c = first; c != nullptr && journal != nullptr; c = c->next) {
    if (journal->WasBegun(ordinal++)) begun = true;
  }
  int32_t count = 0;
  for (const ScriptCall* c = first; c != nullptr; c = c->next) ++count;
  context.overallPercent = OverallPercent(context, 0, count);
  for (const ScriptCall* c = first; c != nullptr; c = c->next) {
    if (context.skipSpaceCheck || begun || !CallNameIs(c, "FreeSpace")) continue;
    ReportFixed(context, 0, "&IDS_PROGRESS_CHECKING_DISK_SPACE&");
    // A literal too wide for 32 bits asks for what it says (games of many GB).
    const uint64_t required = ByteCountArgument(c, 0);
    if (!HasEnoughFreeSpace(context.targetRoot, required, context.fs)) {
      return AbortRun(context, kNotEnoughSpace, "%s", kNoSpaceLine);
    }
    ReportFixed(context, 100, "&IDS_PROGRESS_CHECKING_DISK_SPACE&");
  }
  int32_t index = 0;
  for (const ScriptCall* c = first; c != nullptr; c = c->next) {
    ++index;
    context.overallPercent = OverallPercent(context, index, count);
    context.ordinal = context.sectionStart + index - 1;
    const CommandEntry* command = FindCommand(c);
    if (command == nullptr) continue;
    // Done by the run this one resumes: passed over without a word.
    if (journal != nullptr && journal->IsDone(context.ordinal)) continue;
    // A stop goes between two commands, with the records of those done on
    // the disk: a re-run passes over them and finishes the update.
    if (context.stopRequested && context.stopRequested()) {
      LogLine(context, "%s", kRunStoppedLogLine);
      if (!CommitDone(context)) return JournalFailed(context);
      return kRunStopped;
    }
    // A command whose second run could harm or fail changes the game only
    // once the waiting records are on the disk, and so does one about to
    // change a path a waiting call named (a chain patching one file twice):
    // a re-run after a crash then redoes only calls that pass when done
    // twice. BeginChange commits then, so calls that change nothing (a check
    // repeated any number of times, a deletion of a missing file) commit
    // nothing.
    const bool deferred = RerunPasses(command->id);
    const std::vector<std::string> paths = CallPaths(context, c);
    context.callPaths = paths;
    context.callDeferred = deferred;
    context.notDone = false;
    if (GetCommandInfo(command->id).group == CommandGroup::kShortcut) {
      if (context.skipShortcuts) continue;
      ShortcutHandler handler = GetShortcutHandler(command->id);
      if (handler != nullptr) {
        if (!BeginChange(context)) return JournalFailed(context);
        handler(context, *c);
        context.changed = true;
      }
    } else {
      int32_t r = command->handler(context, *c);
      if (r != kContinue) return r;
    }
    const bool noted = journal != nullptr && !context.notDone;
    if (noted) {
      context.pendingDone.push_back(context.ordinal);
      context.pendingPaths.insert(paths.begin(), paths.end());
    }
    if (noted && !deferred && !CommitDone(context)) return JournalFailed(context);
    if (command->doneKey != nullptr) ReportFixed(context, 0, command->doneKey);
  }
  // Each section ends on the disk, before the next starts from its version.
  if (!CommitDone(context)) return JournalFailed(context);
  return kContinue;
}

namespace {

// The package a request names: the one it hands over, else the one mounted
// under its path; `mounted` is set when it had to be mounted here.
PackageArchive* RequestPackage(const RunRequest& request, bool* mounted) {
  *mounted = false;
  if (request.package != nullptr) return request.package;
  if (PackageArchive* archive = FindOpenPackage(request.packagePath)) return archive;
  PackageArchive* archive = OpenPackage(request.packagePath.c_str());
  *mounted = archive != nullptr;
  return archive;
}

// Everything a run opens for itself, held for the run and closed on every way
// out: its own log when the caller gave none, and the package when nobody had
// mounted it. A package start-up mounted stays as it is, so the table ends
// the run as it began; handlers only log their line and return their code.
class RunResources {
 public:
  RunResources(CommandContext* context, const RunRequest& request) : context_(context) {
    if (request.log != nullptr) {
      context->log = request.log;
    } else {
      // Never written through a link planted in its place.
      if (!IsLink("patch.log") || ClearName("patch.log")) {
        context->log = OpenPackageFile("patch.log", "wt");
      }
      context->logOwned = context->log != nullptr;
    }
    context->package = RequestPackage(request, &mounted_);
  }
  ~RunResources() {
    if (context_->logOwned && context_->log != nullptr) ClosePackageFile(context_->log);
    context_->log = nullptr;
    context_->logOwned = false;
    if (mounted_) ClosePackage(context_->packagePath.c_str());
    context_->package = nullptr;
  }
  RunResources(const RunResources&) = delete;
  RunResources& operator=(const RunResources&) = delete;

 private:
  CommandContext* context_;
  bool mounted_ = false;
};

const char kDamagedLine[] = "ERROR: the update's data is damaged: %s !\n";

// The sections a walk from `version` takes: a Version section applies when
// it starts from the version the walk has reached.
std::vector<const ScriptCall*> PlanSections(const ScriptProgram& program, std::string version) {
  std::vector<const ScriptCall*> sections;
  for (const ScriptCall* c = program.first; c != nullptr; c = c->next) {
    if (CallNameIs(c, "Version")) {
      const char* from = StringArgument(c, 0);
      const char* to = StringArgument(c, 1);
      if (from == nullptr || to == nullptr || version != from) continue;
      version = to;
      sections.push_back(c);
    } else if (CallNameIs(c, "All")) {
      sections.push_back(c);
    }
  }
  return sections;
}

// The entries a run of these sections reads: every entry of the program
// file's own archive that is no payload (scripts, includes, texts), and the
// payloads and deltas the calls name.
std::vector<const PackageEntry*> RunInputs(const PackageArchive& archive,
                                           const std::vector<const ScriptCall*>& sections) {
  std::vector<const PackageEntry*> inputs;
  std::set<const PackageEntry*> seen;
  for (const auto& e : archive.entries) {
    if (!e->inVolumes && !IsPayloadEntryName(e->name) && seen.insert(e.get()).second)
      inputs.push_back(e.get());
  }
  for (const ScriptCall* s : sections) {
    for (const ScriptCall* c = s->body; c != nullptr; c = c->next) {
      const CommandInfo* info = FindCommandInfo(c->name.c_str());
      if (info == nullptr || info->entry < 0) continue;
      const PackageEntry* e = FindPackageEntry(archive, StringArgument(c, info->entry));
      if (e != nullptr && seen.insert(e).second) inputs.push_back(e);
    }
  }
  return inputs;
}

// Reports the check as it goes, each percent once.
struct CheckReport {
  ProgressCallback progress;
  std::string text;
  int32_t last = -1;
  void operator()(uint64_t done, uint64_t total) {
    const int32_t p = total == 0 ? 100 : static_cast<int32_t>(done * 100 / total);
    if (progress == nullptr || p == last) return;
    last = p;
    progress(0, p, "", text.c_str());
  }
};

std::string ExpandedOr(const char* token, const char* fallback) {
  const std::string text = ExpandedText(token);
  return text == token ? std::string(fallback) : text;
}

// kContinue, or kPackageDamaged with the damaged file.
int32_t CheckSections(const PackageArchive& archive, const std::vector<const ScriptCall*>& sections,
                      ProgressCallback progress, std::string* damagedFile) {
  if (!archive.hasManifest) return kContinue;
  CheckReport report{
      progress, ExpandedOr("&IDS_PROGRESS_CHECKING_DOWNLOAD&", "Checking the update's data...")};
  const bool ok = CheckPackageData(
      archive, RunInputs(archive, sections),
      [&report](uint64_t done, uint64_t total) { report(done, total); }, damagedFile);
  return ok ? kContinue : kPackageDamaged;
}

std::string FileNameOf(const std::string& path) {
  const size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

// Folded as CompareNoCase folds, so the same file is one key.
std::string Lowered(std::string text) {
  ToLowerInPlace(&text);
  return text;
}

// Every file a done PatchFile or CreateFile wrote, and that nothing later in
// the walk names, still has the content that command checked, when it is there.
bool DoneResultsHold(const CommandContext& context) {
  // The last call that names each path, by its lower-cased full form.
  std::map<std::string, size_t> last;
  std::string path;
  for (size_t i = 0; i < context.plan.size(); ++i) {
    const ScriptCall* call = context.plan[i];
    for (int a = 0; a < 2; ++a) {
      const char* name = StringArgument(call, a);
      if (name != nullptr && JoinPath(context.targetRoot, name, kMaxJoinedPath, &path)) {
        last[Lowered(path)] = i;
      }
    }
  }
  for (size_t i = 0; i < context.plan.size(); ++i) {
    const ScriptCall* call = context.plan[i];
    if (!context.journal->IsDone(static_cast<int64_t>(i))) continue;
    int checksum = -1;
    if (CallNameIs(call, "PatchFile")) checksum = GetCommandInfo(CommandId::kPatchFile).checksum;
    if (CallNameIs(call, "CreateFile")) checksum = GetCommandInfo(CommandId::kCreateFile).checksum;
    const char* name = StringArgument(call, 0);
    const char* expected = checksum >= 0 ? StringArgument(call, checksum) : nullptr;
    if (expected == nullptr || !JoinPath(context.targetRoot, name, kMaxJoinedPath, &path) ||
        last[Lowered(path)] != i) {
      continue;
    }
    // A file gone since (with a folder removed later, say) proves nothing.
    if (context.fs->GetAttributes(path) == kInvalidAttributes) continue;
    if (!FileMatchesChecksum(context.fs, context.readWindow, "", path.c_str(), expected, nullptr, 0,
                             nullptr)) {
      return false;
    }
  }
  return true;
}

int32_t RunScript(const RunRequest& request, CommandContext& context) {
  context.packagePath = request.packagePath;
  context.sourceRoot = request.sourceRoot;
  context.targetRoot = request.targetRoot;
  context.progress = request.progress;
  context.currentVersion = request.currentVersion;
  context.skipSpaceCheck = request.skipSpaceCheck;
  context.skipShortcuts = request.skipShortcuts;
  context.linkBaseDir = request.linkBaseDir;
  context.gameExecutable = request.gameExecutable;
  context.journal = request.journal;
  context.fs = request.fs != nullptr ? request.fs : GetFileSystem();
  context.readWindow = request.readWindow > 0 ? request.readWindow : kDefaultReadWindow;
  context.firstChange = request.beforeFirstChange;
  context.stopRequested = request.stopRequested;
  // What the interrupted run changed counts as changed by this one.
  context.modified = Resuming(context) && context.journal->changedBefore();
  RunResources resources(&context, request);

  // Declared after the resources, so the program goes first on every path.
  std::unique_ptr<ScriptProgram> program;
  int error = 1;
  std::unique_ptr<ScriptReader> reader = LoadScript(context.package, "patch.scr");
  if (reader != nullptr) program = ParseProgram(*reader, error);
  if (reader == nullptr || error != 0 || program == nullptr || program->first == nullptr ||
      context.currentVersion.size() > kMaxVersionText || !VersionSectionsValid(program->first)) {
    return AbortRun(context, kOperationFailed, "%s", kBadScriptLine);
  }

  // The sections the walk takes, known before the first runs, so every call
  // has its ordinal and a check can look ahead.
  const std::vector<const ScriptCall*> sections = PlanSections(*program, context.currentVersion);
  for (const ScriptCall* s : sections) {
    for (const ScriptCall* c = s->body; c != nullptr; c = c->next) context.plan.push_back(c);
  }
  // Nothing changes before what the run will read has proved whole.
  std::string damaged;
  if (!request.packageChecked && context.package != nullptr &&
      CheckSections(*context.package, sections, context.progress, &damaged) != kContinue) {
    return AbortRun(context, kPackageDamaged, kDamagedLine, damaged.c_str());
  }
  // A game installed again since the interrupted run no longer holds what
  // that run did: the update then starts over from the recorded version.
  if (Resuming(context) && !DoneResultsHold(context) && !context.journal->Restart()) {
    return AbortRun(context, kOperationFailed, "%s", kJournalLine);
  }
  if (Resuming(context)) {
    LogLine(context, "Resuming the interrupted update: %d command(s) done before\n",
            static_cast<int>(context.journal->doneCount()));
  }

  int64_t start = 0;
  for (const ScriptCall* s : sections) {
    context.sectionStart = start;
    int32_t r = DispatchCommands(context, s->body);
    if (r != kContinue) return r;
    if (CallNameIs(s, "Version")) context.currentVersion = StringArgument(s, 1);
    for (const ScriptCall* c = s->body; c != nullptr; c = c->next) ++start;
  }
  return kRunSucceeded;
}

}  // namespace

int32_t CheckRunPackage(const RunRequest& request, std::string* damagedFile) {
  bool mounted = false;
  PackageArchive* package = RequestPackage(request, &mounted);
  int32_t code = kContinue;
  if (package != nullptr && package->hasManifest) {
    int error = 1;
    std::unique_ptr<ScriptReader> reader = LoadScript(package, "patch.scr");
    std::unique_ptr<ScriptProgram> program;
    if (reader != nullptr) program = ParseProgram(*reader, error);
    if (program == nullptr || error != 0) {
      code = kOperationFailed;
    } else {
      code = CheckSections(*package, PlanSections(*program, request.currentVersion),
                           request.progress, damagedFile);
    }
  }
  if (mounted) ClosePackage(request.packagePath.c_str());
  return code;
}

std::string DamagedDownloadText(const std::string& file) {
  const std::string shown = FileNameOf(file);
  std::string text = ExpandedOr(
      "&IDS_ERR_DAMAGED_DOWNLOAD&",
      "The update's file %1 is damaged or incomplete, so the update cannot run. Nothing was "
      "changed by it. Please download the update again.");
  return FormatText(text.c_str(), {shown});
}

int32_t RunUpdateScript(const RunRequest& request) {
  CommandContext context;
  const int32_t code = RunScript(request, context);
  if (request.changed != nullptr) *request.changed = context.changed;
  return code;
}

}  // namespace upkeep
