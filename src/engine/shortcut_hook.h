// Where the shortcut commands plug into the dispatcher. The engine knows their
// skip rule and progress texts; the work itself belongs to the shell module,
// which registers its handlers here at start-up. A command without a
// registered handler is passed over.
#ifndef UPKEEP_ENGINE_SHORTCUT_HOOK_H_
#define UPKEEP_ENGINE_SHORTCUT_HOOK_H_

#include "engine/command_context.h"
#include "script/command_schema.h"
#include "script/script_call.h"

namespace upkeep {

// Shortcut commands never stop a run, so a handler returns nothing. It reads
// its arguments from the call (absent ones per the argument access rules) and
// linkBaseDir, log and gameExecutable from the context.
using ShortcutHandler = void (*)(CommandContext& context, const ScriptCall& call);

// For the commands of CommandGroup::kShortcut; any other is refused (and has
// no handler). Null unregisters. Call before a run starts; not synchronised.
void RegisterShortcutHandler(CommandId command, ShortcutHandler handler);
ShortcutHandler GetShortcutHandler(CommandId command);

}  // namespace upkeep

#endif  // UPKEEP_ENGINE_SHORTCUT_HOOK_H_
