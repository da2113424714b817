// upkeep-pack: makes update packages and looks into them.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
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
#include "package/manifest.h"
#include "package/package.h"
#include "package/payload_stream.h"
#include "pack_commands.h"
#include "pack_options.h"
#include "pack_progress.h"
#include "platform/command_line.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "platform/fs_path.h"

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
    "'--name=VALUE'; '--' ends the options. An argument @FILE stands for the\n"
    "arguments written in FILE (blanks separate them, quotes keep one together).\n"
    "An output file that exists is left alone unless -f (--force) is given.\n"
    "Exit codes: 0 done, 1 failed, 2 bad usage.\n";

const char kMakeUsage[] =
    "usage: upkeep-pack make --old [VERSION=]DIR [--old VERSION=DIR ...] --new DIR\n"
    "                        --strings Strings.scr [--terms FILE] [--stub FILE]\n"
    "                        [--to-version V] [--level 1-9] [--remove-folders]\n"
    "                        [--allow-any-version] [--force-downgrade]\n"
    "                        [--delta-format F] [-j N] [--volume-size S]\n"
    "                        [--large-from S] [BRANDING] [--sign COMMAND]\n"
    "                        [-q] [-f] -o OUT\n"
    "       upkeep-pack make PROJECT [OPTIONS]\n"
    "\n"
    "Compares the trees and writes a package whose patch.scr checks every file it\n"
    "patches or deletes, states the free space it needs, then creates directories,\n"
    "patches changed files, creates new ones and deletes removed ones. It ends, for\n"
    "any installed version, with a check that every file it writes has its new\n"
    "content, then writes the new tree's bank files again (the updater deletes\n"
    "bank* below Data\\Levels, LevelsNet, Films and LevelsCustom when a run begins\n"
    "to change the game).\n"
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
    "  --volume-size S    the most bytes the program file and each data volume\n"
    "                     hold (digits, K, M or G; default 4G - 1): payloads that\n"
    "                     would take OUT past it go into NAME-1.upkd, NAME-2.upkd,\n"
    "                     ... beside it (NAME is OUT without its extension), which\n"
    "                     ship with it; OUT's manifest lists their sizes and SHA-256\n"
    "  --large-from S     files from this size on (default 1G) are read through\n"
    "                     buffers, whatever their size: sent whole in blocks\n"
    "                     (.FILEX), or, changed, searched in pieces into a delta\n"
    "                     (.DELTAP; block matches where that finds too little)\n"
    "  --allow-any-version  make it even when GAME_VERSION, LANG_VERSION or a\n"
    "                     VERSION= cannot match what the updater sees in an old tree\n"
    "  --force-downgrade  make it even when the new tree's program is older than an\n"
    "                     old tree's and GAME_VERSION is empty (trees look swapped)\n"
    "  --sign COMMAND     run COMMAND on the finished update: {in} is the unsigned\n"
    "                     file (OUT with -unsigned added), {out} the signed file to\n"
    "                     write, which becomes OUT; without {out} the command signs\n"
    "                     {in} in place. It runs with sh (cmd.exe on Windows), in\n"
    "                     the project file's folder; quote {in} and {out}\n"
    "  -o OUT             the package; written only when complete\n"
    "  -f, --force        replace OUT when it exists\n"
    "  -q, --quiet        no progress line (it is drawn only on a terminal anyway)\n"
    "\n"
    "A PROJECT file holds the options, one a line, as NAME = VALUE (NAME is the\n"
    "long option without --, a switch is NAME alone or NAME = yes/no; # starts a\n"
    "comment line); paths in it are relative to its folder. Options given after\n"
    "it add to it (--old) or replace what it sets.\n"
    "\n"
    "make refuses (exit code 1) what cannot work: an old tree without the SRC_EXE\n"
    "program, a string table without the keys the updater needs or with\n"
    "init-strings' examples in REG_KEY, REG_DESTINATION or PROGRAM_NAME, trees\n"
    "with the same files, a stub that already carries a package, and a string\n"
    "table in UTF-8 whose characters its code page lacks (UTF-8 it can hold is\n"
    "converted, a byte-order mark dropped).\n"
    "\n"
    "Progress goes to standard error; notes and warnings too, always. The summary\n"
    "(files patched, created, renamed and deleted, the sections of patch.scr, the\n"
    "payload bytes against the bytes of the files they write, the package's size)\n"
    "goes to standard output, also with -q.\n"
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
    "usage: upkeep-pack init-strings [--from OLD_DIR ...] [--to NEW_DIR] [-f] [-o FILE]\n"
    "\n"
    "Writes a complete Strings.scr: the prototype and every key the updater uses,\n"
    "each with an English text and a comment on where it appears. Without -o it\n"
    "goes to standard output; an existing FILE is kept unless -f is given.\n"
    "Each tree's program is its first top-level .exe with a ProductVersion, read\n"
    "as the updater reads it. --from OLD_DIR (the installed release; once per old\n"
    "tree of a chain, oldest first) gives SRC_EXE, GAME_VERSION (every old\n"
    "version), LANG_VERSION and the program names; --to NEW_DIR (the new release)\n"
    "gives PATCH_VERSION and PROGRAM_NAME. REG_KEY and REG_DESTINATION are yours\n"
    "to set: make refuses their examples.\n";

const char kListUsage[] =
    "usage: upkeep-pack list PKG\n"
    "\n"
    "Lists the entries of a package (bare archive or runnable updater): name, size,\n"
    "archive packing, and for payload entries the size they inflate to; entries in\n"
    "data volumes with their offset, then the volumes the manifest lists.\n";

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

// Reads bytes of an entry at `at` (packed entries are read whole only).
bool ReadEntryBytes(PackageEntry* e, uint64_t at, uint8_t* out, size_t n) {
  if (e->size < n || at > e->size - n) return false;
  if (e->packedSize != 0) {
    std::vector<uint8_t> bytes;
    if (!ReadPackageEntry(e, &bytes) || bytes.size() < at + n) return false;
    std::memcpy(out, bytes.data() + at, n);
    return true;
  }
  return ReadEntryAt(*e, at, out, n);
}

bool HeadIs(PackageEntry* e, const char magic[4]) {
  uint8_t head[4];
  return ReadEntryBytes(e, 0, head, 4) && std::memcmp(head, magic, 4) == 0;
}

// Entries that are one zlib payload (stream, Adler-32, length). Extended
// deltas in the split or block layout, deflated-view deltas and whole files
// in blocks are not.
// An extended delta kept as one raw deflate stream after its marker byte.
bool IsRawDelta(PackageEntry* e) {
  uint8_t first = 0;
  return IsExtendedDeltaName(e->name.c_str()) && e->size > 0 &&
         ReadEntryBytes(e, 0, &first, 1) && first == kExtendedRawMarker;
}

bool IsPayloadEntry(PackageEntry* e) {
  const std::string& name = e->name;
  auto ends = [&](const char* s) {
    size_t n = std::strlen(s);
    return name.size() > n && name.compare(name.size() - n, n, s) == 0;
  };
  if (ends(".FILE") || ends(".DELTA")) return true;
  if (!ends(kExtendedDeltaSuffix)) return false;
  return !HeadIs(e, kExtendedSplitMagic) && !HeadIs(e, kBlockStreamMagic) && !IsRawDelta(e);
}

const char* DeltaLayoutName(PackageEntry* e) {
  if (IsRedeflateDeltaName(e->name.c_str())) return "deflated-view delta";
  if (IsPredictedDeltaName(e->name.c_str())) return "predicted delta";
  if (IsExtendedDeltaName(e->name.c_str()) && HeadIs(e, kExtendedSplitMagic))
    return "extended delta in three streams";
  if (IsExtendedDeltaName(e->name.c_str()) && HeadIs(e, kBlockStreamMagic))
    return "extended delta in blocks";
  if (IsRawDelta(e)) return "extended delta, one raw deflate stream";
  return nullptr;
}

using ByteSink = std::function<bool(const uint8_t*, size_t)>;

ByteSink ToStream(std::ostream& out) {
  return [&out](const uint8_t* p, size_t n) {
    out.write(reinterpret_cast<const char*>(p), static_cast<std::streamsize>(n));
    return static_cast<bool>(out);
  };
}

ByteSink ToFile(std::FILE* out) {
  return [out](const uint8_t* p, size_t n) { return std::fwrite(p, 1, n, out) == n; };
}

// Streams a whole-file entry decoded (any size) to `out`; false when it does
// not decode.
bool WriteDecoded(PackageEntry* e, const ByteSink& out) { return DecodeFileEntry(*e, out); }

// Streams an entry's stored bytes to `out`.
bool WriteStored(PackageEntry* e, const ByteSink& out) {
  std::vector<uint8_t> buffer;
  if (e->packedSize != 0) return ReadPackageEntry(e, &buffer) && out(buffer.data(), buffer.size());
  buffer.resize(size_t{1} << 20);
  for (uint64_t at = 0; at < e->size;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), e->size - at));
    if (!ReadEntryAt(*e, at, buffer.data(), n) || !out(buffer.data(), n)) return false;
    at += n;
  }
  return true;
}

// The size of a file, or 0.
uint64_t SizeOf(const std::string& path) {
  FolderEntry what;
  return FsStat(path, &what) ? what.size : 0;
}

// A size given as digits with an optional K, M or G (binary multiples).
bool ParseByteSize(const std::string& text, uint64_t* out) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  std::string unit = end;
  for (char& c : unit) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  int shift = 0;
  if (unit == "K" || unit == "KIB") {
    shift = 10;
  } else if (unit == "M" || unit == "MIB") {
    shift = 20;
  } else if (unit == "G" || unit == "GIB") {
    shift = 30;
  } else if (!unit.empty()) {
    return false;
  }
  if (value > (UINT64_MAX >> shift)) return false;
  *out = static_cast<uint64_t>(value) << shift;
  return true;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// An entry name as a relative '\\' path below the extraction directory, or
// empty when it would reach outside it.
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
    if (!out.empty()) out += '\\';
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

// The game program of a tree: the first of its top-level .exe files, in
// name order, that has a ProductVersion. False (told on stderr) when none has.
bool ProgramOfTree(const std::string& dir, TreeProgram* program) {
  std::vector<FolderEntry> entries;
  std::string error;
  if (!ListFolder(dir, &entries, &error)) {
    std::fprintf(stderr, "upkeep-pack: %s\n", error.c_str());
    return false;
  }
  std::vector<std::string> exes;
  for (const auto& e : entries) {
    std::string ext = e.name.size() > 4 ? e.name.substr(e.name.size() - 4) : "";
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".exe" && e.kind == FolderEntry::Kind::kFile) exes.push_back(e.name);
  }
  std::sort(exes.begin(), exes.end());
  for (const auto& name : exes) {
    *program = ReadTreeProgram(dir, name);
    if (!program->product_version.empty()) break;
  }
  if (program->product_version.empty()) {
    std::fprintf(stderr, "upkeep-pack: %s has no top-level .exe with a ProductVersion\n",
                 dir.c_str());
    return false;
  }
  std::fprintf(stderr, "%s\n", program->Describe().c_str());
  return true;
}

// The settings the trees tell: the installed releases' program, versions and
// language from the old trees (oldest first), the new version and name from
// the new tree.
bool FillFromTrees(const std::vector<std::string>& olds, const std::string& to,
                   std::string* script) {
  std::string versions;
  TreeProgram first;
  for (size_t i = 0; i < olds.size(); ++i) {
    TreeProgram program;
    if (!ProgramOfTree(olds[i], &program)) return false;
    if (i == 0) {
      first = program;
    } else if (CompareNames(program.name, first.name) != 0) {
      std::fprintf(stderr,
                   "upkeep-pack: the old trees' programs differ (%s, %s); SRC_EXE lists both\n",
                   first.name.c_str(), program.name.c_str());
      first.name += ";" + program.name;
    }
    if (program.version.empty()) {
      std::fprintf(stderr,
                   "warning: GAME_VERSION and LANG_VERSION left empty (any): the updater sees no "
                   "version in %s\n",
                   (olds[i] + "/" + program.name).c_str());
      versions.clear();
      first.version.clear();
      break;
    }
    versions += (versions.empty() ? "" : ";") + program.version;
  }
  if (!olds.empty()) {
    SetStringText(script, "SRC_EXE", first.name);
    SetStringText(script, "GAME_VERSION", first.version.empty() ? "" : versions);
    SetStringText(script, "LANG_VERSION", first.version.empty() ? "" : first.language);
  }
  if (!first.product_name.empty()) {
    SetStringText(script, "PROGRAM_NAME", first.product_name);
    SetStringText(script, "PROGRAM_NAME_OLD", first.product_name);
  }
  if (to.empty()) {
    std::fprintf(stderr,
                 "note: PATCH_VERSION keeps its example: --to NEW_TREE takes it from the new "
                 "release\n");
    return true;
  }
  TreeProgram next;
  if (!ProgramOfTree(to, &next)) return false;
  if (!next.product_name.empty()) SetStringText(script, "PROGRAM_NAME", next.product_name);
  // The version the next update's GAME_VERSION will name.
  SetStringText(script, "PATCH_VERSION",
                next.version.empty() ? next.product_version : next.version);
  return true;
}

// The -o convention: an existing file (or anything else) of that name is kept.
bool RefuseExisting(const std::string& out) {
  FolderEntry what;
  if (!FsStat(out, &what)) return false;
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
  if (!FsIsFile(path) || !ReadWholeFile(path, &bytes)) return "cannot read the stub " + path;
  const bool elf = bytes.size() >= 4 && std::memcmp(bytes.data(),
                                                    "\x7f"
                                                    "ELF",
                                                    4) == 0;
  std::string marker(kStubMarkerReversed);
  std::reverse(marker.begin(), marker.end());
  if (!(IsPeImage(bytes) || elf) ||
      std::search(bytes.begin(), bytes.end(), marker.begin(), marker.end()) == bytes.end()) {
    return "the stub " + path +
           " is not an updater program (build/windows/bin/upkeep.exe for Windows, "
           "build/linux/bin/upkeep for Linux)";
  }
  // An update made before (last release's, say) has a package already: the
  // players would get that one, or the new one hiding the old.
  const std::string absolute = FsAbsolute(path);
  if (OpenPackage(absolute.c_str()) != nullptr) {
    ClosePackage(absolute.c_str());
    return "the stub " + path +
           " already carries a package: it is an update made by upkeep-pack, not the bare "
           "updater; give build/windows/bin/upkeep.exe (or build/linux/bin/upkeep)";
  }
  return std::string();
}

std::string Counted(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// `folder` and the folders above it, made where missing; false when it is not
// a folder afterwards.
bool MakeFolders(const std::string& folder) {
  FileSystem* files = GetFileSystem();
  // Each folder on the way; those above may exist or be no folder of ours.
  for (size_t cut = folder.find_first_of("/\\", 1); cut != std::string::npos;
       cut = folder.find_first_of("/\\", cut + 1)) {
    if (folder[cut - 1] != ':' && folder[cut - 1] != '/' && folder[cut - 1] != '\\')
      files->CreateDir(folder.substr(0, cut));
  }
  files->CreateDir(folder);
  return FsIsFolder(folder);
}

// The result of a make in two lines: what the script does, and what it weighs.
std::string SummaryText(const MakeSummary& s, const std::string& out, bool with_stub) {
  std::string text = "wrote " + out + ": " + std::to_string(s.patched) + " patched, " +
                     std::to_string(s.created) + " created, " + std::to_string(s.renamed) +
                     " renamed, " + std::to_string(s.deleted) + " deleted";
  if (s.dirs_created) text += ", " + Counted(s.dirs_created, "folder", "folders") + " created";
  if (s.dirs_removed) text += ", " + Counted(s.dirs_removed, "folder", "folders") + " removed";
  if (!s.kept_folders.empty()) {
    text += ", " + Counted(s.kept_folders.size(), "folder", "folders") + " kept";
  }
  text += " (" + Counted(s.sections, "section", "sections") + ")\n";
  uint64_t size = SizeOf(out);
  // The payloads against what they make: how well the changes compress,
  // whatever the updater program in front weighs.
  text += "payloads " + std::to_string(s.payload_bytes) + " bytes";
  if (s.written_bytes > 0) {
    char ratio[96];
    std::snprintf(
        ratio, sizeof ratio, ", %.1f%% of the %llu bytes of files they write",
        100.0 * static_cast<double>(s.payload_bytes) / static_cast<double>(s.written_bytes),
        static_cast<unsigned long long>(s.written_bytes));
    text += ratio;
  }
  text += "; package " + std::to_string(size) + " bytes" +
          (with_stub ? ", the updater program included" : "");
  if (s.volumes > 0) {
    const std::string folder = FsText(FsPath(out).parent_path());
    for (size_t v = 0; v < s.volumes; ++v) {
      const std::string name = VolumeFileName(out, v);
      size += SizeOf(folder.empty() ? name : NativePath(folder, name));
    }
    text += ", with " + Counted(s.volumes, "data volume", "data volumes") + " (" +
            VolumeFileName(out, 0) +
            (s.volumes > 1 ? " to " + VolumeFileName(out, s.volumes - 1) : std::string()) + "), " +
            std::to_string(size) + " bytes in all";
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
  if (!FsIsFile(path)) {
    std::fprintf(stderr, "upkeep-pack: no such package file: %s\n", path.c_str());
    return nullptr;
  }
  *mounted_as = FsAbsolute(path);
  PackageProblem problem;
  const PackageArchive* archive = OpenPackage(mounted_as->c_str(), &problem);
  if (archive) return archive;
  switch (problem.kind) {
    case PackageProblem::kVolumeMissing:
      std::fprintf(stderr, "upkeep-pack: the data volume %s of %s is missing\n",
                   problem.file.c_str(), path.c_str());
      break;
    case PackageProblem::kVolumeWrongSize:
      std::fprintf(stderr, "upkeep-pack: the data volume %s of %s is not its listed size\n",
                   problem.file.c_str(), path.c_str());
      break;
    case PackageProblem::kManifestDamaged:
      std::fprintf(stderr,
                   "upkeep-pack: the manifest of %s or the directory it vouches for is damaged\n",
                   path.c_str());
      break;
    default:
      std::fprintf(stderr, "upkeep-pack: not a package (no valid archive at its end): %s\n",
                   path.c_str());
  }
  return nullptr;
}

std::vector<Option> MakeOptionTable(MakeRequest* request) {
  MakeOptions& options = request->options;
  return {
      {{"--old"},
       true,
       [&options](const std::string& v) {
         OldTree t;
         size_t eq = v.find('=');
         // VERSION=DIR unless the whole text is a directory of its own.
         if (eq != std::string::npos && eq > 0 && v.find_first_of("/\\") > eq && !FsIsFolder(v)) {
           t.version = v.substr(0, eq);
           t.dir = v.substr(eq + 1);
         } else {
           t.dir = v;
         }
         options.olds.push_back(t);
         return std::string();
       },
       ValueKind::kVersionedPath},
      Value({"--new"}, &options.new_dir, ValueKind::kPath),
      Value({"--strings"}, &options.strings_path, ValueKind::kPath),
      Value({"--terms"}, &options.terms_path, ValueKind::kPath),
      Value({"--stub"}, &options.stub_path, ValueKind::kPath),
      Value({"--to-version"}, &options.to_version),
      Value({"--company"}, &options.branding.company),
      Value({"--product"}, &options.branding.product),
      Value({"--description"}, &options.branding.description),
      Value({"--file-version"}, &options.branding.file_version),
      Value({"--product-version"}, &options.branding.product_version),
      Value({"--copyright"}, &options.branding.copyright),
      Value({"--original-filename"}, &options.branding.original_filename),
      Value({"--icon"}, &options.branding.icon_path, ValueKind::kPath),
      {{"--level"},
       true,
       [&options](const std::string& v) {
         char* end = nullptr;
         long level = std::strtol(v.c_str(), &end, 10);
         if (v.empty() || *end != '\0' || level < 1 || level > 9)
           return std::string("--level takes 1 to 9");
         options.delta_level = static_cast<int>(level);
         return std::string();
       }},
      {{"--delta-format"},
       true,
       [&options](const std::string& v) {
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
      {{"--volume-size"},
       true,
       [&](const std::string& v) {
         uint64_t size = 0;
         if (!ParseByteSize(v, &size) || size < 4096 || size > 0xFFFFFFFFull)
           return std::string("--volume-size takes a size from 4K to 4G - 1 (digits, K, M or G)");
         options.volume_size = size;
         return std::string();
       }},
      {{"--large-from"},
       true,
       [&](const std::string& v) {
         uint64_t size = 0;
         if (!ParseByteSize(v, &size) || size == 0)
           return std::string("--large-from takes a size (digits, K, M or G)");
         options.large_from = size;
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
      Flag({"--force-downgrade"}, &options.force_downgrade),
      Value({"--sign"}, &request->sign),
      Value({"-o", "--output"}, &request->out, ValueKind::kPath),
      Flag({"-f", "--force"}, &request->force),
      Flag({"-q", "--quiet"}, &request->quiet),
  };
}

namespace {

// `text` with every `from` replaced by `to`.
std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// "Game-1.1.exe" -> "Game-1.1-unsigned.exe", beside it.
std::string UnsignedName(const std::string& out) {
  const fs::path p = FsPath(out);
  const std::string name = FsText(p.filename());
  const size_t dot = name.rfind('.');
  const std::string renamed = dot == std::string::npos || dot == 0
                                  ? name + "-unsigned"
                                  : name.substr(0, dot) + "-unsigned" + name.substr(dot);
  return FsText(p.parent_path() / FsPath(renamed));
}

bool CarriesPackage(const std::string& path) {
  const std::string absolute = FsAbsolute(path);
  if (OpenPackage(absolute.c_str()) == nullptr) return false;
  ClosePackage(absolute.c_str());
  return true;
}

// Runs the signing command on the finished update `unsigned_path` and puts
// the signed file at `out`. False (told on stderr) when it fails; `out` is
// then as it was and the unsigned update is kept.
bool Sign(const MakeRequest& request, const std::string& unsigned_path) {
  const std::string in = FsAbsolute(unsigned_path);
  const std::string out = FsAbsolute(request.out);
  FileSystem* files = GetFileSystem();
  // {out} names a file of its own, put in place once the command succeeded;
  // without {out} the command signs {in} where it is.
  const bool to_out = request.sign.find("{out}") != std::string::npos;
  std::string signed_path = in;
  if (to_out) {
    signed_path = out + ".signed";
    for (int n = 1; files->GetAttributes(signed_path) != kInvalidAttributes; ++n)
      signed_path = out + ".signed" + std::to_string(n);
  }
  const std::string command =
      ReplaceAll(ReplaceAll(request.sign, "{in}", in), "{out}", signed_path);
  std::fflush(stdout);
  std::fflush(stderr);
  std::string problem;
  const int code = RunShellCommand(command, request.sign_dir, &problem);
  std::string fault;
  if (code != 0) {
    fault = problem.empty() ? "the signing command failed (exit code " + std::to_string(code) + ")"
                            : "the signing command could not run: " + problem;
  } else if (!CarriesPackage(signed_path)) {
    fault = "after the signing command " + signed_path + " is missing or carries no package";
  } else if (!files->Replace(signed_path, out)) {
    fault = "cannot put " + signed_path + " in place of " + out;
  }
  if (!fault.empty()) {
    if (to_out) files->Delete(signed_path);
    std::fprintf(stderr, "upkeep-pack: make failed: %s; the unsigned update is kept as %s\n",
                 fault.c_str(), unsigned_path.c_str());
    return false;
  }
  if (to_out) files->Delete(in);
  return true;
}

}  // namespace

int Make(const Args& args) {
  if (IsHelp(args)) return Usage(kMakeUsage, "");
  std::vector<std::string> operands;
  std::string problem;
  {
    // A first reading finds the project file among the arguments.
    MakeRequest scratch;
    if (!ParseOptions(args, MakeOptionTable(&scratch), &operands, &problem))
      return Usage(kMakeUsage, problem);
  }
  if (operands.size() > 1) return Usage(kMakeUsage, "unexpected argument: " + operands[1]);
  MakeRequest request;
  const std::vector<Option> table = MakeOptionTable(&request);
  // The project's settings first: options on the command line add to them
  // (--old) or replace them.
  if (operands.size() == 1) {
    std::vector<ProjectSetting> settings;
    if (!ReadProjectFile(operands[0], table, &settings, &problem)) {
      std::fprintf(stderr, "upkeep-pack: %s\n", problem.c_str());
      return kExitUsage;
    }
    for (const auto& setting : settings) {
      std::vector<std::string> ignored;
      if (!ParseOptions({setting.arg}, table, &ignored, &problem)) {
        std::fprintf(stderr, "upkeep-pack: %s: %s\n", setting.where.c_str(), problem.c_str());
        return kExitUsage;
      }
    }
    request.sign_dir = FsText(FsPath(operands[0]).parent_path());
  }
  operands.clear();
  if (!ParseOptions(args, table, &operands, &problem)) return Usage(kMakeUsage, problem);
  MakeOptions& options = request.options;
  if (options.olds.empty()) return Usage(kMakeUsage, "--old is required");
  if (options.new_dir.empty()) return Usage(kMakeUsage, "--new is required");
  if (options.strings_path.empty()) return Usage(kMakeUsage, "--strings is required");
  if (request.out.empty()) return Usage(kMakeUsage, "-o is required");
  if (!request.force && RefuseExisting(request.out)) return kExitFailed;
  // Signed, the update is first written under another name.
  const std::string written = request.sign.empty() ? request.out : UnsignedName(request.out);
  // (Its OriginalFilename is still OUT's name: make leaves "-unsigned" out.)
  if (!request.sign.empty() && !request.force && RefuseExisting(written)) return kExitFailed;
  if (!options.stub_path.empty()) {
    const std::string stub = StubProblem(options.stub_path);
    if (!stub.empty()) {
      std::fprintf(stderr, "upkeep-pack: %s\n", stub.c_str());
      return kExitFailed;
    }
  }
  ProgressLine progress(!request.quiet && StderrIsTerminal());
  options.progress = [&progress](const MakeProgress& p) { progress.Update(p); };

  MakeSummary summary;
  std::string error;
  const bool made = MakePackage(options, written, &summary, &error);
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
  if (!request.sign.empty() && !Sign(request, written)) return kExitFailed;
  std::fflush(stderr);
  std::printf("%s", SummaryText(summary, request.out, !options.stub_path.empty()).c_str());
  return kExitOk;
}

int InitStrings(const Args& args) {
  if (IsHelp(args)) return Usage(kInitUsage, "");
  std::string out, to;
  std::vector<std::string> from;
  bool force = false;
  std::vector<std::string> operands;
  std::string problem;
  const Option from_option{{"--from"}, true, [&from](const std::string& v) {
                             from.push_back(v);
                             return std::string();
                           }};
  if (!ParseOptions(args,
                    {Value({"-o", "--output"}, &out), Flag({"-f", "--force"}, &force), from_option,
                     Value({"--to"}, &to)},
                    &operands, &problem))
    return Usage(kInitUsage, problem);
  if (!operands.empty()) return Usage(kInitUsage, "unexpected argument: " + operands[0]);
  if (!out.empty() && !force && RefuseExisting(out)) return kExitFailed;
  std::string text = DefaultStringsScript();
  if ((!from.empty() || !to.empty()) && !FillFromTrees(from, to, &text)) return kExitFailed;
  if (out.empty()) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return kExitOk;
  }
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
    const uint64_t stored = e->storedSize();
    if (index == 0) {
      packing = e->size ? "program image" : "no program image (bare archive)";
    } else if (e->name == kManifestEntryName && !e->inVolumes) {
      packing += ", manifest";
    } else if (const char* layout = DeltaLayoutName(e.get())) {
      packing += ", ";
      packing += layout;
    } else if (IsBlockFileName(e->name.c_str())) {
      // The length is in the block stream's header.
      uint8_t head[kBlockStreamHeaderSize];
      if (ReadEntryBytes(e.get(), 0, head, sizeof head) &&
          std::memcmp(head, kBlockStreamMagic, 4) == 0) {
        uint64_t raw = 0;
        for (int i = 7; i >= 0; --i) raw = raw << 8 | head[4 + i];
        packing += ", blocks of " + std::to_string(raw) + " bytes";
      } else {
        packing += ", blocks unreadable";
        ++faults;
      }
    } else if (IsPayloadEntry(e.get())) {
      // The inflated length is the payload's last four bytes.
      uint8_t tail[4];
      if (e->size >= 8 && ReadEntryBytes(e.get(), e->size - 4, tail, 4)) {
        uint32_t inflated = static_cast<uint32_t>(tail[0]) | static_cast<uint32_t>(tail[1]) << 8 |
                            static_cast<uint32_t>(tail[2]) << 16 |
                            static_cast<uint32_t>(tail[3]) << 24;
        packing += ", zlib payload of " + std::to_string(inflated) + " bytes";
      } else {
        packing += ", payload too short or unreadable";
        ++faults;
      }
    }
    if (e->inVolumes) packing += ", in the data volumes at " + std::to_string(e->offset);
    std::printf("%-4d %-24s %12llu %12llu  %s\n", index, e->name.c_str(),
                static_cast<unsigned long long>(e->size), static_cast<unsigned long long>(stored),
                packing.c_str());
    ++index;
  }
  if (archive->hasManifest) {
    std::printf("manifest: SHA-256 of every entry; %zu data volume(s)\n",
                archive->volumeList.size());
    for (const PackageVolume& v : archive->volumeList) {
      std::printf("  %s %llu bytes %s\n", v.path.c_str(), static_cast<unsigned long long>(v.size),
                  DigestHex(v.digest).c_str());
    }
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
  MakeFolders(plain[1]);
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
    const std::string target = NativePath(plain[1], rel);
    MakeFolders(FsText(FsPath(target).parent_path()));
    std::ofstream out(FsPath(target), std::ios::binary | std::ios::trunc);
    const bool decode = inflate && (IsPayloadEntry(e.get()) || IsBlockFileName(e->name.c_str()));
    bool ok = out &&
              (decode ? WriteDecoded(e.get(), ToStream(out)) : WriteStored(e.get(), ToStream(out)));
    out.close();
    if (!ok || !out) {
      std::fprintf(stderr, "upkeep-pack: cannot extract %s\n", e->name.c_str());
      ++failed;
      continue;
    }
    std::printf("%s\n", target.c_str());
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
  if (inflate) {
    if (!WriteDecoded(entry, ToFile(stdout))) {
      std::fprintf(stderr, "upkeep-pack: %s does not inflate\n", entry->name.c_str());
      return kExitFailed;
    }
  } else if (!WriteStored(entry, ToFile(stdout))) {
    std::fprintf(stderr, "upkeep-pack: cannot read %s\n", entry->name.c_str());
    return kExitFailed;
  }
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
}

int RunPack(const Args& given) {
  Args all;
  std::string problem;
  if (!ExpandResponseFiles(given, &all, &problem)) {
    std::fprintf(stderr, "upkeep-pack: %s\n", problem.c_str());
    return kExitUsage;
  }
  if (all.empty()) return Usage(kMainUsage, "a command is needed");
  const std::string command = all[0];
  const Args args(all.begin() + 1, all.end());
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

}  // namespace pack
}  // namespace upkeep
