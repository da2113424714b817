// std::filesystem paths (and the streams opened with them) from the path
// texts the program holds, and back; and the walks of folders an authoring
// tool makes. On Windows the texts are in the path code page (code_page.h),
// converted exactly, with the "\\?\" form for long paths, as the file-system
// seam does it, and folders are listed with the wide API (the C runtime's
// listing garbles names below long paths); elsewhere the texts are the
// system's bytes as they are.
#ifndef UPKEEP_PLATFORM_FS_PATH_H_
#define UPKEEP_PLATFORM_FS_PATH_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace upkeep {

// An empty path (which names nothing) when the text cannot be converted.
std::filesystem::path FsPath(const std::string& text);
// The text of a path, without the long form's prefix; empty when a character
// has no equivalent in the path code page.
std::string FsText(const std::filesystem::path& path);
// The absolute, normalised form of a path text ("." and ".." resolved, on
// Windows the system's separators); empty when it cannot be made.
std::string FsAbsolute(const std::string& text);

struct FolderEntry {
  enum class Kind { kFile, kFolder, kOther };  // kOther: links, devices, reparse points
  std::string name;                            // in the path code page
  Kind kind = Kind::kOther;
  uint64_t size = 0;  // files only
};

// What `text` names, links not followed (the C runtime's status calls fail
// on long paths on Windows); false when nothing is there. `what->name` is
// left empty.
bool FsStat(const std::string& text, FolderEntry* what);

inline bool FsIsFolder(const std::string& text) {
  FolderEntry e;
  return FsStat(text, &e) && e.kind == FolderEntry::Kind::kFolder;
}
inline bool FsIsFile(const std::string& text) {
  FolderEntry e;
  return FsStat(text, &e) && e.kind == FolderEntry::Kind::kFile;
}

// The entries of `folder` but "." and "..", in no particular order. False
// (with `error`) when it cannot be listed, or when a name has no equivalent
// in the path code page.
bool ListFolder(const std::string& folder, std::vector<FolderEntry>* entries, std::string* error);

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_FS_PATH_H_
