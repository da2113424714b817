// The stale "bank" files of a game's data folders, removed when an update
// changes the game, so the game rebuilds them from the updated data.
#ifndef UPKEEP_INSTALL_BANK_FILES_H_
#define UPKEEP_INSTALL_BANK_FILES_H_

#include <cstddef>
#include <cstddef>
#include <string>

namespace upkeep {

// The game's data folders whose bank files are stale before every update,
// relative to the game directory, in the order they are cleaned.
extern const char* const kBankFolders[4];

// Deletes every file whose name matches "bank*.*" (any letter case) in
// `folder` and in all its subfolders, except those whose name begins with '.'.
// Folders stay. Walks iteratively; failures are ignored. The number deleted.
size_t DeleteBankFiles(const std::string& folder);

// DeleteBankFiles on each of kBankFolders below the game directory, in order;
// the number deleted.
size_t DeleteStaleBankFiles(const std::string& gameDir);

// Whether the clean-up takes the file of this name relative to the game
// directory (Data\Levels\x\bank1.dat): a cache no update can vouch for.
bool IsStaleBankFile(const std::string& relative);

}  // namespace upkeep

#endif  // UPKEEP_INSTALL_BANK_FILES_H_
