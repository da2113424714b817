#include "platform/fs_path.h"

namespace upkeep {

namespace fs = std::filesystem;

fs::path FsPath(const std::string& text) { return fs::path(text); }

std::string FsText(const fs::path& path) { return path.string(); }

std::string FsAbsolute(const std::string& text) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(text, ec);
  return ec ? std::string() : absolute.lexically_normal().string();
}

bool FsStat(const std::string& text, FolderEntry* what) {
  std::error_code ec;
  const fs::file_status st = fs::symlink_status(text, ec);
  if (ec || !fs::exists(st)) return false;
  *what = FolderEntry();
  if (fs::is_directory(st)) {
    what->kind = FolderEntry::Kind::kFolder;
  } else if (fs::is_regular_file(st)) {
    what->kind = FolderEntry::Kind::kFile;
    what->size = fs::file_size(text, ec);
  }
  return true;
}

bool ListFolder(const std::string& folder, std::vector<FolderEntry>* entries, std::string* error) {
  entries->clear();
  std::error_code ec;
  fs::directory_iterator it(folder, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    FolderEntry e;
    e.name = it->path().filename().string();
    // Links are not followed: their kind is "other".
    const fs::file_status st = it->symlink_status(ec);
    if (ec) break;
    if (fs::is_directory(st)) {
      e.kind = FolderEntry::Kind::kFolder;
    } else if (fs::is_regular_file(st)) {
      e.kind = FolderEntry::Kind::kFile;
      e.size = it->file_size(ec);
      if (ec) break;
    }
    entries->push_back(std::move(e));
  }
  if (ec) {
    *error = "cannot list " + folder + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace upkeep
