// upkeep-pack verify and apply: both go through the runtime's own parser,
// string table and engine, so they see a package as the updater does.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "authoring/package_verifier.h"
#include "authoring/string_keys.h"
#include "authoring/tree_diff.h"
#include "authoring/tree_program.h"
#include "engine/script_runner.h"
#include "install/bank_files.h"
#include "package/package.h"
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
    "REG_DESTINATION, SRC_EXE or the titles it shows is a fault.\n";

const char kApplyUsage[] =
    "usage: upkeep-pack apply PKG --dir DIR [--version V] [--dry-run] [--skip-space-check]\n"
    "                         [--loose-files] [--check-version]\n"
    "\n"
    "Runs the package's patch.scr with the updater's engine against DIR, without\n"
    "registry, program or version checks. As the updater does, stale bank files\n"
    "(bank* below Data\\Levels, LevelsNet, Films and LevelsCustom) are deleted\n"
    "first. --version V is the installed version that selects the Version sections;\n"
    "a package that has them needs it (All sections always run).\n"
    "--dry-run works on a temporary copy of DIR and reports what would change.\n"
    "The run's patch.log is printed at the end.\n"
    "--loose-files (for developing a script) reads a name the package lacks from a\n"
    "file of that name, relative to the current folder, as the updater never does.\n"
    "--check-version first makes the updater's checks of DIR: one of the SRC_EXE\n"
    "programs is there, its language is LANG_VERSION and its version is listed in\n"
    "GAME_VERSION (exit code 1 otherwise); its version is then the --version.\n";

fs::path MakeScratchDir() {
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path p = base / ("upkeep-pack-" + std::to_string(random()) + std::to_string(attempt));
    if (fs::create_directory(p, ec)) return p;
  }
  return fs::path();
}

bool CopyTree(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  return !ec;
}

// Prints each new operation and file once; `last` is the line printed before.
void OnProgress(void* last, int32_t overall, int32_t step, const char* file, const char* text) {
  std::string line = std::string(text ? text : "") + " " + (file ? file : "");
  std::string* previous = static_cast<std::string*>(last);
  if (line == *previous) return;
  *previous = line;
  std::fprintf(stderr, "[%3d%%] %s\n", overall, line.c_str());
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
    case 6:
      return "a checksum was wrong before anything changed";
  }
  return "unknown result";
}

// The first versions of the package's Version sections.
std::vector<std::string> SectionVersions() {
  std::vector<std::string> versions;
  std::unique_ptr<ScriptReader> reader = LoadScript("patch.scr");
  if (!reader) return versions;
  int failed = 0;
  std::unique_ptr<ScriptProgram> program = ParseProgram(*reader, failed);
  if (failed || !program) return versions;
  for (const ScriptCall* call = program->first; call; call = call->next) {
    const char* from = StringArgument(call, 0);
    if (CallNameIs(call, "Version") && from) versions.push_back(from);
  }
  return versions;
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
  for (const auto& f : report.faults) std::printf("FAULT: %s\n", f.c_str());
  for (const auto& w : report.warnings) std::printf("warning: %s\n", w.c_str());
  // Without these the updater cannot find the game or name its windows, so
  // their absence is a fault, not a warning.
  LoadStringTable("Strings.scr");
  std::vector<std::string> needed = {"REG_KEY", "REG_DESTINATION", "SRC_EXE", "IDS_TITLE"};
  // The dialog's caption: one title with versions, another without.
  needed.push_back(*ExpandText("&GAME_VERSION&") ? "UPDATE_TITLE" : "UPDATE_TITLE_NO_VER");
  if (FindPackageEntry(*archive, "umowa.txt")) needed.push_back("IDS_TITLE_LICENCE");
  const size_t missing = report.missing_keys.size();
  for (auto it = report.missing_keys.begin(); it != report.missing_keys.end();) {
    if (std::find(needed.begin(), needed.end(), *it) == needed.end()) {
      ++it;
      continue;
    }
    report.faults.push_back("Strings.scr lacks " + *it + ", which the updater cannot do without");
    std::printf("FAULT: %s\n", report.faults.back().c_str());
    it = report.missing_keys.erase(it);
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
              report.warnings.size() + report.missing_keys.size());
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
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    std::fprintf(stderr, "upkeep-pack: not a directory: %s\n", dir.c_str());
    return kExitFailed;
  }
  std::string mounted;
  if (!MountPackage(package, &mounted)) return kExitFailed;
  LoadStringTable("Strings.scr");
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
  std::vector<std::string> versions = SectionVersions();
  if (version.empty() && !versions.empty()) {
    std::string list;
    for (const auto& v : versions) list += (list.empty() ? "" : ", ") + v;
    return Usage(kApplyUsage, "the package has Version sections (from " + list +
                                  "): --version names the installed one");
  }

  std::string real_dir = fs::absolute(dir, ec).lexically_normal().string();
  while (real_dir.size() > 1 && real_dir.back() == '/') real_dir.pop_back();
  std::string work_dir = real_dir;
  // The log, and the copy of a dry run, live in a scratch directory of their own.
  fs::path scratch = MakeScratchDir();
  if (scratch.empty()) {
    std::fprintf(stderr, "upkeep-pack: cannot create a temporary directory\n");
    return kExitFailed;
  }
  if (dry_run) {
    work_dir = (scratch / "game").string();
    if (!CopyTree(real_dir, work_dir)) {
      std::fprintf(stderr, "upkeep-pack: cannot copy %s for a dry run\n", real_dir.c_str());
      fs::remove_all(scratch, ec);
      return kExitFailed;
    }
  }
  DeleteStaleBankFiles(work_dir);
  fs::path log_path = scratch / "patch.log";
  PackageFile* log = OpenPackageFile(log_path.string().c_str(), "wt");
  std::string last_progress;
  RunRequest request;
  request.packagePath = mounted;
  request.sourceRoot = work_dir;
  request.targetRoot = work_dir;
  request.progress = ProgressCallback(&OnProgress, &last_progress);
  request.log = log;
  request.currentVersion = version;
  request.skipSpaceCheck = skip_space;
  // Shortcuts belong to the user's menus, not to the tree being updated.
  request.skipShortcuts = true;
  request.linkBaseDir = work_dir + "\\";
  int32_t code = RunUpdateScript(request);
  if (log) ClosePackageFile(log);
  std::vector<uint8_t> log_bytes;
  if (ReadWholeFile(log_path.string(), &log_bytes)) {
    std::printf("--- patch.log\n");
    std::fwrite(log_bytes.data(), 1, log_bytes.size(), stdout);
    std::printf("---\n");
  }
  std::printf("result %d: %s\n", code, Meaning(code));

  if (dry_run) {
    Tree before, after;
    TreeChanges changes;
    std::string error;
    if (ReadTree(real_dir, &before, &error) && ReadTree(work_dir, &after, &error) &&
        DiffTrees(before, after, &changes, &error)) {
      std::printf("would change %s:\n", real_dir.c_str());
      for (const auto& d : changes.created_dirs) std::printf("  create dir   %s\n", d.c_str());
      for (const auto& f : changes.changed_files)
        std::printf("  change file  %s (%llu -> %llu bytes)\n", f.name.c_str(),
                    static_cast<unsigned long long>(f.old_size),
                    static_cast<unsigned long long>(f.new_size));
      for (const auto& f : changes.created_files)
        std::printf("  create file  %s\n", f.name.c_str());
      for (const auto& f : changes.replaced_files) std::printf("  remove file  %s\n", f.c_str());
      for (const auto& f : changes.deleted_files)
        std::printf("  remove file  %s\n", f.name.c_str());
      for (const auto& d : changes.replaced_dirs) std::printf("  remove dir   %s\n", d.c_str());
      for (const auto& d : changes.deleted_dirs) std::printf("  remove dir   %s\n", d.c_str());
      std::printf("  %llu file(s) unchanged\n",
                  static_cast<unsigned long long>(changes.unchanged_files));
    } else {
      std::fprintf(stderr, "upkeep-pack: cannot compare the result: %s\n", error.c_str());
    }
  }
  fs::remove_all(scratch, ec);
  return code == 0 ? kExitOk : kExitFailed;
}

}  // namespace pack
}  // namespace upkeep
