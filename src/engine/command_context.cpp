#include "engine/command_context.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "engine/checksum.h"
#include "engine/commands.h"
#include "engine/run_journal.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "script/command_schema.h"
#include "script/string_table.h"

namespace upkeep {

namespace {

std::string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::vector<char> big(static_cast<size_t>(n) + 1);
  std::vsnprintf(big.data(), big.size(), format, args);
  return std::string(big.data(), static_cast<size_t>(n));
}

void WriteLog(CommandContext& context, const char* format, va_list args) {
  if (context.log == nullptr) return;
  std::string line = FormatV(format, args);
  PrintfPackageFile(context.log, "%s", line.c_str());
  // Each line reaches the system as it is written, so it outlives the
  // process; the disk gets the lines at the next commit.
  PushPackageFile(context.log);
  context.logUnsynced = true;
}

std::string FolderOf(std::string path) {
  while (path.size() > 1 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  const size_t cut = path.find_last_of("\\/");
  if (cut == std::string::npos) return ".";
  // A drive's root keeps its separator.
  return cut == 2 && path[1] == ':' ? path.substr(0, 3) : path.substr(0, cut);
}

}  // namespace

int NameDepth(const char* name) {
  int depth = 0;
  const std::string text = TextOrEmpty(name);
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find_first_of("\\/", at);
    if (end == std::string::npos) end = text.size();
    const std::string part = text.substr(at, end - at);
    at = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (--depth < 0) return -1;
      continue;
    }
    if (part.find_first_not_of(". ") == std::string::npos) return -1;
    ++depth;
  }
  return depth;
}

bool JoinPath(const std::string& root, const char* name, size_t limit, std::string* out) {
  *out = root;
  if (!root.empty() && root.back() != '\\') *out += '\\';
  *out += TextOrEmpty(name);
  return out->size() <= limit && NameDepth(name) >= 0;
}

std::string ExpandedText(const char* text) { return TextOrEmpty(ExpandText(text)); }

std::string ExpandedTextOr(const char* key, const char* fallback) {
  std::string text = ExpandedText(key);
  return text == key ? ExpandedText(fallback) : text;
}

void Report(const CommandContext& context, int32_t step, const char* fileName, const char* key) {
  if (context.progress == nullptr) return;
  std::string text = ExpandedText(key);
  context.progress(context.overallPercent, step, TextOrEmpty(fileName), text.c_str());
}

void LogLine(CommandContext& context, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLog(context, format, args);
  va_end(args);
}

int32_t AbortRun(CommandContext& context, int32_t code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLog(context, format, args);
  va_end(args);
  if (context.journalFailed && code == kOperationFailed &&
      RanOutOfSpace(context, RunJournal::PathIn(context.targetRoot), kJournalRoom)) {
    code = kNotEnoughSpace;
  }
  // What the calls before this one did is kept: their records go down now.
  CommitDone(context);
  return code;
}

bool BeginChange(CommandContext& context) {
  if (context.journal != nullptr) {
    bool commit = !context.callDeferred;
    for (const std::string& p : context.callPaths) {
      commit = commit || context.pendingPaths.count(p) != 0;
    }
    if ((commit && !CommitDone(context)) || !context.journal->NoteChange()) {
      context.journalFailed = true;
      return false;
    }
  }
  if (!context.changeBegun) {
    context.changeBegun = true;
    if (context.firstChange && context.firstChange()) context.changed = true;
  }
  return true;
}

bool NoteNewContent(CommandContext& context, const std::string& path) {
  return context.journal == nullptr || context.journal->NoteTemporary(context.ordinal, path);
}

void NoteFolderChange(CommandContext& context, const std::string& path) {
  context.changedFolders.insert(FolderOf(path));
}

bool CommitDone(CommandContext& context) {
  // The log reached the system line by line; it goes to the disk with what
  // a commit makes durable, never on its own.
  if (context.changedFolders.empty() && context.pendingDone.empty()) return true;
  FileSystem* fs = context.fs;
  for (const std::string& folder : context.changedFolders) {
    // One removed since holds nothing left to keep; its parent was noted.
    if (!fs->FlushDir(folder) && IsDirectory(fs, folder)) return false;
  }
  context.changedFolders.clear();
  if (context.logUnsynced && context.log != nullptr) FlushPackageFile(context.log);
  context.logUnsynced = false;
  context.pendingPaths.clear();
  if (context.pendingDone.empty()) return true;
  const bool written = context.journal == nullptr || context.journal->NoteDone(context.pendingDone);
  context.pendingDone.clear();
  return written;
}

bool Resuming(const CommandContext& context) {
  return context.journal != nullptr && context.journal->resumed();
}

bool AlreadyPatched(const CommandContext& context, const std::string& path) {
  if (!Resuming(context) || context.ordinal < 0) return false;
  const int checksum = GetCommandInfo(CommandId::kPatchFile).checksum;
  for (size_t i = static_cast<size_t>(context.ordinal) + 1; i < context.plan.size(); ++i) {
    const ScriptCall* call = context.plan[i];
    if (!CallNameIs(call, "PatchFile")) continue;
    const char* name = StringArgument(call, 0);
    std::string target;
    if (name == nullptr || !JoinPath(context.targetRoot, name, kMaxJoinedPath, &target) ||
        CompareNoCase(target.c_str(), path.c_str()) != 0) {
      continue;
    }
    const char* after = StringArgument(call, checksum);
    return after != nullptr && HasContent(context, path, after);
  }
  return false;
}

bool HasContent(const CommandContext& context, const std::string& path, const char* checksum) {
  // A missing file is no file this package wrote, whatever it checks as.
  return context.fs->GetAttributes(path) != kInvalidAttributes &&
         FileMatchesChecksum(context.fs, context.readWindow, "", path.c_str(), checksum, nullptr, 0,
                             nullptr);
}

const PackageEntry* RunEntry(const CommandContext& context, const char* name,
                             std::unique_ptr<PackageEntry>* loose) {
  if (name == nullptr) return nullptr;
  if (context.package != nullptr) {
    if (PackageEntry* entry = FindPackageEntry(*context.package, name)) return entry;
  }
  *loose = OpenLooseEntry(name);
  return loose->get();
}

}  // namespace upkeep
