// upkeep-pack: makes update packages and looks into them.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/stub_marker.h"
#include "app/version.h"
#include "authoring/package_builder.h"
#include "authoring/script_writer.h"
#include "authoring/string_keys.h"
#include "authoring/tree_program.h"
#include "package/delta_extended.h"
#include "package/delta_predicted.h"
#include "package/delta_redeflate.h"
#include "authoring/stub_image.h"
#include "authoring/tree_diff.h"
#include "package/package.h"
#include "pack_commands.h"
#include "pack_options.h"
#include "pack_progress.h"
#include "platform/console.h"

namespace upkeep {
namespace pack {

namespace fs = std::filesystem;

namespace {

const char kMainUsage[] =
    "usage: upkeep-pack COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  make          compare old and new game trees and write an update package\n"
    "  init-strings  write a Strings.scr to start from\n"
    "  list          list a package's entries\n"
    "  extract       write a package's entries into a directory\n"
    "  cat           write one entry to standard output\n"
    "  verify        check a package's scripts and payloads\n"
    "  apply         run a package's script against a directory\n"
    "\n"
    "'upkeep-pack COMMAND --help' describes each command; 'upkeep-pack --version'\n"
    "tells the tool's version. Options take their value as '--name VALUE' or\n"
    "'--name=VALUE'; '--' ends the options. An output file that exists is left\n"
    "alone unless -f (--force) is given. Exit codes: 0 done, 1 failed, 2 bad usage.\n";

const char kMakeUsage[] =
    "usage: upkeep-pack make --old [VERSION=]DIR [--old VERSION=DIR ...] --new DIR\n"
    "                        --strings Strings.scr [--terms FILE] [--stub FILE]\n"
    "                        [--to-version V] [--level 1-9] [--remove-folders]\n"
    "                        [--allow-any-version] [--delta-format F] [-j N]\n"
    "                        [BRANDING] [-q] [-f] -o OUT\n"
    "\n"
    "Compares the trees and writes a package whose patch.scr checks every file it\n"
    "patches or deletes, states the free space it needs, then creates directories,\n"
    "patches changed files, creates new ones and deletes removed ones. It ends, for\n"
    "any installed version, with a check that every file it writes has its new\n"
    "content, then writes the new tree's bank files again (the updater deletes\n"
    "bank* below Data\\Levels, LevelsNet, Films and LevelsCustom before each run).\n"
    "  --old DIR          the installed tree: one \"All\" section\n"
    "  --old VERSION=DIR  versioned trees, oldest first: one \"Version\" section each,\n"
    "                     bringing its tree to the next and the last to --new\n"
    "  --to-version V     the version the last section produces (needed with VERSION=)\n"
    "  --strings FILE     the string table to ship (see init-strings)\n"
    "  --terms FILE       terms text shown before the update (umowa.txt)\n"
    "  --stub FILE        updater program to put in front (upkeep.exe for Windows,\n"
    "                     upkeep for Linux and Wine): OUT becomes runnable\n"
    "  --level N          delta effort, 1 fastest to 9 smallest (default 9)\n"
    "  --delta-format F   basic, extended, redeflate, predicted, or smaller\n"
    "                     (default): the delta form written per patched file;\n"
    "                     smaller keeps the smallest; redeflate takes the form for\n"
    "                     files holding deflate streams (zip, gzip) wherever it\n"
    "                     applies; predicted, the form that foresees moved code's\n"
    "                     addresses\n"
    "  -j, --jobs N       files encoded at once, and pieces of large files (default:\n"
    "                     one per core); the package is the same whatever N is\n"
    "  --remove-folders   remove folders the new tree no longer has, with whatever\n"
    "                     players keep in them; by default only the old tree's files\n"
    "                     in them are deleted and the folders are kept (and listed)\n"
    "  --allow-any-version  make it even when GAME_VERSION, LANG_VERSION or a\n"
    "                     VERSION= cannot match what the updater sees in an old tree\n"
    "  -o OUT             the package; written only when complete\n"
    "  -f, --force        replace OUT when it exists\n"
    "  -q, --quiet        no progress line (it is drawn only on a terminal anyway)\n"
    "\n"
    "Progress goes to standard error; notes and warnings too, always. The summary\n"
    "(files patched, created, renamed and deleted, payload bytes, the package's\n"
    "size against the new tree's) goes to standard output, also with -q.\n"
    "\n"
    "Every tree's program (the first SRC_EXE name it has) is read as the updater\n"
    "reads it: the first 7 characters of its ProductVersion are the version, the\n"
    "rest the language; a ProductVersion shorter than 8 characters is no version.\n"
    "Moved files are renamed (and patched when changed too). Names must suit\n"
    "Windows and the string table's code page (its Locale, 1252 without one).\n"
    "\n"
    "A Windows stub shows the publisher's names and icon (BRANDING):\n"
    "  --company TEXT            CompanyName (left out unless given)\n"
    "  --product TEXT            ProductName (default: PROGRAM_NAME)\n"
    "  --description TEXT        FileDescription (default: PROGRAM_NAME update)\n"
    "  --file-version TEXT       FileVersion (default: PATCH_VERSION)\n"
    "  --product-version TEXT    ProductVersion (default: PATCH_VERSION)\n"
    "  --copyright TEXT          LegalCopyright (left out unless given)\n"
    "  --original-filename NAME  OriginalFilename (default: OUT's file name)\n"
    "  --icon FILE.ico           the program's icon\n"
    "A signed stub loses its signature (with a warning): sign the finished update.\n";

const char kInitUsage[] =
    "usage: upkeep-pack init-strings [--from DIR] [-f] [-o FILE]\n"
    "\n"
    "Writes a complete Strings.scr: the prototype and every key the updater uses,\n"
    "each with an English text and a comment on where it appears. Without -o it\n"
    "goes to standard output; an existing FILE is kept unless -f is given.\n"
    "--from DIR takes SRC_EXE, GAME_VERSION, LANG_VERSION, PROGRAM_NAME and\n"
    "PATCH_VERSION from the game tree DIR: its top-level .exe with a ProductVersion\n"
    "(the one the version and language are read from, as the updater reads them).\n";

const char kListUsage[] =
    "usage: upkeep-pack list PKG\n"
    "\n"
    "Lists the entries of a package (bare archive or runnable updater): name, size,\n"
    "archive packing, and for payload entries the size they inflate to.\n";

const char kExtractUsage[] =
    "usage: upkeep-pack extract PKG DIR [--inflate]\n"
    "\n"
    "Writes every entry of the package into DIR (created if needed). Payload\n"
    "entries (.FILE, .DELTA) are written as stored unless --inflate is given.\n";

const char kCatUsage[] =
    "usage: upkeep-pack cat PKG ENTRY [--inflate]\n"
    "\n"
    "Writes one entry's bytes to standard output; --inflate writes what a payload\n"
    "entry inflates to.\n";

// Reads the first bytes of an entry (packed entries are read whole only).
bool ReadEntryHead(PackageEntry* e, uint8_t* head, size_t n) {
  if (e->size < n) return false;
  if (e->packedSize != 0) {
    std::vector<uint8_t> bytes;
    if (!ReadPackageEntry(e, &bytes) || bytes.size() < n) return false;
    std::memcpy(head, bytes.data(), n);
    return true;
  }
  return SeekPackageFile(e, 0, 0) == 0 && ReadPackageFile(head, 1, n, e) == n;
}

// Entries that are one zlib payload (stream, Adler-32, length). Extended
// deltas in the split layout and deflated-view deltas are not.
bool IsPayloadEntry(PackageEntry* e) {
  const std::string& name = e->name;
  auto ends = [&](const char* s) {
    size_t n = std::strlen(s);
    return name.size() > n && name.compare(name.size() - n, n, s) == 0;
  };
  if (ends(".FILE") || ends(".DELTA")) return true;
  if (!ends(kExtendedDeltaSuffix)) return false;
  uint8_t head[4];
  return !ReadEntryHead(e, head, 4) || std::memcmp(head, kExtendedSplitMagic, 4) != 0;
}

const char* DeltaLayoutName(PackageEntry* e) {
  if (IsRedeflateDeltaName(e->name.c_str())) return "deflated-view delta";
  if (IsPredictedDeltaName(e->name.c_str())) return "predicted delta";
  uint8_t head[4];
  if (IsExtendedDeltaName(e->name.c_str()) && ReadEntryHead(e, head, 4) &&
      std::memcmp(head, kExtendedSplitMagic, 4) == 0)
    return "extended delta in three streams";
  return nullptr;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// An entry name as a relative path below the extraction directory, or empty
// when it would reach outside it.
std::string SafeRelative(const std::string& entry) {
  std::string out;
  size_t start = 0;
  while (start <= entry.size()) {
    size_t end = entry.find('\\', start);
    if (end == std::string::npos) end = entry.size();
    std::string part = entry.substr(start, end - start);
    if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos ||
        part.find(':') != std::string::npos)
      return std::string();
    if (!out.empty()) out += '/';
    out += part;
    start = end + 1;
  }
  return out;
}

// The text of key's String line replaced by `value` (a literal's content).
void SetStringText(std::string* script, const std::string& key, const std::string& value) {
  const std::string head = "String(\"" + key + "\", \"";
  size_t at = script->find(head);
  if (at == std::string::npos) return;
  at += head.size();
  size_t end = at;
  while (end < script->size() && (*script)[end] != '"') end += (*script)[end] == '\\' ? 2 : 1;
  std::string literal;
  if (!QuoteScriptString(value, &literal)) return;
  script->replace(at, end - at, literal.substr(1, literal.size() - 2));
}

// The game program of a tree: its top-level .exe files that have a
// ProductVersion, in name order.
bool FillFromTree(const std::string& dir, std::string* script) {
  std::error_code ec;
  std::vector<std::string> exes;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    std::string ext = name.size() > 4 ? name.substr(name.size() - 4) : "";
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".exe" && it->is_regular_file(ec)) exes.push_back(name);
  }
  if (ec) {
    std::fprintf(stderr, "upkeep-pack: cannot list %s\n", dir.c_str());
    return false;
  }
  std::sort(exes.begin(), exes.end());
  TreeProgram program;
  for (const auto& name : exes) {
    program = ReadTreeProgram(dir, name);
    if (!program.product_version.empty()) break;
  }
  if (program.product_version.empty()) {
    std::fprintf(stderr, "upkeep-pack: %s has no top-level .exe with a ProductVersion\n",
                 dir.c_str());
    return false;
  }
  std::fprintf(stderr, "%s\n", program.Describe().c_str());
  if (program.version.empty()) {
    std::fprintf(stderr,
                 "warning: GAME_VERSION and LANG_VERSION left empty (any): the updater sees no "
                 "version in %s\n",
                 program.name.c_str());
  }
  SetStringText(script, "SRC_EXE", program.name);
  SetStringText(script, "GAME_VERSION", program.version);
  SetStringText(script, "LANG_VERSION", program.language);
  if (!program.product_name.empty()) {
    SetStringText(script, "PROGRAM_NAME", program.product_name);
    SetStringText(script, "PROGRAM_NAME_OLD", program.product_name);
  }
  SetStringText(script, "PATCH_VERSION", program.product_version);
  return true;
}

// The -o convention: an existing file (or anything else) of that name is kept.
bool RefuseExisting(const std::string& out) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(out, ec))) return false;
  std::fprintf(stderr, "upkeep-pack: %s exists; not replaced (-f replaces it)\n", out.c_str());
  return true;
}

// The marker spelled backwards, so that this tool's own file never holds it.
constexpr char kStubMarkerReversed[] = "#1#buts-retadpu-peekpu#";
constexpr bool IsReverseOf(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[n - 1 - i]) return false;
  }
  return true;
}
static_assert(sizeof(kStubMarkerReversed) == sizeof(UPKEEP_STUB_MARKER) &&
                  IsReverseOf(kStubMarkerReversed, UPKEEP_STUB_MARKER,
                              sizeof(kStubMarkerReversed) - 1),
              "the stub marker and its reversed spelling differ");

// Empty when `path` is an updater program (Windows or Linux) that a package
// can follow; otherwise what is wrong with it.
std::string StubProblem(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::error_code ec;
  if (!fs::is_regular_file(path, ec) || !ReadWholeFile(path, &bytes))
    return "cannot read the stub " + path;
  const bool elf = bytes.size() >= 4 && std::memcmp(bytes.data(),
                                                    "\x7f"
                                                    "ELF",
                                                    4) == 0;
  std::string marker(kStubMarkerReversed);
  std::reverse(marker.begin(), marker.end());
  if ((IsPeImage(bytes) || elf) &&
      std::search(bytes.begin(), bytes.end(), marker.begin(), marker.end()) != bytes.end())
    return std::string();
  return "the stub " + path +
         " is not an updater program (build/windows/bin/upkeep.exe for Windows, "
         "build/linux/bin/upkeep for Linux)";
}

std::string Counted(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The result of a make in two lines: what the script does, and what it weighs.
std::string SummaryText(const MakeSummary& s, const std::string& out) {
  std::string text = "wrote " + out + ": " + std::to_string(s.patched) + " patched, " +
                     std::to_string(s.created) + " created, " + std::to_string(s.renamed) +
                     " renamed, " + std::to_string(s.deleted) + " deleted";
  if (s.dirs_created) text += ", " + Counted(s.dirs_created, "folder", "folders") + " created";
  if (s.dirs_removed) text += ", " + Counted(s.dirs_removed, "folder", "folders") + " removed";
  if (!s.kept_folders.empty()) {
    text += ", " + Counted(s.kept_folders.size(), "folder", "folders") + " kept";
  }
  text += " (" + Counted(s.sections, "section", "sections") + ")\n";
  std::error_code ec;
  const uint64_t size = fs::file_size(out, ec);
  text += "payloads " + std::to_string(s.payload_bytes) + " bytes; package " +
          std::to_string(size) + " bytes";
  if (s.new_tree_bytes > 0) {
    char ratio[64];
    std::snprintf(ratio, sizeof ratio, ", %.1f%% of the new tree's %llu bytes",
                  100.0 * static_cast<double>(size) / static_cast<double>(s.new_tree_bytes),
                  static_cast<unsigned long long>(s.new_tree_bytes));
    text += ratio;
  }
  return text + "\n";
}

}  // namespace

bool IsHelp(const Args& args) {
  for (const auto& a : args) {
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

int Usage(const char* text, const std::string& problem) {
  if (!problem.empty()) std::fprintf(stderr, "upkeep-pack: %s\n\n", problem.c_str());
  std::fputs(text, problem.empty() ? stdout : stderr);
  return problem.empty() ? kExitOk : kExitUsage;
}

const PackageArchive* MountPackage(const std::string& path, std::string* mounted_as) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    std::fprintf(stderr, "upkeep-pack: no such package file: %s\n", path.c_str());
    return nullptr;
  }
  *mounted_as = fs::absolute(path, ec).string();
  const PackageArchive* archive = OpenPackage(mounted_as->c_str());
  if (!archive) {
    std::fprintf(stderr, "upkeep-pack: not a package (no valid archive at its end): %s\n",
                 path.c_str());
  }
  return archive;
}

int Make(const Args& args) {
  if (IsHelp(args)) return Usage(kMakeUsage, "");
  MakeOptions options;
  std::string out;
  bool force = false;
  bool quiet = false;
  const std::vector<Option> table = {
      {{"--old"},
       true,
       [&](const std::string& v) {
         OldTree t;
         size_t eq = v.find('=');
         std::error_code ec;
         // VERSION=DIR unless the whole text is a directory of its own.
         if (eq != std::string::npos && eq > 0 && v.find('/') > eq && !fs::is_directory(v, ec)) {
           t.version = v.substr(0, eq);
           t.dir = v.substr(eq + 1);
         } else {
           t.dir = v;
         }
         options.olds.push_back(t);
         return std::string();
       }},
      Value({"--new"}, &options.new_dir),
      Value({"--strings"}, &options.strings_path),
      Value({"--terms"}, &options.terms_path),
      Value({"--stub"}, &options.stub_path),
      Value({"--to-version"}, &options.to_version),
      Value({"--company"}, &options.branding.company),
      Value({"--product"}, &options.branding.product),
      Value({"--description"}, &options.branding.description),
      Value({"--file-version"}, &options.branding.file_version),
      Value({"--product-version"}, &options.branding.product_version),
      Value({"--copyright"}, &options.branding.copyright),
      Value({"--original-filename"}, &options.branding.original_filename),
      Value({"--icon"}, &options.branding.icon_path),
      {{"--level"},
       true,
       [&](const std::string& v) {
         char* end = nullptr;
         long level = std::strtol(v.c_str(), &end, 10);
         if (v.empty() || *end != '\0' || level < 1 || level > 9)
           return std::string("--level takes 1 to 9");
         options.delta_level = static_cast<int>(level);
         return std::string();
       }},
      {{"--delta-format"},
       true,
       [&](const std::string& v) {
         using Format = MakeOptions::DeltaFormat;
         if (v == "basic") {
           options.delta_format = Format::kBasic;
         } else if (v == "extended") {
           options.delta_format = Format::kExtended;
         } else if (v == "redeflate") {
           options.delta_format = Format::kRedeflate;
         } else if (v == "predicted") {
           options.delta_format = Format::kPredicted;
         } else if (v == "smaller") {
           options.delta_format = Format::kSmaller;
         } else {
           return std::string(
               "--delta-format takes basic, extended, redeflate, predicted or smaller");
         }
         return std::string();
       }},
      {{"-j", "--jobs"},
       true,
       [&](const std::string& v) {
         char* end = nullptr;
         long jobs = std::strtol(v.c_str(), &end, 10);
         if (v.empty() || *end != '\0' || jobs < 1 || jobs > 1024)
           return std::string("--jobs takes 1 to 1024");
         options.threads = static_cast<unsigned>(jobs);
         return std::string();
       }},
      Flag({"--remove-folders"}, &options.remove_folders),
      Flag({"--allow-any-version"}, &options.allow_any_version),
      Value({"-o", "--output"}, &out),
      Flag({"-f", "--force"}, &force),
      Flag({"-q", "--quiet"}, &quiet),
  };
  std::vector<std::string> operands;
  std::string problem;
  if (!ParseOptions(args, table, &operands, &problem)) return Usage(kMakeUsage, problem);
  if (!operands.empty()) return Usage(kMakeUsage, "unexpected argument: " + operands[0]);
  if (options.olds.empty()) return Usage(kMakeUsage, "--old is required");
  if (options.new_dir.empty()) return Usage(kMakeUsage, "--new is required");
  if (options.strings_path.empty()) return Usage(kMakeUsage, "--strings is required");
  if (out.empty()) return Usage(kMakeUsage, "-o is required");
  if (!force && RefuseExisting(out)) return kExitFailed;
  if (!options.stub_path.empty()) {
    const std::string stub = StubProblem(options.stub_path);
    if (!stub.empty()) {
      std::fprintf(stderr, "upkeep-pack: %s\n", stub.c_str());
      return kExitFailed;
    }
  }
  ProgressLine progress(!quiet && StderrIsTerminal());
  options.progress = [&progress](const MakeProgress& p) { progress.Update(p); };

  MakeSummary summary;
  std::string error;
  const bool made = MakePackage(options, out, &summary, &error);
  progress.Clear();
  for (const auto& line : summary.script_messages) std::fprintf(stderr, "%s\n", line.c_str());
  for (const auto& line : summary.programs) std::fprintf(stderr, "%s\n", line.c_str());
  if (!made) {
    std::fprintf(stderr, "upkeep-pack: make failed: %s\n", error.c_str());
    return kExitFailed;
  }
  for (const auto& note : summary.notes) std::fprintf(stderr, "note: %s\n", note.c_str());
  for (const auto& w : summary.warnings) std::fprintf(stderr, "warning: %s\n", w.c_str());
  for (const auto& dir : summary.kept_folders) {
    std::fprintf(stderr,
                 "kept folder %s: gone from the new tree, emptied of the old files only "
                 "(--remove-folders removes it)\n",
                 dir.c_str());
  }
  std::fflush(stderr);
  std::printf("%s", SummaryText(summary, out).c_str());
  return kExitOk;
}

int InitStrings(const Args& args) {
  if (IsHelp(args)) return Usage(kInitUsage, "");
  std::string out, from;
  bool force = false;
  std::vector<std::string> operands;
  std::string problem;
  if (!ParseOptions(args,
                    {Value({"-o", "--output"}, &out), Flag({"-f", "--force"}, &force),
                     Value({"--from"}, &from)},
                    &operands, &problem))
    return Usage(kInitUsage, problem);
  if (!operands.empty()) return Usage(kInitUsage, "unexpected argument: " + operands[0]);
  std::string text = DefaultStringsScript();
  if (!from.empty() && !FillFromTree(from, &text)) return kExitFailed;
  if (out.empty()) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return kExitOk;
  }
  if (!force && RefuseExisting(out)) return kExitFailed;
  if (!WriteFile(out, std::vector<uint8_t>(text.begin(), text.end()))) {
    std::fprintf(stderr, "upkeep-pack: cannot write %s\n", out.c_str());
    return kExitFailed;
  }
  return kExitOk;
}

int List(const Args& args) {
  if (IsHelp(args)) return Usage(kListUsage, "");
  std::vector<std::string> plain;
  std::string problem;
  if (!ParseOptions(args, {}, &plain, &problem)) return Usage(kListUsage, problem);
  if (plain.size() != 1) return Usage(kListUsage, "one package file expected");
  std::string mounted;
  const PackageArchive* archive = MountPackage(plain[0], &mounted);
  if (!archive) return kExitFailed;
  std::printf("%-4s %-24s %12s %12s  %s\n", "#", "name", "size", "stored", "packing");
  int index = 0;
  int faults = 0;
  for (const auto& e : archive->entries) {
    std::string packing = e->packedSize ? "packed" : "stored";
    uint32_t stored = e->packedSize ? e->packedSize : e->size;
    if (index == 0) {
      packing = e->size ? "program image" : "no program image (bare archive)";
    } else if (const char* layout = DeltaLayoutName(e.get())) {
      packing += ", ";
      packing += layout;
    } else if (IsPayloadEntry(e.get())) {
      // The inflated length is the payload's last four bytes.
      uint8_t tail[4];
      bool ok = e->size >= 8;
      if (ok && e->packedSize != 0) {  // packed entries are read whole only
        std::vector<uint8_t> bytes;
        ok = ReadPackageEntry(e.get(), &bytes) && bytes.size() >= 8;
        if (ok) std::memcpy(tail, bytes.data() + bytes.size() - 4, 4);
      } else if (ok) {
        // An entry is its own read handle.
        ok = SeekPackageFile(e.get(), static_cast<int32_t>(e->size - 4), 0) == 0 &&
             ReadPackageFile(tail, 1, 4, e.get()) == 4;
      }
      if (ok) {
        uint32_t inflated = static_cast<uint32_t>(tail[0]) | static_cast<uint32_t>(tail[1]) << 8 |
                            static_cast<uint32_t>(tail[2]) << 16 |
                            static_cast<uint32_t>(tail[3]) << 24;
        packing += ", zlib payload of " + std::to_string(inflated) + " bytes";
      } else {
        packing += ", payload too short or unreadable";
        ++faults;
      }
    }
    std::printf("%-4d %-24s %12u %12u  %s\n", index, e->name.c_str(), e->size, stored,
                packing.c_str());
    ++index;
  }
  return faults ? kExitFailed : kExitOk;
}

int Extract(const Args& args) {
  if (IsHelp(args)) return Usage(kExtractUsage, "");
  std::vector<std::string> plain;
  bool inflate = false;
  std::string problem;
  if (!ParseOptions(args, {Flag({"--inflate"}, &inflate)}, &plain, &problem))
    return Usage(kExtractUsage, problem);
  if (plain.size() != 2) return Usage(kExtractUsage, "a package file and a directory expected");
  std::string mounted;
  const PackageArchive* archive = MountPackage(plain[0], &mounted);
  if (!archive) return kExitFailed;
  std::error_code ec;
  fs::create_directories(plain[1], ec);
  int failed = 0;
  bool first = true;
  for (const auto& e : archive->entries) {
    bool stub = first;
    first = false;
    if (stub && e->size == 0) continue;  // a bare archive's empty first record
    std::string rel = SafeRelative(e->name);
    if (rel.empty()) {
      std::fprintf(stderr, "upkeep-pack: skipped entry with an unsafe name: %s\n", e->name.c_str());
      ++failed;
      continue;
    }
    std::vector<uint8_t> bytes;
    bool ok;
    if (inflate && IsPayloadEntry(e.get())) {
      std::unique_ptr<Payload> p = LoadPayload(e.get());
      ok = p != nullptr;
      if (ok) bytes = std::move(p->data);
    } else {
      ok = ReadPackageEntry(e.get(), &bytes);
    }
    fs::path target = fs::path(plain[1]) / rel;
    fs::create_directories(target.parent_path(), ec);
    if (!ok || !WriteFile(target.string(), bytes)) {
      std::fprintf(stderr, "upkeep-pack: cannot extract %s\n", e->name.c_str());
      ++failed;
      continue;
    }
    std::printf("%s\n", target.string().c_str());
  }
  return failed ? kExitFailed : kExitOk;
}

int Cat(const Args& args) {
  if (IsHelp(args)) return Usage(kCatUsage, "");
  std::vector<std::string> plain;
  bool inflate = false;
  std::string problem;
  if (!ParseOptions(args, {Flag({"--inflate"}, &inflate)}, &plain, &problem))
    return Usage(kCatUsage, problem);
  if (plain.size() != 2) return Usage(kCatUsage, "a package file and an entry name expected");
  std::string mounted;
  const PackageArchive* archive = MountPackage(plain[0], &mounted);
  if (!archive) return kExitFailed;
  PackageEntry* entry = FindPackageEntry(*archive, plain[1].c_str());
  if (!entry) {
    std::fprintf(stderr, "upkeep-pack: no entry %s in %s\n", plain[1].c_str(), plain[0].c_str());
    return kExitFailed;
  }
  std::vector<uint8_t> bytes;
  if (inflate) {
    std::unique_ptr<Payload> p = LoadPayload(entry);
    if (!p) {
      std::fprintf(stderr, "upkeep-pack: %s does not inflate\n", entry->name.c_str());
      return kExitFailed;
    }
    bytes = std::move(p->data);
  } else if (!ReadPackageEntry(entry, &bytes)) {
    std::fprintf(stderr, "upkeep-pack: cannot read %s\n", entry->name.c_str());
    return kExitFailed;
  }
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
}

}  // namespace pack
}  // namespace upkeep

int main(int argc, char** argv) {
  using namespace upkeep::pack;
  // Names are read from the package alone, as the updater reads them; only
  // apply --loose-files lets a missing one come from the disk.
  upkeep::AllowLooseFileReads(false);
  if (argc < 2) return Usage(kMainUsage, "a command is needed");
  std::string command = argv[1];
  Args args(argv + 2, argv + argc);
  if (command == "--help" || command == "-h" || command == "help") return Usage(kMainUsage, "");
  if (command == "--version") {
    std::printf("upkeep-pack %s\n", UPKEEP_VERSION_TEXT);
    return kExitOk;
  }
  if (command == "make") return Make(args);
  if (command == "init-strings") return InitStrings(args);
  if (command == "list") return List(args);
  if (command == "extract") return Extract(args);
  if (command == "cat") return Cat(args);
  if (command == "verify") return Verify(args);
  if (command == "apply") return Apply(args);
  return Usage(kMainUsage, "unknown command: " + command);
}
