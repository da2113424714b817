#include "install/bank_files.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/file_system.h"

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

void DeleteBankFiles(const std::string& folder) {
  FileSystem* fs = GetFileSystem();
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
        if (path.size() <= kMaxBankPath) fs->Delete(path);
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
}

void DeleteStaleBankFiles(const std::string& gameDir) {
  for (const char* folder : kBankFolders) DeleteBankFiles(gameDir + folder);
}

}  // namespace upkeep
