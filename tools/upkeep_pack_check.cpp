// upkeep-pack verify and apply: both go through the runtime's own parser,
// string table and engine, so they see a package as the updater does.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "authoring/package_verifier.h"
#include "authoring/script_messages.h"
#include "authoring/string_keys.h"
#include "authoring/tree_diff.h"
#include "authoring/tree_program.h"
#include "engine/commands.h"
#include "engine/script_runner.h"
#include "install/bank_files.h"
#include "package/package.h"
#include "platform/code_page.h"
#include "platform/file_system.h"
#include "platform/fs_path.h"
#include "platform/text.h"
#include "pack_commands.h"
#include "pack_options.h"
#include "script/command_schema.h"
#include "script/script_call.h"
#include "script/script_parser.h"
#include "script/script_reader.h"
#include "script/string_table.h"

namespace upkeep {
namespace pack {

namespace fs = std::filesystem;

namespace {

const char kVerifyUsage[] =
    "usage: upkeep-pack verify PKG\n"
    "\n"
    "Parses patch.scr and Strings.scr with the updater's parser, checks that every\n"
    "entry a command names is in the package and inflates, that every CreateFile\n"
    "checksum matches its payload and every delta is well formed, and lists the\n"
    "keys the updater uses that the string table lacks. Exit code 1 on any fault;\n"
    "other missing keys are warnings, but a package without REG_KEY,\n"
    "REG_DESTINATION, SRC_EXE or the titles it shows is a fault, and so is one\n"
    "whose REG_KEY, REG_DESTINATION or PROGRAM_NAME is init-strings' example.\n";

const char kApplyUsage[] =
    "usage: upkeep-pack apply PKG --dir DIR [--version V] [--dry-run] [--skip-space-check]\n"
    "                         [--loose-files] [--check-version]\n"
    "\n"
    "Runs the package's patch.scr with the updater's engine against DIR, without\n"
    "registry, program or version checks. As the updater does, stale bank files\n"
    "(bank* below Data\\Levels, LevelsNet, Films and LevelsCustom) are deleted\n"
    "at the run's first change, and listed. --version V is the installed version\n"
    "that selects the Version sections; a package that has them needs it (All\n"
    "sections always run).\n"
    "--dry-run works on a temporary copy of DIR and reports what would change.\n"
    "The run's patch.log is printed at the end. Paths are shown as the updater\n"
    "shows them: C:\\... when DIR is inside a Wine prefix, else relative to DIR.\n"
    "--loose-files (for developing a script) reads a name the package lacks from a\n"
    "file of that name, relative to the current folder, as the updater never does.\n"
    "--check-version first makes the updater's checks of DIR: one of the SRC_EXE\n"
    "programs is there, its language is LANG_VERSION and its version is listed in\n"
    "GAME_VERSION (exit code 1 otherwise); its version is then the --version.\n";

std::string MakeScratchDir() {
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path p = base / ("upkeep-pack-" + std::to_string(random()) + std::to_string(attempt));
    if (fs::create_directory(p, ec)) return FsText(p);
  }
  return std::string();
}

bool CopyFile(const std::string& from, const std::string& to) {
  FileSystem* files = GetFileSystem();
  std::unique_ptr<File> in = files->Open(from, OpenMode::kRead);
  std::unique_ptr<File> out = in ? files->Open(to, OpenMode::kWrite) : nullptr;
  if (!out) return false;
  std::vector<uint8_t> buffer(size_t{1} << 20);
  for (;;) {
    const int64_t got = in->Read(buffer.data(), buffer.size());
    if (got < 0) return false;
    if (got == 0) return true;
    if (out->Write(buffer.data(), static_cast<size_t>(got)) != got) return false;
  }
}

// Folders and files, walked without recursion and through the wide API on
// Windows, so deep trees copy whole. Links are refused, as make refuses them.
bool CopyTree(const std::string& from, const std::string& to) {
  FileSystem* files = GetFileSystem();
  std::vector<std::string> pending = {std::string()};
  std::vector<FolderEntry> entries;
  std::string error;
  while (!pending.empty()) {
    const std::string rel = pending.back();
    pending.pop_back();
    if (files->CreateDir(NativePath(to, rel)) == CreateDirResult::kFailed ||
        !ListFolder(NativePath(from, rel), &entries, &error))
      return false;
    for (const FolderEntry& e : entries) {
      const std::string name = rel.empty() ? e.name : rel + "\\" + e.name;
      if (e.kind == FolderEntry::Kind::kFolder) {
        pending.push_back(name);
      } else if (e.kind != FolderEntry::Kind::kFile ||
                 !CopyFile(NativePath(from, name), NativePath(to, name))) {
        return false;
      }
    }
  }
  return true;
}

// A whole tree removed, deepest first.
void RemoveTree(const std::string& root) {
  FileSystem* files = GetFileSystem();
  std::vector<std::string> pending = {std::string()}, folders;
  std::vector<FolderEntry> entries;
  std::string error;
  while (!pending.empty()) {
    const std::string rel = pending.back();
    pending.pop_back();
    folders.push_back(rel);
    if (!ListFolder(NativePath(root, rel), &entries, &error)) continue;
    for (const FolderEntry& e : entries) {
      const std::string name = rel.empty() ? e.name : rel + "\\" + e.name;
      if (e.kind == FolderEntry::Kind::kFolder) {
        pending.push_back(name);
      } else {
        files->SetAttributes(NativePath(root, name), kAttrNormal);
        files->Delete(NativePath(root, name));
      }
    }
  }
  for (auto it = folders.rbegin(); it != folders.rend(); ++it)
    files->RemoveDir(NativePath(root, *it));
}

// The engine names the game's files in the string table's code page, as the
// updater does, while the folder given to apply (UTF-8, or the system's
// bytes) holds them as the disk spells them: names below it are converted on
// their way to the disk and back, so names outside ASCII are found. A name
// on disk the code page cannot spell is left out, as the updater leaves it.
class GameFolderNames : public FileSystemWrapper {
 public:
  GameFolderNames(FileSystem* target, std::string root, int code_page)
      : FileSystemWrapper(target), root_(std::move(root)), code_page_(code_page) {}

  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    return target()->Open(ToDisk(path), mode);
  }
  std::unique_ptr<MappedView> MapFile(const std::string& path) override {
    return target()->MapFile(ToDisk(path));
  }
  std::unique_ptr<MappedView> MapFileForWalk(const std::string& path) override {
    return target()->MapFileForWalk(ToDisk(path));
  }
  uint32_t GetAttributes(const std::string& path) override {
    return target()->GetAttributes(ToDisk(path));
  }
  bool SetAttributes(const std::string& path, uint32_t a) override {
    return target()->SetAttributes(ToDisk(path), a);
  }
  bool Move(const std::string& from, const std::string& to) override {
    return target()->Move(ToDisk(from), ToDisk(to));
  }
  bool Replace(const std::string& from, const std::string& to) override {
    return target()->Replace(ToDisk(from), ToDisk(to));
  }
  bool FlushDir(const std::string& path) override { return target()->FlushDir(ToDisk(path)); }
  bool Delete(const std::string& path) override { return target()->Delete(ToDisk(path)); }
  CreateDirResult CreateDir(const std::string& path) override {
    return target()->CreateDir(ToDisk(path));
  }
  bool RemoveDir(const std::string& path) override { return target()->RemoveDir(ToDisk(path)); }
  bool Find(const std::string& pattern, std::vector<FindEntry>* out) override {
    std::vector<FindEntry> found;
    if (!target()->Find(ToDisk(pattern), &found)) return false;
    for (auto& e : found) {
      if (Utf8ToAnsiExact(e.name, &e.name, code_page_)) out->push_back(std::move(e));
    }
    return true;
  }
  std::string GetCurrentDir() override { return FromDisk(target()->GetCurrentDir()); }
  bool SetCurrentDir(const std::string& path) override {
    return target()->SetCurrentDir(ToDisk(path));
  }
  bool GetFreeBytes(const std::string& path, uint64_t* bytes) override {
    return target()->GetFreeBytes(ToDisk(path), bytes);
  }
  std::string GetFullPath(const std::string& path) override {
    return FromDisk(target()->GetFullPath(ToDisk(path)));
  }
  std::string GetLongPath(const std::string& path) override {
    return FromDisk(target()->GetLongPath(ToDisk(path)));
  }

 private:
  // The part of `path` after the folder and its separator; false when the
  // path is not below the folder.
  bool Below(const std::string& path, std::string* rest) const {
    if (path.size() <= root_.size() || path.compare(0, root_.size(), root_) != 0 ||
        (path[root_.size()] != '\\' && path[root_.size()] != '/'))
      return false;
    *rest = path.substr(root_.size());
    return true;
  }
  std::string ToDisk(const std::string& path) const {
    std::string rest, disk;
    if (!Below(path, &rest)) return path;
    // A name that is no text in the code page names no file.
    if (!AnsiToUtf8Exact(rest, &disk, code_page_)) return root_ + "\\?";
    return root_ + disk;
  }
  std::string FromDisk(const std::string& path) const {
    std::string rest, ansi;
    if (!Below(path, &rest)) return path;
    return Utf8ToAnsiExact(rest, &ansi, code_page_) ? root_ + ansi : std::string();
  }

  std::string root_;
  int code_page_;
};

// How apply names the game's files: as the updater would (C:\\Games\\...) when
// the folder lies on a drive of a Wine prefix, else relative to the folder;
// with backslashes either way, and never under the scratch copy's name.
class GamePaths {
 public:
  GamePaths(std::string work_dir, std::string shown_root)
      : work_dir_(std::move(work_dir)), shown_root_(std::move(shown_root)) {}

  // An engine text (a log line, a progress label) with every path below the
  // work folder shown so, and the ANSI text made UTF-8 as the console
  // updater shows it.
  std::string Show(const std::string& text) const {
    std::string out;
    size_t at = 0;
    for (;;) {
      size_t hit = text.find(work_dir_, at);
      if (hit == std::string::npos) break;
      out += AnsiToUtf8(text.substr(at, hit - at));
      size_t after = hit + work_dir_.size();
      const bool separated = after < text.size() && (text[after] == '\\' || text[after] == '/');
      // "/x/game2" is another folder, not one below "/x/game".
      if (!separated && after < text.size() &&
          (std::isalnum(static_cast<unsigned char>(text[after])) || text[after] == '_' ||
           text[after] == '.' || text[after] == '-')) {
        out += text.substr(hit, after - hit);
        at = after;
        continue;
      }
      if (separated) {
        ++after;
        out += shown_root_.empty() ? "" : shown_root_ + "\\";
      } else {
        out += shown_root_.empty() ? "." : shown_root_;
      }
      at = after;
    }
    return out + AnsiToUtf8(text.substr(at));
  }

  const std::string& root() const { return shown_root_; }

 private:
  std::string work_dir_;
  std::string shown_root_;
};

// The Windows form of a native folder that lies on a drive of a Wine prefix
// (dosdevices/x: of an enclosing folder), or empty. The longest drive wins, so
// C: (drive_c) beats Z: (the whole file system).
std::string WindowsFormOf(const std::string& native) {
  // A Windows path (on the Windows build) is the updater's own already.
  if (FsPath(native).has_root_name()) return native;
  std::error_code ec;
  const fs::path dir = fs::weakly_canonical(native, ec);
  if (ec) return std::string();
  std::string best, best_target;
  for (fs::path up = dir; !up.empty(); up = up.parent_path()) {
    const fs::path devices = up / "dosdevices";
    if (fs::is_directory(devices, ec)) {
      for (fs::directory_iterator it(devices, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() != 2 || name[1] != ':' ||
            !std::isalpha(static_cast<unsigned char>(name[0])))
          continue;
        std::error_code e2;
        const std::string target = fs::canonical(it->path(), e2).string();
        const std::string d = dir.string();
        if (e2 || target.size() <= best_target.size()) continue;
        const bool below =
            d == target || (d.size() > target.size() && d.compare(0, target.size(), target) == 0 &&
                            (target.back() == '/' || d[target.size()] == '/'));
        if (!below) continue;
        std::string rest = d.substr(target.size());
        for (char& c : rest) c = c == '/' ? '\\' : c;
        if (!rest.empty() && rest[0] == '\\') rest.erase(0, 1);
        best =
            std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])))) +
            ":\\" + rest;
        if (best.size() > 3 && best.back() == '\\') best.pop_back();
        best_target = target;
      }
    }
    if (up == up.root_path()) break;
  }
  return best;
}

// Names the engine works on that the updater never shows for a file: the
// new content beside its file, the old patch temporary file.
bool IsTemporaryName(const std::string& file) {
  const std::string fresh = NewContentPath("");
  const std::string temp = "mya$$.tmp";
  auto ends = [&file](const std::string& tail) {
    return file.size() >= tail.size() &&
           file.compare(file.size() - tail.size(), tail.size(), tail) == 0;
  };
  return ends(fresh) || ends("\\" + temp) || ends("/" + temp) || file == temp;
}

// Each operation once per file, as the console updater shows them, with the
// file's name; nothing for the textless reports of delta application.
struct ProgressLines {
  const GamePaths* paths = nullptr;
  std::string file;             // the file the lines printed last are about
  std::set<std::string> shown;  // their operation texts
};

void OnProgress(void* self, int32_t, int32_t, const char* file, const char* text) {
  ProgressLines* p = static_cast<ProgressLines*>(self);
  std::string operation = text ? text : "";
  operation = operation.substr(0, operation.find_first_of("\r\n"));
  const std::string name = file ? file : "";
  if (operation.empty() || IsTemporaryName(name)) return;
  if (name != p->file) {
    p->file = name;
    p->shown.clear();
  }
  if (!p->shown.insert(operation).second) return;
  std::string line = p->paths->Show(operation);
  if (!name.empty()) line += " " + p->paths->Show(name);
  std::fprintf(stderr, "%s\n", line.c_str());
}

const char* Meaning(int32_t code) {
  switch (code) {
    case 0:
      return "the whole script ran";
    case 1:
      return "not enough free disk space";
    case 2:
      return "the script is unreadable or a file or directory operation failed";
    case 3:
      return "a checksum was wrong after the directory had been changed";
    case 5:
      return "the package's data is damaged; nothing was changed";
    case 6:
      return "a checksum was wrong before anything changed";
    case 7:
      return "the run was stopped on request";
  }
  return "unknown result";
}

// The first versions of the package's Version sections; the parser's
// messages go to `messages`.
std::vector<std::string> SectionVersions(ScriptErrorSink* messages) {
  std::vector<std::string> versions;
  std::unique_ptr<ScriptReader> reader = LoadScript("patch.scr");
  if (!reader) return versions;
  reader->errorSink = messages;
  int failed = 0;
  std::unique_ptr<ScriptProgram> program = ParseProgram(*reader, failed);
  if (failed || !program) return versions;
  for (const ScriptCall* call = program->first; call; call = call->next) {
    const char* from = StringArgument(call, 0);
    if (CallNameIs(call, "Version") && from) versions.push_back(from);
  }
  return versions;
}

// The files below `dir` by folded name, for telling which ones a step removed.
bool FileNames(const std::string& dir, std::map<std::string, std::string>* names,
               std::string* error) {
  Tree tree;
  if (!ReadTree(dir, &tree, error)) return false;
  for (const auto& f : tree.files) {
    std::string folded = f.name;
    for (char& c : folded) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    (*names)[folded] = f.name;
  }
  return true;
}

}  // namespace

int Verify(const Args& args) {
  if (IsHelp(args)) return Usage(kVerifyUsage, "");
  std::vector<std::string> plain;
  std::string problem;
  if (!ParseOptions(args, {}, &plain, &problem)) return Usage(kVerifyUsage, problem);
  if (plain.size() != 1) return Usage(kVerifyUsage, "one package file expected");
  std::string mounted;
  const PackageArchive* archive = MountPackage(plain[0], &mounted);
  if (!archive) return kExitFailed;
  VerifyReport report = VerifyPackage(*archive);
  for (const auto& m : report.script_messages) std::printf("%s\n", m.c_str());
  for (const auto& f : report.faults) std::printf("FAULT: %s\n", f.c_str());
  for (const auto& w : report.warnings) std::printf("warning: %s\n", w.c_str());
  // Without these the updater cannot find the game or name its windows, and
  // with init-strings' examples it looks for a game nobody has: faults, not
  // warnings.
  const size_t missing = report.missing_keys.size();
  std::unique_ptr<ScriptReader> reader = LoadScript("Strings.scr");
  int failed = 0;
  std::unique_ptr<ScriptProgram> strings = reader ? ParseProgram(*reader, failed) : nullptr;
  if (strings != nullptr && !failed) {
    const std::map<std::string, std::string> texts = StringTexts(*strings);
    const bool terms = FindPackageEntry(*archive, "umowa.txt") != nullptr;
    for (const auto& fault : StringTableFaults(texts, terms)) {
      report.faults.push_back("Strings.scr: " + fault);
      std::printf("FAULT: %s\n", report.faults.back().c_str());
    }
    // The keys told as faults just now are no warnings as well.
    for (const auto& key : RequiredStringKeys(texts, terms)) {
      report.missing_keys.erase(
          std::remove(report.missing_keys.begin(), report.missing_keys.end(), key),
          report.missing_keys.end());
    }
  }
  size_t count = 0;
  const StringKey* keys = RuntimeStringKeys(&count);
  for (const auto& k : report.missing_keys) {
    const char* where = "";
    for (size_t i = 0; i < count; ++i) {
      if (k == keys[i].key) where = keys[i].comment;
    }
    std::printf("warning: Strings.scr lacks %s (%s)\n", k.c_str(), where);
  }
  std::printf("patch.scr: %d section(s)\n", report.sections);
  std::printf("Strings.scr: %d key(s), %zu of the updater's %zu missing\n", report.string_keys,
              missing, count);
  std::printf("%s: %zu fault(s), %zu warning(s)\n", plain[0].c_str(), report.faults.size(),
              report.warnings.size() + report.missing_keys.size() +
                  static_cast<size_t>(report.script_warnings));
  return report.faults.empty() ? kExitOk : kExitFailed;
}

int Apply(const Args& args) {
  if (IsHelp(args)) return Usage(kApplyUsage, "");
  std::string package, dir, version;
  bool dry_run = false;
  bool skip_space = false;
  bool check_version = false;
  bool loose_files = false;
  std::vector<std::string> plain;
  std::string problem;
  if (!ParseOptions(
          args,
          {Value({"--dir"}, &dir), Value({"--version"}, &version), Flag({"--dry-run"}, &dry_run),
           Flag({"--skip-space-check"}, &skip_space), Flag({"--loose-files"}, &loose_files),
           Flag({"--check-version"}, &check_version)},
          &plain, &problem))
    return Usage(kApplyUsage, problem);
  if (plain.size() > 1) return Usage(kApplyUsage, "one package file expected");
  if (!plain.empty()) package = plain[0];
  if (loose_files) AllowLooseFileReads(true);
  if (package.empty() || dir.empty()) return Usage(kApplyUsage, "a package and --dir are needed");
  if (version.size() > kMaxVersionText) {
    return Usage(kApplyUsage,
                 "a version text has at most " + std::to_string(kMaxVersionText) + " characters");
  }
  if (!FsIsFolder(dir)) {
    std::fprintf(stderr, "upkeep-pack: not a directory: %s\n", dir.c_str());
    return kExitFailed;
  }
  std::string mounted;
  if (!MountPackage(package, &mounted)) return kExitFailed;
  // The updater says nothing about a script that does not parse; its author
  // learns where it stopped.
  ScriptMessages messages;
  LoadStringTable("Strings.scr", &messages);
  std::vector<std::string> versions = SectionVersions(&messages);
  for (const auto& m : messages.lines) std::fprintf(stderr, "%s\n", m.c_str());
  if (check_version) {
    TreeProgram program = ReadTreeProgram(dir, ExpandText("&SRC_EXE&"));
    std::printf("%s\n", program.Describe().c_str());
    std::string why;
    if (program.name.empty()) {
      std::printf("refused: the updater finds no SRC_EXE program here\n");
      return kExitFailed;
    }
    if (!TreePassesChecks(program, ExpandText("&GAME_VERSION&"), ExpandText("&LANG_VERSION&"),
                          &why)) {
      std::printf("refused: %s\n", why.c_str());
      return kExitFailed;
    }
    if (version.empty()) version = program.version;
  }
  if (version.empty() && !versions.empty()) {
    std::string list;
    for (const auto& v : versions) list += (list.empty() ? "" : ", ") + v;
    return Usage(kApplyUsage, "the package has Version sections (from " + list +
                                  "): --version names the installed one");
  }

  // The package is checked whole before the folder is touched, as the
  // updater checks it (its bank clean-up included).
  RunRequest probe;
  probe.packagePath = mounted;
  probe.currentVersion = version;
  std::string damaged;
  const int32_t checked = CheckRunPackage(probe, &damaged);
  if (checked == kPackageDamaged) {
    std::fprintf(stderr, "upkeep-pack: %s\nresult %d: %s\n", DamagedDownloadText(damaged).c_str(),
                 kPackageDamaged, Meaning(kPackageDamaged));
    return kExitFailed;
  }

  std::string real_dir = FsAbsolute(dir);
  while (real_dir.size() > 1 && (real_dir.back() == '/' || real_dir.back() == '\\') &&
         real_dir[real_dir.size() - 2] != ':')
    real_dir.pop_back();
  std::string work_dir = real_dir;
  // The log, and the copy of a dry run, live in a scratch directory of their own.
  const std::string scratch = MakeScratchDir();
  if (scratch.empty()) {
    std::fprintf(stderr, "upkeep-pack: cannot create a temporary directory\n");
    return kExitFailed;
  }
  if (dry_run) {
    work_dir = NativePath(scratch, "game");
    if (!CopyTree(real_dir, work_dir)) {
      std::fprintf(stderr, "upkeep-pack: cannot copy %s for a dry run\n", real_dir.c_str());
      RemoveTree(scratch);
      return kExitFailed;
    }
  }
  const GamePaths paths(work_dir, WindowsFormOf(real_dir));
  const std::string folder = paths.root().empty() ? "the game folder" : paths.root();

  std::string error;
  // From here the engine reaches the folder as the updater names its files.
  GameFolderNames names(GetFileSystem(), work_dir, CurrentCodePage());
  SetFileSystem(&names);
  std::vector<std::string> banks;

  const std::string log_path = NativePath(scratch, "patch.log");
  PackageFile* log = OpenPackageFile(log_path.c_str(), "wt");
  ProgressLines progress;
  progress.paths = &paths;
  RunRequest request;
  request.packagePath = mounted;
  request.sourceRoot = work_dir;
  request.targetRoot = work_dir;
  request.progress = ProgressCallback(&OnProgress, &progress);
  request.log = log;
  request.currentVersion = version;
  request.skipSpaceCheck = skip_space;
  // Shortcuts belong to the user's menus, not to the tree being updated.
  request.skipShortcuts = true;
  request.linkBaseDir = work_dir + "\\";
  request.packageChecked = checked == kContinue;
  // As the updater does, the stale bank files go at the run's first change;
  // the ones it took are told by what is gone after the clean-up.
  request.beforeFirstChange = [&work_dir, &banks]() {
    std::map<std::string, std::string> before_banks, after_banks;
    std::string listing_error;
    const bool listed = FileNames(work_dir, &before_banks, &listing_error);
    const size_t deleted = DeleteStaleBankFiles(work_dir);
    if (listed && FileNames(work_dir, &after_banks, &listing_error)) {
      for (const auto& b : before_banks) {
        if (!after_banks.count(b.first)) banks.push_back(b.second);
      }
    } else {
      std::fprintf(stderr, "upkeep-pack: cannot tell which bank files were deleted: %s\n",
                   listing_error.c_str());
    }
    return deleted > 0;
  };
  int32_t code = RunUpdateScript(request);
  SetFileSystem(nullptr);
  if (log) ClosePackageFile(log);
  std::vector<uint8_t> log_bytes;
  if (ReadWholeFile(log_path, &log_bytes)) {
    std::string text;
    for (size_t i = 0; i < log_bytes.size(); ++i) {
      if (log_bytes[i] == '\r' && i + 1 < log_bytes.size() && log_bytes[i + 1] == '\n') continue;
      text += static_cast<char>(log_bytes[i]);
    }
    text = paths.Show(text);
    std::printf("--- patch.log\n%s---\n", text.c_str());
  }
  std::printf("result %d: %s\n", code, Meaning(code));
  if (!dry_run && !banks.empty()) {
    std::printf("deleted at the first change, as the updater does:\n");
    for (const auto& b : banks) std::printf("  %s\n", b.c_str());
  }

  if (dry_run) {
    // What the script did, against the folder as the clean-up left it; the
    // bank files it takes are listed on their own.
    Tree before, after;
    TreeChanges changes;
    error.clear();
    if (ReadTree(real_dir, &before, &error) && ReadTree(work_dir, &after, &error)) {
      std::set<std::string> taken;
      for (const auto& b : banks) taken.insert(b);
      before.files.erase(
          std::remove_if(before.files.begin(), before.files.end(),
                         [&taken](const TreeFile& f) { return taken.count(f.name); }),
          before.files.end());
    }
    if (!error.empty() || !DiffTrees(before, after, &changes, &error)) {
      std::fprintf(stderr, "upkeep-pack: cannot compare the result: %s\n", error.c_str());
    } else {
      std::printf("would change %s (it was not changed):\n", folder.c_str());
      for (const auto& b : banks)
        std::printf("  delete bank  %s (at the first change)\n", b.c_str());
      for (const auto& d : changes.created_dirs) std::printf("  create dir   %s\n", d.c_str());
      for (const auto& r : changes.renamed_files)
        std::printf("  rename file  %s -> %s\n", r.old_name.c_str(), r.name.c_str());
      for (const auto& f : changes.changed_files) {
        const std::string moved =
            CompareNames(f.name, f.old_name) != 0 ? " from " + f.old_name : std::string();
        std::printf("  change file  %s%s (%llu -> %llu bytes)\n", f.name.c_str(), moved.c_str(),
                    static_cast<unsigned long long>(f.old_size),
                    static_cast<unsigned long long>(f.new_size));
      }
      for (const auto& f : changes.created_files)
        std::printf("  create file  %s\n", f.name.c_str());
      for (const auto& f : changes.replaced_files) std::printf("  remove file  %s\n", f.c_str());
      for (const auto& f : changes.deleted_files)
        std::printf("  remove file  %s\n", f.name.c_str());
      for (const auto& d : changes.replaced_dirs) std::printf("  remove dir   %s\n", d.c_str());
      for (const auto& d : changes.deleted_dirs) std::printf("  remove dir   %s\n", d.c_str());
      std::printf("  %llu file(s) unchanged\n",
                  static_cast<unsigned long long>(changes.unchanged_files));
    }
  }
  RemoveTree(scratch);
  return code == 0 ? kExitOk : kExitFailed;
}

}  // namespace pack
}  // namespace upkeep
