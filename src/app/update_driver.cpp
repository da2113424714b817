#include "app/update_driver.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/startup.h"
#include "engine/checksum.h"
#include "engine/command_context.h"
#include "engine/commands.h"
#include "engine/final_content.h"
#include "engine/run_journal.h"
#include "engine/script_runner.h"
#include "install/bank_files.h"
#include "install/installation.h"
#include "package/package.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/text.h"
#include "script/format_text.h"
#include "script/string_table.h"

namespace upkeep {

namespace {

// Paths live in 260-byte buffers.
constexpr size_t kMaxPath = 259;

std::string X(const char* token) { return std::string(ExpandText(token)); }

// The texts of messages newer than most string tables, in English when the
// package's table does not have them.
const char kIncompleteToken[] = "&IDS_ERR_UPDATE_INCOMPLETE&";
const char kIncompleteText[] =
    "%1\nThe update is not complete: some game files are already updated. Run the update again "
    "to finish it. If it stops the same way again, ask the publisher for a corrected update or "
    "reinstall the game; another update of the game can also be tried.";
const char kStillRunningToken[] = "&IDS_ERR_GAME_STILL_RUNNING&";
const char kStillRunningText[] =
    "%1 is still running, so the update did not start. Nothing was changed.\nClose %1, then "
    "start the update again.";
const char kUpToDateToken[] = "&IDS_ALREADY_UP_TO_DATE&";
const char kUpToDateText[] =
    "%1 is already installed: the game is up to date. Nothing was changed.";
const char kStoppedToken[] = "&IDS_UPDATE_STOPPED&";
const char kStoppedText[] = "The update was stopped.";
const char kUnfinishedToken[] = "&IDS_ERR_UNFINISHED_UPDATE&";
const char kUnfinishedText[] =
    "An earlier update of %1 (to version %2) was cut short half-way, so this one cannot start.\n"
    "Run that update again to finish it, then run this one. Without that update, reinstall the "
    "game first.";
std::string TextOr(const char* token, const char* fallback) {
  const std::string text = X(token);
  return text == token ? std::string(fallback) : text;
}

std::string Format(const std::string& templ, const std::vector<std::string>& args) {
  return FormatText(templ.c_str(), args);
}

// The engine's reports, and the driver's own, reach the front end through
// its host.
void ForwardProgress(void* host, int32_t overallPercent, int32_t stepPercent, const char* fileName,
                     const char* operationText) {
  static_cast<UpdateHost*>(host)->SetProgress(overallPercent, stepPercent,
                                              TextOrEmpty(operationText), TextOrEmpty(fileName));
}

// A text that goes into a message template as template text, not as an
// argument: its '%' signs must stay what they are.
std::string Literal(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

struct Run {
  UpdateHost* host = nullptr;
  ProgressCallback progress;
  std::string caption;
  std::string message;
  std::string gameDir;
  std::string programName;
  PackageFile* log = nullptr;
  RunJournal journal;
  bool journalOurs = false;  // begun or taken over by this run, not another package's
  // The journal of another package's failed update that this run's replaced:
  // put back when this run changes nothing, so that package can still finish.
  std::string replaced;
  bool changed = false;  // the game was changed, by this run or the one it resumes
};

// The installation already holds every file the package writes, with the
// content the update gives it (bank files aside: the game remakes them), so
// the update has nothing left to do. Reads each of those files once.
bool AlreadyUpToDate(Run* run, const std::vector<FinalFile>& files) {
  const std::string text = X("&IDS_PROGRESS_VERYFING_DEST_FILE&");
  size_t checked = 0;
  for (const FinalFile& f : files) {
    if (IsStaleBankFile(f.name)) continue;
    std::string path;
    if (run->host->StopRequested() ||
        !JoinPath(run->gameDir, f.name.c_str(), kMaxJoinedPath, &path) || !PathExists(path)) {
      return false;
    }
    run->progress(0, 0, path.c_str(), text.c_str());
    if (!FileMatchesChecksum("", path.c_str(), f.checksum.c_str(), run->progress, 0,
                             text.c_str())) {
      return false;
    }
    ++checked;
  }
  return checked > 0;
}

// Whether the game's program already has the content the update gives it:
// then the rest is worth a look before the update runs into its checks.
bool ProgramAlreadyNew(const Run& run, const std::vector<FinalFile>& files) {
  for (const FinalFile& f : files) {
    if (run.programName.empty() || CompareNoCase(f.name.c_str(), run.programName.c_str()) != 0) {
      continue;
    }
    std::string path;
    return JoinPath(run.gameDir, f.name.c_str(), kMaxJoinedPath, &path) && PathExists(path) &&
           FileMatchesChecksum("", path.c_str(), f.checksum.c_str(), nullptr, 0, nullptr);
  }
  return false;
}

// Steps 2 to 21: every check and the script. Returns the run's code; the
// checks that fail leave their text in run->message.
int32_t Update(Run* run) {
  const auto Progress = [run](int32_t overall, int32_t step, const char* token) {
    run->progress(overall, step, "", X(token).c_str());
  };
  const int candidates = CountGameExecutables();
  Progress(0, 0, "&IDS_PROGRESS_INIT&");
  if (!run->host->Silent()) SleepMs(500);

  const std::string programOld = X("&PROGRAM_NAME_OLD&");
  const std::string program = X("&PROGRAM_NAME&");

  if (ReadRegistryValue(X("&REG_KEY&"), X("&REG_DESTINATION&"), &run->gameDir) != 0) {
    run->message = Format(X("&IDS_ERR_NO_REG_KEY&"), {programOld, programOld, program});
    return kCannotUpdate;
  }
  std::string& gameDir = run->gameDir;
  if (!gameDir.empty() && gameDir.back() == '\\') gameDir.pop_back();

  int index = 0;
  std::string name;
  bool blank = false;  // the search stopped at an item with no name
  for (; index < candidates; ++index) {
    if (!GetGameExecutable(index, &name)) {
      blank = true;
      break;
    }
    if (InstalledFileExists(gameDir, name)) break;
  }
  GetGameExecutable(index, &run->programName);
  const std::string& programName = run->programName;

  // A log path that would not fit is a log that cannot be opened; without a
  // directory the path would name the root of the current drive. A link in
  // its place goes first, so the log is never written through one.
  const std::string logPath = gameDir + "\\patch.log";
  if (!gameDir.empty() && logPath.size() <= kMaxPath && (!IsLink(logPath) || ClearName(logPath))) {
    run->log = OpenPackageFile(logPath.c_str(), "wt");
  }
  const std::string sourceRoot = gameDir;

  // A directory with no room left for "\name" holds nothing we could update.
  if (gameDir.empty() || !DirectoryExists(gameDir) || gameDir.size() + 1 > kMaxPath) {
    run->message = Format(X("&IDS_ERR_NO_GAME_DIR&"), {programOld, program});
    return kCannotUpdate;
  }
  // A candidate list whose every name was looked for and none is here means
  // this is not the game's directory. An empty list, or a search that ended at
  // a blank item, goes on without a program.
  if ((candidates > 0 && programName.empty() && !blank) ||
      (!programName.empty() && !InstalledFileExists(gameDir, programName))) {
    run->message = Format(X("&IDS_ERR_NO_GAME&"), {programOld, program});
    return kCannotUpdate;
  }

  const std::string running = Format(X("&IDS_ERR_GAME_RUNNING&"), {programOld, programOld});
  while (!programName.empty() && IsGameRunning(gameDir, programName)) {
    if (run->host->ShowMessage(running, run->caption, MessageIcon::Error,
                               MessageButtons::RetryCancel) != kIdRetry) {
      // Nothing changed, and the box that offered Retry is gone: the last
      // word says what to do now.
      run->message = Format(TextOr(kStillRunningToken, kStillRunningText), {programOld});
      return kGameStillRunning;
    }
  }

  // The run reads the package start-up opened, by the program's own path.
  const std::string packagePath = GetProgramPath();
  PackageArchive* package = packagePath.size() <= kMaxPath ? FindOpenPackage(packagePath) : nullptr;

  // An update cut short half-way is finished before anything else: by its
  // own package, from the version it started at (its Version sections may
  // have changed the program since); any other package is turned away. One
  // that failed turns no package away: another package's own checks decide.
  RunJournal& journal = run->journal;
  uint32_t packageCrc = 0;
  const bool scriptRead = PackageScriptCrc(package, &packageCrc);
  const bool loaded = scriptRead && journal.Load(RunJournal::PathIn(gameDir));
  if (loaded && journal.start().packageCrc != packageCrc) {
    if (journal.HoldsBack()) {
      run->message = Format(TextOr(kUnfinishedToken, kUnfinishedText),
                            {journal.start().programName, journal.start().patchVersion});
      return kCannotUpdate;
    }
    run->replaced = journal.text();
  }
  const bool resuming = loaded && journal.start().packageCrc == packageCrc;

  const std::string language = X("&LANG_VERSION&");
  const std::string installedLanguage =
      resuming ? journal.start().language : GetInstalledLanguage(gameDir, programName);
  if (resuming ? !LanguageAccepted(installedLanguage, language)
               : !CheckGameLanguage(gameDir, programName, language)) {
    const std::string joined = X("&IDS_ERR_WRONG_LANG&") + X("&IDS_YOUR_GAME_LANG_VER_IS&") +
                               Literal(installedLanguage) + X("&IDS_THIS_PATCH_IS_FOR_LANG_VER&") +
                               language;
    run->message = Format(joined, {program});
    return kWrongInstallation;
  }
  const std::string versions = X("&GAME_VERSION&");
  const std::string installedVersion =
      resuming ? journal.start().version : GetInstalledVersion(gameDir, programName);
  const bool versionAccepted = resuming ? VersionAccepted(installedVersion, versions)
                                        : CheckGameVersion(gameDir, programName, versions);
  // A game the update already brought to its new version is no wrong
  // version, and runs into no check: it is up to date.
  std::vector<FinalFile> finalFiles;
  const bool finalKnown = !resuming && ReadFinalContent(&finalFiles);
  if (finalKnown && (!versionAccepted || ProgramAlreadyNew(*run, finalFiles)) &&
      AlreadyUpToDate(run, finalFiles)) {
    return kAlreadyUpToDate;
  }
  if (!versionAccepted) {
    run->message = Format(X("&IDS_ERROR_WRONG_VERSION&"), {versions});
    return kWrongInstallation;
  }
  if (run->host->StopRequested()) {
    // Stopped before the script began: the log says so, as it does for a
    // stop between two commands.
    if (run->log != nullptr) PrintfPackageFile(run->log, "%s", kRunStoppedLogLine);
    return kRunStopped;
  }

  // Without its own path the run would read "patch.scr" from wherever the
  // current directory is; refuse instead.
  if (packagePath.empty() || packagePath.size() > kMaxPath) return kOperationFailed;

  RunRequest request;
  request.packagePath = packagePath;
  request.package = package;
  request.sourceRoot = sourceRoot;
  request.targetRoot = gameDir;
  request.progress = run->progress;
  request.log = run->log;
  request.currentVersion = installedVersion;
  request.skipSpaceCheck = run->host->SkipSpaceCheck();
  request.skipShortcuts = run->host->SkipShortcuts();
  request.linkBaseDir = gameDir + "\\";
  request.gameExecutable = programName;

  // The download is checked whole before anything in the game folder is
  // touched (the journal and the bank clean-up included).
  std::string damaged;
  const int32_t checked = CheckRunPackage(request, &damaged);
  if (checked == kPackageDamaged) {
    run->message = DamagedDownloadText(damaged);
    return kPackageDamaged;
  }
  request.packageChecked = checked == kContinue;

  Progress(0, 100, "&IDS_PROGRESS_INIT_DONE&");
  Progress(0, 0, "&IDS_PROGRESS_UPDATING_DATA&");

  // On the disk before the first change, or the run does not start: a crash
  // without it would leave a half-updated game no run can finish.
  if (scriptRead) {
    JournalStart start;
    start.packageCrc = packageCrc;
    start.version = installedVersion;
    start.language = installedLanguage;
    start.programName = program;
    start.patchVersion = X("&PATCH_VERSION&");
    if (!(resuming ? journal.Continue() : journal.Begin(RunJournal::PathIn(gameDir), start))) {
      journal.Close();
      run->journalOurs = !resuming;  // a journal begun in part is ours to remove
      // On a full disk this is the first write, ahead of the script's own
      // free-space check: it must say so, not send the player to an empty log.
      return RanOutOfSpace(RunJournal::PathIn(gameDir), kJournalRoom) ? kNotEnoughSpace
                                                                      : kOperationFailed;
    }
    run->journalOurs = true;
  }

  request.journal = run->journalOurs ? &journal : nullptr;
  bool changed = false;
  request.changed = &changed;
  // The stale bank files go with the first change, not before the checks: a
  // run that changes nothing leaves them as they were. The run this one
  // resumes took them when it began to change the game.
  if (!(resuming && journal.changedBefore())) {
    request.beforeFirstChange = [&gameDir] { return DeleteStaleBankFiles(gameDir) > 0; };
  }
  UpdateHost* host = run->host;
  request.stopRequested = [host] { return host->StopRequested(); };
  int32_t code = RunUpdateScript(request);
  run->changed = changed || (resuming && journal.changedBefore());
  if (code == kPackageDamaged) run->message = DamagedDownloadText(packagePath);
  // A source check that failed on a game already at the new version (an
  // update whose program is not among its files) found it up to date.
  if (code == kChecksumBeforeChange && !run->changed && finalKnown &&
      AlreadyUpToDate(run, finalFiles)) {
    code = kAlreadyUpToDate;
  }

  if (code == kRunSucceeded) {
    Progress(100, 100, "&IDS_PROGRESS_UPDATE_DONE&");
    if (!run->host->Silent()) SleepMs(1000);
    Progress(100, 0, "&IDS_PROGRESS_STORING_UPDATE_INFO&");
    const std::string showReadme = X("&SHOW_README&");
    const std::string readme = gameDir + "\\ReadMe.txt";
    if ((showReadme.empty() || showReadme[0] != '0') && readme.size() <= kMaxPath) {
      run->host->ShellOpen(readme);
    }
  }
  return code;
}

// The copy of the log ("-log FILE"): the bytes of this run's patch.log, or,
// when the run had no log of its own, the final state as the log would end.
// A copy that cannot be written changes nothing about the run.
void WriteLogCopy(const std::string& copy, const Run& run, bool hadLog,
                  const std::string& finalText) {
  FileSystem* fs = GetFileSystem();
  bool written = false;
  if (hadLog) {
    std::string bytes;
    std::unique_ptr<File> log = fs->Open(run.gameDir + "\\patch.log", OpenMode::kRead);
    char buffer[16384];
    int64_t got = 0;
    while (log != nullptr && (got = log->Read(buffer, sizeof buffer)) > 0) {
      bytes.append(buffer, static_cast<size_t>(got));
    }
    std::unique_ptr<File> out = fs->Open(copy, OpenMode::kWrite);
    written = out != nullptr &&
              out->Write(bytes.data(), bytes.size()) == static_cast<int64_t>(bytes.size());
  } else {
    written = WriteFinalStateCopy(copy, finalText);
  }
  if (!written) {
    DebugOutput(("upkeep: the copy of the log cannot be written to " + copy + "\n").c_str());
  }
}

}  // namespace

FinalReport FinalReportFor(int32_t code, const std::string& message) {
  switch (code) {
    case kWrongInstallation:
      return {message, MessageIcon::Warning, UpdateOutcome::Interrupted};
    case kRunSucceeded:
      return {X("&IDS_UPDATE_SUCCESSFUL&"), MessageIcon::Information, UpdateOutcome::Succeeded};
    case kNotEnoughSpace:
      return {X("&IDS_ERR_UPDATE_FAILED_DUE_SPACE&"), MessageIcon::Error, UpdateOutcome::Failed};
    case kChecksumAfterChange:
      return {X("&IDS_ERR_WRONG_CRC&"), MessageIcon::Error, UpdateOutcome::Failed};
    case kCannotUpdate:
    case kPackageDamaged:
      return {message, MessageIcon::Error, UpdateOutcome::Failed};
    case kGameStillRunning:
      return {message, MessageIcon::Warning, UpdateOutcome::Interrupted};
    case kAlreadyUpToDate:
      return {Format(TextOr(kUpToDateToken, kUpToDateText), {X("&PROGRAM_NAME&")}),
              MessageIcon::Information, UpdateOutcome::Succeeded};
    case kRunStopped:
      // What the information page says after an interrupted run says it all.
      return {Format(X("&IDS_INFO_SKIP&"), {X("&PROGRAM_NAME_OLD&")}), MessageIcon::Warning,
              UpdateOutcome::Interrupted};
    case kChecksumBeforeChange:
      return {X("&IDS_ERR_WRONG_CRC&"), MessageIcon::Warning, UpdateOutcome::Interrupted};
    case kOperationFailed:
    default:
      // A code the runner is not known to return is a failure, never success.
      return {X("&IDS_ERR_GENERIC&"), MessageIcon::Error, UpdateOutcome::Failed};
  }
}

uint32_t UpdateDriver(UpdateHost* host) {
  Run run;
  run.host = host;
  run.progress = ProgressCallback(&ForwardProgress, host);
  run.caption = Format(X("&IDS_TITLE&"), {X("&PROGRAM_NAME&")});
  const int32_t code = Update(&run);

  FinalReport report = FinalReportFor(code, run.message);
  // A checksum failure says nothing changed, and a resumed run's failure does
  // not say an earlier run already changed files: after changes, both say
  // the update is half-done and that running it again finishes it.
  const bool resumed = run.journalOurs && run.journal.resumed();
  if (code == kRunStopped && run.changed) {
    report.text = TextOr(kStoppedToken, kStoppedText);
  }
  // A damaged download is no case for running it again: it says so itself.
  if (run.changed && code != kPackageDamaged &&
      (code == kChecksumBeforeChange || code == kRunStopped ||
       (resumed && code != kRunSucceeded && code != kWrongInstallation && code != kCannotUpdate))) {
    report = {Format(TextOr(kIncompleteToken, kIncompleteText), {report.text}), MessageIcon::Error,
              UpdateOutcome::Failed};
  }
  const bool hadLog = run.log != nullptr;
  if (run.log != nullptr) {
    PrintfPackageFile(run.log, "\nFinal update state:\n%s\n", report.text.c_str());
  }
  // Once the front end hears the outcome it may end the process at once (Close):
  // the whole log is on disk before then.
  if (run.log != nullptr) FlushPackageFile(run.log);
  const std::string copy = host->LogCopyPath();
  if (!copy.empty()) {
    // The log is complete; closed first, since Windows lets nobody read a
    // file that is open for writing without sharing.
    if (hadLog) ClosePackageFile(run.log);
    run.log = nullptr;
    WriteLogCopy(copy, run, hadLog, report.text);
  }
  host->ShowMessage(report.text, run.caption, report.icon, MessageButtons::Ok);
  // Kept while the game is half-updated, so the next run of this package
  // finishes it, with why it stopped: a failure holds no other package back,
  // a run cut short (no end noted) does. Settled before the front end may
  // end the process.
  if (run.journalOurs) {
    if (!run.changed && !run.replaced.empty()) {
      run.journal.Restore(run.replaced);
    } else if (code == kRunSucceeded || !run.changed) {
      run.journal.Remove();
    } else {
      run.journal.NoteEnd(code);
      run.journal.Close();
    }
  }
  // Closed first, so that whatever shows it reads it whole.
  if (run.log != nullptr) ClosePackageFile(run.log);
  run.log = nullptr;
  if (hadLog) host->LogWritten(run.gameDir + "\\patch.log");
  host->Finished(report.outcome);
  return 0;
}

uint32_t UpdateDriverThread(void* host) { return UpdateDriver(static_cast<UpdateHost*>(host)); }

}  // namespace upkeep
