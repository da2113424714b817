// std::filesystem paths (and the streams opened with them) from the path
// texts the program holds, and back. On Windows the texts are in the path
// code page (code_page.h), converted exactly, with the "\\?\" form for long
// paths, as the file-system seam does it; elsewhere they are the system's
// bytes as they are.
#ifndef UPKEEP_PLATFORM_FS_PATH_H_
#define UPKEEP_PLATFORM_FS_PATH_H_

#include <filesystem>
#include <string>

namespace upkeep {

// An empty path (which names nothing) when the text cannot be converted.
std::filesystem::path FsPath(const std::string& text);
// The text of a path, without the long form's prefix; empty when a character
// has no equivalent in the path code page.
std::string FsText(const std::filesystem::path& path);

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_FS_PATH_H_
