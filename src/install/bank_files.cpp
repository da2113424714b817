#include "install/bank_files.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/file_system.h"
#include "platform/text.h"

namespace upkeep {

namespace {

// The clean-up's paths live in 256-byte buffers.
constexpr size_t kMaxBankPath = 255;
// A folder tree deeper or wider than any game's data keeps the clean-up finite.
constexpr size_t kMaxBankFolders = 65536;

bool IsDotName(const std::string& name) { return !name.empty() && name[0] == '.'; }

}  // namespace

const char* const kBankFolders[4] = {"\\Data\\Levels", "\\Data\\LevelsNet", "\\Data\\Films",
                                     "\\Data\\LevelsCustom"};

size_t DeleteBankFiles(const std::string& folder) {
  FileSystem* fs = GetFileSystem();
  size_t deleted = 0;
  // Depth first, files before subfolders, subfolders in listing order: the
  // stack holds each folder's subfolders reversed.
  std::vector<std::string> pending{folder};
  size_t visited = 0;
  while (!pending.empty() && visited < kMaxBankFolders) {
    const std::string dir = pending.back();
    pending.pop_back();
    ++visited;
    // A folder whose patterns would not fit is left alone, like one that
    // cannot be listed; so is an entry whose full name would not fit.
    if (dir.size() + strlen("\\bank*.*") > kMaxBankPath) continue;
    std::vector<FindEntry> entries;
    if (fs->Find(dir + "\\bank*.*", &entries)) {
      for (const FindEntry& entry : entries) {
        if ((entry.attributes & kAttrDirectory) != 0) continue;
        const std::string path = dir + "\\" + entry.name;
        if (path.size() <= kMaxBankPath && fs->Delete(path)) ++deleted;
      }
    }
    entries.clear();
    if (!fs->Find(dir + "\\*.*", &entries)) continue;
    const size_t mark = pending.size();
    for (const FindEntry& entry : entries) {
      // A linked folder is not the game's to clean: never entered.
      if ((entry.attributes & kAttrDirectory) == 0 || (entry.attributes & kAttrReparsePoint) != 0 ||
          IsDotName(entry.name)) {
        continue;
      }
      const std::string path = dir + "\\" + entry.name;
      if (path.size() <= kMaxBankPath) pending.push_back(path);
    }
    std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(mark), pending.end());
  }
  return deleted;
}

size_t DeleteStaleBankFiles(const std::string& gameDir) {
  size_t deleted = 0;
  for (const char* folder : kBankFolders) deleted += DeleteBankFiles(gameDir + folder);
  return deleted;
}

bool IsStaleBankFile(const std::string& relative) {
  std::string name = relative;
  for (char& c : name) c = c == '/' ? '\\' : c;
  ToLowerInPlace(&name);
  for (const char* folder : kBankFolders) {
    std::string prefix = folder + 1;  // without its leading '\'
    ToLowerInPlace(&prefix);
    prefix += '\\';
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const size_t cut = name.find_last_of('\\');
    // Below a dot folder the clean-up never looks.
    for (size_t at = prefix.size() - 1; at < cut; at = name.find('\\', at + 1)) {
      if (name[at + 1] == '.') return false;
    }
    return name.compare(cut + 1, 4, "bank") == 0;
  }
  return false;
}

}  // namespace upkeep
