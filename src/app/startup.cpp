#include "app/startup.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/version.h"
#include "package/package.h"
#include "package/package_check.h"
#include "package/payload_stream.h"
#include "platform/file_system.h"
#include "platform/instance_guard.h"
#include "platform/process.h"
#include "script/format_text.h"
#include "script/string_table.h"
#include "shell/shortcut_commands.h"

namespace upkeep {

namespace {

// The program path has a 260-byte buffer.
constexpr size_t kMaxProgramPath = 259;

// Width and precision beyond this are refused as written rather than honoured.
constexpr int kMaxFieldWidth = 1023;

std::string X(const char* token) { return std::string(ExpandText(token)); }

std::string Format(const std::string& templ, const std::vector<std::string>& args) {
  return FormatText(templ.c_str(), args);
}

bool Contains(const std::string& text, const char* option) {
  return text.find(option) != std::string::npos;
}

// Reads a decimal field of a conversion; false when it is too large.
bool ReadField(const std::string& t, size_t* i, int* value) {
  *value = 0;
  while (*i < t.size() && t[*i] >= '0' && t[*i] <= '9') {
    *value = *value * 10 + (t[*i] - '0');
    if (*value > kMaxFieldWidth) return false;
    ++*i;
  }
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The file name after the "-log" at `option`: blanks skipped, then a quoted
// text or the run of characters up to the next blank. *end is where the name
// (with its closing quote) ends.
std::string LogFileOf(const std::string& text, size_t option, size_t* end) {
  size_t i = option + strlen("-log");
  while (i < text.size() && IsBlank(text[i])) ++i;
  if (i < text.size() && text[i] == '"') {
    const size_t close = text.find('"', i + 1);
    *end = close == std::string::npos ? text.size() : close + 1;
    return text.substr(i + 1, close == std::string::npos ? std::string::npos : close - i - 1);
  }
  size_t stop = i;
  while (stop < text.size() && !IsBlank(text[stop])) ++stop;
  *end = stop;
  return text.substr(i, stop - i);
}

// Whether `word` stands alone between blanks, outside any quoted text.
bool HasWord(const std::string& text, const std::string& word) {
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsBlank(text[i])) ++i;
    const size_t start = i;
    bool quoted = false;
    while (i < text.size() && (quoted || !IsBlank(text[i]))) {
      if (text[i] == '"') quoted = !quoted;
      ++i;
    }
    if (text.compare(start, i - start, word) == 0 && i - start == word.size()) return true;
  }
  return false;
}

}  // namespace

StartupOptions ParseOptions(const std::string& commandLine) {
  StartupOptions options;
  if (commandLine.empty()) return options;
  // "-log" and its file go first, so that a file name never turns an option
  // on ("-log C:\update-silent.log").
  std::string rest = commandLine;
  const size_t log = rest.find("-log");
  if (log != std::string::npos) {
    size_t end = log;
    options.log = true;
    options.logFile = LogFileOf(rest, log, &end);
    rest.replace(log, end - log, " ");
  }
  options.force = Contains(rest, "-force");
  options.skipSpaceCheck = Contains(rest, "-skipspacecheck");
  options.skipShortcuts = Contains(rest, "-skipshortcuts");
  options.silent = Contains(rest, "-silent");
  if (options.silent) options.force = true;
  options.help = Contains(rest, "-?") || Contains(rest, "-help");
  options.version = HasWord(rest, "--version");
  return options;
}

std::string HelpText() {
  return "Options:\n"
         "-force\tupdate at once: no licence, no question\n"
         "-silent\tno window and no question at all (each gets Cancel or No), no read-me; "
         "exit code 0 updated, 1 interrupted before anything changed (may be run again), "
         "3 failed\n"
         "-log FILE\ta copy of patch.log in FILE as well\n"
         "-skipspacecheck\tno free-space checks\n"
         "-skipshortcuts\tleave the shortcuts alone\n"
         "-? or -help\tthis list\n"
         "--version\tthe updater's version";
}

std::string VersionText() { return "upkeep " UPKEEP_VERSION_TEXT; }

std::string PrepareLogCopy(const std::string& file) {
  if (file.empty()) return std::string();
  FileSystem* fs = GetFileSystem();
  const std::string full = fs->GetFullPath(file);
  if (full.empty()) return std::string();
  if (fs->Open(full, OpenMode::kWrite) == nullptr) return std::string();
  return full;
}

std::string LogCopyRefusal(const std::string& file) {
  if (file.empty()) return "-log needs the name of a file to write. Nothing was changed.";
  return "The log file \"" + file + "\" cannot be written. Nothing was changed.";
}

bool WriteFinalStateCopy(const std::string& copy, const std::string& finalText) {
  std::string bytes;
  for (char c : "\nFinal update state:\n" + finalText + "\n") {
    if (c == '\n') bytes += '\r';
    bytes += c;
  }
  std::unique_ptr<File> out = GetFileSystem()->Open(copy, OpenMode::kWrite);
  return out != nullptr &&
         out->Write(bytes.data(), bytes.size()) == static_cast<int64_t>(bytes.size());
}

const char kDamagedUpdateText[] =
    "This update file is damaged or incomplete, so it cannot update anything. Nothing was "
    "changed. Please download the update again.";

std::string DamagedPackageText(const PackageProblem& problem) {
  const size_t cut = problem.file.find_last_of("\\/");
  const std::string name = cut == std::string::npos ? problem.file : problem.file.substr(cut + 1);
  switch (problem.kind) {
    case PackageProblem::kVolumeMissing:
      return "This update's data file " + name +
             " is missing: it belongs in the same folder as the update program. Nothing was "
             "changed. Please download it again.";
    case PackageProblem::kVolumeWrongSize:
      return "This update's data file " + name +
             " is damaged or incomplete, so the update cannot run. Nothing was changed. Please "
             "download it again.";
    default:
      return kDamagedUpdateText;
  }
}

StartupOptions BeginStartup(const std::string& commandLine, bool* hasPackage,
                            std::string* damagedText) {
  AttachInstanceCounter();
  // A script, string table or payload planted in the start folder (often a
  // downloads folder) must never stand in for a missing or damaged package.
  AllowLooseFileReads(false);
  // A path that does not fit its buffer is a package that cannot be opened.
  const std::string program = GetProgramPath();
  PackageProblem problem;
  problem.kind = PackageProblem::kCannotOpen;
  PackageArchive* package = !program.empty() && program.size() <= kMaxProgramPath
                                ? OpenPackage(program.c_str(), &problem)
                                : nullptr;
  // The scripts and texts are read before the run checks anything: damage
  // to them is found here, before a word of them is shown or run. (The
  // payloads wait for the run's check, which reports its progress.)
  if (package != nullptr) {
    for (const auto& e : package->entries) {
      if (e->inVolumes || !e->hasDigest || IsPayloadEntryName(e->name)) continue;
      if (!EntryDigestMatches(*e)) {
        problem.kind = PackageProblem::kManifestDamaged;
        ClosePackage(program.c_str());
        package = nullptr;
        break;
      }
    }
  }
  if (hasPackage != nullptr) *hasPackage = package != nullptr;
  if (damagedText != nullptr) *damagedText = package != nullptr ? "" : DamagedPackageText(problem);
  LoadStringTable("Strings.scr");
  RegisterShortcutCommands();
  return ParseOptions(commandLine);
}

bool ClaimSingleInstance(std::string* text, std::string* caption) {
  const std::string program = X("&PROGRAM_NAME&");
  *caption = Format(X("&IDS_TITLE&"), {program});
  *text = Format(X("&IDS_UPDATE_ALREADY_RUNNING&"), {program});
  return ClaimInstanceSlot();
}

void EnsureSingleInstance(const RefusalBox& showRefusal) {
  std::string text;
  std::string caption;
  if (ClaimSingleInstance(&text, &caption)) return;
  if (showRefusal) showRefusal(text, caption);
  std::exit(0);
}

std::string MessageCaption() { return Format(X("&IDS_TITLE&"), {X("&PROGRAM_NAME&")}); }

std::string DialogCaption() { return DialogCaptionFor(X("&PROGRAM_NAME&")); }

std::string DialogCaptionFor(const std::string& programName) {
  std::string versions = X("&GAME_VERSION&");
  if (versions.empty()) {
    return FormatPrintfTexts(X("&UPDATE_TITLE_NO_VER&"), {programName, X("&PATCH_VERSION&")});
  }
  std::string shown;
  for (char c : versions) {
    if (c == ';') {
      shown += ", ";
    } else {
      shown += c;
    }
  }
  return FormatPrintfTexts(X("&UPDATE_TITLE&"), {programName, shown, X("&PATCH_VERSION&")});
}

std::string InfoText() {
  const std::string old = X("&PROGRAM_NAME_OLD&");
  return Format(X("&IDS_INFO_BEGIN&"), {old, old, old, old});
}

std::string OutcomeText(UpdateOutcome outcome) {
  const std::string old = X("&PROGRAM_NAME_OLD&");
  switch (outcome) {
    case UpdateOutcome::Interrupted:
      return Format(X("&IDS_INFO_SKIP&"), {old});
    case UpdateOutcome::Succeeded:
      return Format(X("&IDS_INFO_SUCCES&"), {old});
    case UpdateOutcome::Failed:
      break;
  }
  return Format(X("&IDS_INFO_FAILED&"), {old, X("&PROGRAM_NAME&")});
}

std::string UpdateQuestion() { return X("&IDS_UPDATE&"); }

int ExitCodeAfterDialog(bool ran, UpdateOutcome last) {
  if (!ran) return 2;
  switch (last) {
    case UpdateOutcome::Succeeded:
      return 0;
    case UpdateOutcome::Interrupted:
      return 1;
    case UpdateOutcome::Failed:
      break;
  }
  return 3;
}

std::string FormatPrintfTexts(const std::string& templ, const std::vector<std::string>& texts) {
  std::string out;
  size_t next = 0;
  size_t i = 0;
  while (i < templ.size()) {
    if (templ[i] != '%') {
      out += templ[i++];
      continue;
    }
    const size_t start = i++;
    if (i < templ.size() && templ[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    std::string spec = "%";
    while (i < templ.size() && (templ[i] == '-' || templ[i] == ' ' || templ[i] == '+' ||
                                templ[i] == '#' || templ[i] == '0')) {
      spec += templ[i++];
    }
    int width = 0;
    int precision = -1;
    bool ok = ReadField(templ, &i, &width);
    if (ok && i < templ.size() && templ[i] == '.') {
      ++i;
      ok = ReadField(templ, &i, &precision);
    }
    if (!ok || i >= templ.size() || templ[i] != 's') {
      // Not a text conversion: shown as written, nothing consumed.
      out.append(templ, start, i - start);
      continue;
    }
    ++i;
    const std::string& text = next < texts.size() ? texts[next] : std::string();
    ++next;
    std::string field = text;
    if (precision >= 0 && field.size() > static_cast<size_t>(precision)) {
      field.resize(static_cast<size_t>(precision));
    }
    if (field.size() < static_cast<size_t>(width)) {
      const std::string pad(static_cast<size_t>(width) - field.size(), ' ');
      field = spec.find('-') != std::string::npos ? field + pad : pad + field;
    }
    out += field;
  }
  return out;
}

}  // namespace upkeep
