// The six script commands that keep the Start Menu and Desktop shortcuts in
// step with an update. They never stop a run; the dispatcher skips them under
// skipShortcuts and shows their progress text afterwards.
#ifndef UPKEEP_SHELL_SHORTCUT_COMMANDS_H_
#define UPKEEP_SHELL_SHORTCUT_COMMANDS_H_

#include "engine/command_context.h"
#include "script/script_call.h"

namespace upkeep {

void UpdateStartMenuLinkCommand(CommandContext& context, const ScriptCall& call);
void UpdateStartMenuLinkToFileCommand(CommandContext& context, const ScriptCall& call);
void UpdateDesktopLinkCommand(CommandContext& context, const ScriptCall& call);
void UpdateDesktopLinkToFileCommand(CommandContext& context, const ScriptCall& call);
void AddStartMenuLinkCommand(CommandContext& context, const ScriptCall& call);
void AddDesktopLinkCommand(CommandContext& context, const ScriptCall& call);

// Hands the six handlers to the dispatcher; call once before a run.
void RegisterShortcutCommands();

}  // namespace upkeep

#endif  // UPKEEP_SHELL_SHORTCUT_COMMANDS_H_
