// Where the shell keeps the Start Menu and the Desktop, as the registry's
// "Shell Folders" keys record them.
#ifndef UPKEEP_SHELL_SHELL_FOLDERS_H_
#define UPKEEP_SHELL_SHELL_FOLDERS_H_

#include <string>

namespace upkeep {

// The machine-wide Start Menu, or the user's when the machine has none
// recorded. False when neither can be read (a value too long for a path
// counts as unreadable).
bool GetStartMenuFolder(std::string* folder);
// The user's Desktop.
bool GetDesktopFolder(std::string* folder);

}  // namespace upkeep

#endif  // UPKEEP_SHELL_SHELL_FOLDERS_H_
