#include "engine/shortcut_hook.h"

namespace upkeep {

namespace {

ShortcutHandler g_handlers[static_cast<int>(CommandId::kCount)] = {};

bool IsShortcut(CommandId command) {
  int i = static_cast<int>(command);
  return i >= 0 && i < static_cast<int>(CommandId::kCount) &&
         GetCommandInfo(command).group == CommandGroup::kShortcut;
}

}  // namespace

void RegisterShortcutHandler(CommandId command, ShortcutHandler handler) {
  if (IsShortcut(command)) g_handlers[static_cast<int>(command)] = handler;
}

ShortcutHandler GetShortcutHandler(CommandId command) {
  return IsShortcut(command) ? g_handlers[static_cast<int>(command)] : nullptr;
}

}  // namespace upkeep
