#include "platform/fs_path.h"

namespace upkeep {

std::filesystem::path FsPath(const std::string& text) { return std::filesystem::path(text); }

std::string FsText(const std::filesystem::path& path) { return path.string(); }

}  // namespace upkeep
