// The commands an update script may call: for each its name, its parameter
// types, and which of its arguments name a package entry or hold a checksum.
// The runner dispatches by this table, the script writer declares its
// prototypes from it and the package verifier checks calls against it.
#ifndef UPKEEP_SCRIPT_COMMAND_SCHEMA_H_
#define UPKEEP_SCRIPT_COMMAND_SCHEMA_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace upkeep {

enum class CommandId : int {
  kVersion = 0,
  kAll,
  kCheckFile,
  kCheckDir,
  kFreeSpace,
  kCreateDir,
  kDeleteDir,
  kDeleteFile,
  kCreateFile,
  kPatchFile,
  kIsOKFile,
  kIsOKDir,
  kRenameFile,
  kUpdateStartMenuLink,
  kUpdateStartMenuLinkToFile,
  kUpdateDesktopLink,
  kUpdateDesktopLinkToFile,
  kAddStartMenuLink,
  kAddDesktopLink,
  kCount,
};

enum class CommandGroup : int {
  kSection,    // a top-level call whose body holds commands: Version, All
  kFreeSpace,  // checked before the other commands of its section
  kFile,       // file and directory work; a failure stops the run
  kShortcut,   // shortcut work; skipped on request, never stops a run
};

struct CommandInfo {
  CommandId id;
  const char* name;  // as scripts write it; calls match it ignoring case
  CommandGroup group;
  const char* params;  // one letter per parameter: 's' string, 'n' integer
  int entry;           // the argument naming the package entry read, or -1
  int checksum;        // the argument whose checksum text is compared, or -1
};

// Every command, in the order the writer declares them.
const CommandInfo* CommandTable(size_t* count);
const CommandInfo& GetCommandInfo(CommandId id);
// The command of that name, letter case ignored; null for any other name.
const CommandInfo* FindCommandInfo(const char* name);

// Longest version text a run keeps (the current one and a section's target).
constexpr size_t kMaxVersionText = 9;

// Reads a checksum text as "%08X" does: up to eight leading hexadecimal digits,
// either letter case. False when the text does not start with one. `exact`,
// when given, tells whether the text is eight digits and nothing more, the
// form ChecksumText writes.
bool ParseChecksumText(const char* text, uint32_t* value, bool* exact = nullptr);
// "%08X" of the value.
std::string ChecksumText(uint32_t value);

}  // namespace upkeep

#endif  // UPKEEP_SCRIPT_COMMAND_SCHEMA_H_
