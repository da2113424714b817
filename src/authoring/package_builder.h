// Makes an update package from old and new game trees: the update script, the
// string table and terms as given, and one payload entry per created or
// patched file.
#ifndef UPKEEP_AUTHORING_PACKAGE_BUILDER_H_
#define UPKEEP_AUTHORING_PACKAGE_BUILDER_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "authoring/archive_writer.h"

namespace upkeep {

struct OldTree {
  std::string version;  // empty for a single unversioned old tree
  std::string dir;
};

// What a Windows updater shows as its publisher's: the version resource's
// texts and the icon. Empty texts take defaults: ProductName PROGRAM_NAME,
// FileDescription PROGRAM_NAME followed by " update", both versions
// PATCH_VERSION (from the string table), OriginalFilename the output's file
// name; CompanyName and LegalCopyright are left out unless given.
struct StubBrandingOptions {
  std::string company;
  std::string product;
  std::string description;
  std::string file_version;
  std::string product_version;
  std::string copyright;
  std::string original_filename;
  std::string icon_path;  // an .ico file; empty keeps the stub's icon

  bool AnyGiven() const {
    return !(company + product + description + file_version + product_version + copyright +
             original_filename + icon_path)
                .empty();
  }
};

// Long work of a make: comparing the trees, then the files encoded (their
// new sizes count as the bytes), then writing the package.
struct MakeProgress {
  enum class Step { kComparing, kEncoding, kWriting };
  Step step = Step::kComparing;
  std::string what;  // "patch" or "add" while encoding
  std::string name;  // the file, or the trees compared, or the output
  size_t files_done = 0;
  size_t files_total = 0;
  uint64_t bytes_done = 0;
  uint64_t bytes_total = 0;
};

struct MakeOptions {
  // Oldest first. One unversioned tree makes an "All" section; versioned trees
  // make one "Version" section each, every one bringing its tree to the next
  // tree and the last one to `new_dir` at `to_version`.
  std::vector<OldTree> olds;
  std::string new_dir;
  std::string strings_path;      // required
  std::string terms_path;        // optional "umowa.txt"
  std::string stub_path;         // optional program image in front of the archive
  StubBrandingOptions branding;  // applied when the stub is a Windows program
  std::string to_version;
  int delta_level = 9;
  // Which delta forms `make` may write; kSmaller keeps the smallest per file.
  // kRedeflate takes the deflated-view form wherever it applies (files with
  // deflate streams it can make again), else the extended one; kPredicted
  // writes the predicted form where kExtended writes the extended one.
  enum class DeltaFormat { kSmaller, kBasic, kExtended, kRedeflate, kPredicted };
  DeltaFormat delta_format = DeltaFormat::kSmaller;
  // A folder the new tree no longer has keeps what players put in it unless
  // this is set: only the files the old tree had are deleted, one by one.
  bool remove_folders = false;
  // Make the package even when GAME_VERSION, LANG_VERSION or a Version
  // section cannot match the version the updater sees in an old tree.
  bool allow_any_version = false;
  // Make a package that takes the game back to an older version where any
  // version is accepted (GAME_VERSION empty), which looks like old and new
  // trees given the wrong way round.
  bool force_downgrade = false;
  // Where the work stands, reported often (also within a big file); a
  // receiver that draws it picks how often.
  std::function<void(const MakeProgress&)> progress;
  // Changed files whose new version has this many bytes or more are mapped,
  // not read, and the encoders' passes let go of the pages behind them every
  // `window` bytes: make's memory is then the old file and a window of the
  // new one. The package is the same either way (tests force small values).
  uint64_t windowed_from = uint64_t{64} << 20;
  size_t window = size_t{4} << 20;
  // Files sent whole from this size on are mapped and compressed as a stream
  // (zlib, incompressible pieces stored) straight into the spool, instead of
  // in one call into a second buffer as large as the file; changed ones whose
  // basic delta copies under 1/32 of them skip the other delta forms, which
  // could not win. Their payloads differ from the one-call compressor's.
  uint64_t streamed_from = uint64_t{64} << 20;
  // Files from this size on (the old or the new version of a changed file, a
  // created file) take the forms made for any size, read through buffers:
  // a whole file goes in blocks (.FILEX); a changed one gets the large-file
  // search's predicted delta (authoring/delta_large.h, in pieces of
  // `large_piece`), or where that search gives up a delta of block matches
  // (.DELTAX in blocks), or is sent whole when less than 1/32 of it is found
  // in the old file.
  uint64_t large_from = uint64_t{1} << 30;
  // The block length the block matches are sought with; 0 chooses by size.
  uint32_t match_block = 0;
  // The most bytes the program file and each data volume may hold: payloads
  // that would take the program file past it go into volumes beside it
  // (NAME-1.upkd, ...), each cut at this size. 0: the program file's format
  // limit (4 GiB - 1), which is also every volume's size.
  uint64_t volume_size = 0;
  // Payload bytes held in memory until the package is written; any payload
  // that would go over this waits in the spool instead. The package is the
  // same either way.
  uint64_t held_payloads = uint64_t{64} << 20;
  // The spool is the file this + ".spool" (or a free variant of that name);
  // empty: one in the system's temporary folder (MakePackage puts it beside
  // its output). It is deleted with the last entry that refers to it.
  std::string spool_stem;
  // Files encoded at the same time (and pieces of one large file); 0: one per
  // core. The package is the same byte for byte whatever the number.
  unsigned threads = 0;
  // Bytes of a large new file searched as one piece (tests make it small);
  // the package depends on it.
  size_t piece = size_t{8} << 20;
  size_t large_piece = size_t{256} << 20;
};

struct MakeSummary {
  size_t sections = 0;  // in patch.scr, the closing check and the bank files included
  size_t patched = 0;
  size_t created = 0;       // new files and changed files sent whole
  size_t deleted = 0;       // files
  size_t dirs_removed = 0;  // with whatever is in them (--remove-folders)
  size_t renamed = 0;       // files moved, changed or not
  size_t dirs_created = 0;
  uint64_t payload_bytes = 0;
  // What the payloads make: the new bytes of every file the package creates
  // or patches (a file written by several sections counts each time).
  uint64_t written_bytes = 0;
  uint64_t new_tree_bytes = 0;  // every file of the new tree
  size_t volumes = 0;           // data volumes written beside the program file
  // What the author should know: files left out, settings that do not fit.
  std::vector<std::string> notes;
  // What the author must act on: what will surprise the players, a stub that
  // was already signed.
  std::vector<std::string> warnings;
  // Folders of an old tree that the update empties of the old files but keeps.
  std::vector<std::string> kept_folders;
  // The parser's messages about the string table, as "file:line:column:
  // error: text" lines; also when it does not parse.
  std::vector<std::string> script_messages;
  // One line per tree: its program and the version and language the updater
  // sees there; filled before the version checks, so also when they refuse.
  std::vector<std::string> programs;
};

// Version texts the runtime can hold: 1 to 9 printable characters, no quote.
bool IsUsableVersion(const std::string& version);

// Versions an installed game can report: the updater takes the first 7
// characters of its program's ProductVersion, so exactly 7.
bool IsInstalledVersion(const std::string& version);

// Everything but the file: the entries in archive order, "patch.scr" first.
// The script ends with two sections that run whatever the installed version:
// a check that every file the package writes now has its new content (so a
// run that matched no section stops before it changes anything), and the
// new tree's bank files, which the updater deletes before every run.
bool BuildUpdate(const MakeOptions& options, std::vector<ArchiveEntry>* entries,
                 MakeSummary* summary, std::string* error);

// BuildUpdate, then the package written to `out_path` (stub first when given);
// `out_path` is left as it was unless the whole package was written. A
// Windows stub loses any signature it has (a warning: the finished update is
// what gets signed) and is branded; the package ends on an 8-byte boundary and
// a Windows stub's checksum covers the whole file.
bool MakePackage(const MakeOptions& options, const std::string& out_path, MakeSummary* summary,
                 std::string* error);

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_PACKAGE_BUILDER_H_
