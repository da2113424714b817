// Reads an author's directory tree and compares two of them. Relative names use
// '\' and keep the letter case of the tree they came from; two names that
// differ only in case are the same name, as they are on the game's file system.
#ifndef UPKEEP_AUTHORING_TREE_DIFF_H_
#define UPKEEP_AUTHORING_TREE_DIFF_H_

#include <cstdint>
#include <string>
#include <vector>

namespace upkeep {

struct TreeFile {
  std::string name;  // relative, '\' separated
  uint64_t size = 0;
};

struct Tree {
  std::string root;               // the directory as given
  std::vector<std::string> dirs;  // every directory below the root, parents first
  std::vector<TreeFile> files;    // sorted by name, letter case ignored
};

// Walks `root` without recursion. False (with a reason) when it cannot be read,
// when it holds something that is neither a file nor a directory (a link, a
// device), when two names differ only in case, or when a name could not be
// written in a script or held by Windows (IsWindowsName; longer than 255
// characters).
bool ReadTree(const std::string& root, Tree* tree, std::string* error);

struct TreeChanges {
  std::vector<std::string> check_files;     // old files patched or deleted, old names
  std::vector<std::string> replaced_files;  // files in old that are directories in new
  std::vector<std::string> replaced_dirs;   // directories in old that are files in new, topmost
  std::vector<std::string> created_dirs;    // parents first
  // Files in both trees whose bytes differ: new name and both sizes.
  struct Changed {
    std::string name;
    std::string old_name;
    uint64_t old_size = 0;
    uint64_t new_size = 0;
  };
  // A file gone from the old tree whose content (or, changed, whose leaf name
  // alone) a new file has is moved there: old_name differs from name beyond
  // letter case.
  std::vector<Changed> changed_files;
  struct Renamed {
    std::string old_name;
    std::string name;
  };
  std::vector<Renamed> renamed_files;     // the same bytes under another name
  std::vector<TreeFile> created_files;    // in new only (including those replacing a directory)
  std::vector<TreeFile> deleted_files;    // in old only, outside deleted directories
  std::vector<std::string> deleted_dirs;  // in old only, topmost: each takes its content along
  uint64_t unchanged_files = 0;
};

// Takes out of `tree` the files an update run removes or overwrites before its
// script starts, so that no command depends on them: "patch.log" and the patch
// temporary file at the top, and in an installed (old) tree the stale bank files
// ("bank*" below Data\Levels, LevelsNet, Films and LevelsCustom, dot folders
// not entered). The files taken out are added to `left_out`.
void LeaveOutRunFiles(Tree* tree, bool installed, std::vector<TreeFile>* left_out);

// A name the updater's bank clean-up deletes before every run.
bool IsStaleBankName(const std::string& name);

// Compares `from` to `to`. File contents are read to tell changed from equal
// and to find moved files. A moved file's old name is in neither
// deleted_files nor created_files; it may lie in a deleted directory.
// False with a reason when a file cannot be read.
bool DiffTrees(const Tree& from, const Tree& to, TreeChanges* changes, std::string* error);

// One component of a path that a Windows file system can hold as it is: no
// reserved or control characters, no trailing dot or space, no device name
// (with or without an extension). False with the reason otherwise.
bool IsWindowsName(const std::string& name, std::string* why);

// Letter-case-blind comparison used for names (ASCII letters only).
int CompareNames(const std::string& a, const std::string& b);

// Root joined with a relative '\' name, as a native path.
std::string NativePath(const std::string& root, const std::string& relative);

// Whole file into memory; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes);

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_TREE_DIFF_H_
