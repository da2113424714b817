#include "engine/shortcut_hook.h"

namespace upkeep {

namespace {
ShortcutHandler g_handlers[static_cast<int>(ShortcutCommand::kCount)] = {};
}

void RegisterShortcutHandler(ShortcutCommand command, ShortcutHandler handler) {
  int i = static_cast<int>(command);
  if (i >= 0 && i < static_cast<int>(ShortcutCommand::kCount)) g_handlers[i] = handler;
}

ShortcutHandler GetShortcutHandler(ShortcutCommand command) {
  int i = static_cast<int>(command);
  if (i < 0 || i >= static_cast<int>(ShortcutCommand::kCount)) return nullptr;
  return g_handlers[i];
}

}  // namespace upkeep
