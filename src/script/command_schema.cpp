#include "script/command_schema.h"

#include <cstdio>

#include "platform/text.h"

namespace upkeep {

namespace {

constexpr CommandGroup kSection = CommandGroup::kSection;
constexpr CommandGroup kFile = CommandGroup::kFile;
constexpr CommandGroup kShortcut = CommandGroup::kShortcut;

// Indexed by CommandId. DeleteFile's checksum and PatchFile's checksum of the
// old file are written by scripts but never compared.
const CommandInfo kCommandTable[] = {
    {CommandId::kVersion, "Version", kSection, "ss", -1, -1},
    {CommandId::kAll, "All", kSection, "", -1, -1},
    {CommandId::kCheckFile, "CheckFile", kFile, "ss", -1, 1},
    {CommandId::kCheckDir, "CheckDir", kFile, "s", -1, -1},
    {CommandId::kFreeSpace, "FreeSpace", CommandGroup::kFreeSpace, "n", -1, -1},
    {CommandId::kCreateDir, "CreateDir", kFile, "s", -1, -1},
    {CommandId::kDeleteDir, "DeleteDir", kFile, "s", -1, -1},
    {CommandId::kDeleteFile, "DeleteFile", kFile, "ss", -1, -1},
    {CommandId::kCreateFile, "CreateFile", kFile, "sss", 1, 2},
    {CommandId::kPatchFile, "PatchFile", kFile, "ssss", 1, 3},
    {CommandId::kIsOKFile, "IsOKFile", kFile, "ss", -1, 1},
    {CommandId::kIsOKDir, "IsOKDir", kFile, "s", -1, -1},
    {CommandId::kRenameFile, "RenameFile", kFile, "ss", -1, -1},
    {CommandId::kUpdateStartMenuLink, "UpdateStartMenuLink", kShortcut, "ssss", -1, -1},
    {CommandId::kUpdateStartMenuLinkToFile, "UpdateStartMenuLinkToFile", kShortcut, "ss", -1, -1},
    {CommandId::kUpdateDesktopLink, "UpdateDesktopLink", kShortcut, "ssss", -1, -1},
    {CommandId::kUpdateDesktopLinkToFile, "UpdateDesktopLinkToFile", kShortcut, "ss", -1, -1},
    {CommandId::kAddStartMenuLink, "AddStartMenuLink", kShortcut, "ssssn", -1, -1},
    {CommandId::kAddDesktopLink, "AddDesktopLink", kShortcut, "ssssn", -1, -1},
};
constexpr size_t kCommandCount = sizeof kCommandTable / sizeof kCommandTable[0];
static_assert(kCommandCount == static_cast<size_t>(CommandId::kCount), "one row per command");

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

const CommandInfo* CommandTable(size_t* count) {
  *count = kCommandCount;
  return kCommandTable;
}

const CommandInfo& GetCommandInfo(CommandId id) { return kCommandTable[static_cast<size_t>(id)]; }

const CommandInfo* FindCommandInfo(const char* name) {
  if (name == nullptr) return nullptr;
  for (const CommandInfo& c : kCommandTable) {
    if (CompareNoCase(name, c.name) == 0) return &c;
  }
  return nullptr;
}

bool ParseChecksumText(const char* text, uint32_t* value, bool* exact) {
  if (text == nullptr || HexDigit(text[0]) < 0) return false;
  uint32_t v = 0;
  int i = 0;
  for (; i < 8 && HexDigit(text[i]) >= 0; ++i)
    v = (v << 4) | static_cast<uint32_t>(HexDigit(text[i]));
  *value = v;
  if (exact != nullptr) *exact = i == 8 && text[8] == '\0';
  return true;
}

std::string ChecksumText(uint32_t value) {
  char buffer[9];
  std::snprintf(buffer, sizeof buffer, "%08X", value);
  return buffer;
}

}  // namespace upkeep
