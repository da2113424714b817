#include "shell/shortcut_commands.h"

#include <string>

#include "engine/shortcut_hook.h"
#include "platform/shell_link.h"
#include "shell/shell_folders.h"
#include "shell/shortcut_links.h"

namespace upkeep {

namespace {

enum class Folder { kStartMenu, kDesktop };

// A string argument that is missing or not a string counts as empty.
std::string Text(const ScriptCall& call, int index) {
  const char* text = StringArgument(&call, index);
  return text != nullptr ? text : "";
}

// One command's use of the link service, ended on every way out.
class LinkSession {
 public:
  LinkSession() : links_(GetShellLinks()) { links_->Begin(); }
  ~LinkSession() { links_->End(); }
  LinkSession(const LinkSession&) = delete;
  LinkSession& operator=(const LinkSession&) = delete;

 private:
  ShellLinks* links_;
};

bool GetFolder(Folder which, std::string* folder) {
  return which == Folder::kStartMenu ? GetStartMenuFolder(folder) : GetDesktopFolder(folder);
}

void UpdateLinks(CommandContext& context, const ScriptCall& call, Folder which, bool toFile) {
  RetargetRequest request;
  if (toFile) {
    request.oldTarget = Text(call, 0);
    request.newTarget = Text(call, 1);
    request.ignoreArguments = true;
  } else {
    request.oldTarget = Text(call, 0);
    request.oldArguments = Text(call, 1);
    request.newTarget = Text(call, 2);
    request.newArguments = Text(call, 3);
  }
  request.baseDir = context.linkBaseDir;
  request.log = context.log;
  LinkSession session;
  std::string folder;
  if (GetFolder(which, &folder)) ReplaceShortcutsTargets(folder, request);
}

void AddLink(CommandContext& context, const ScriptCall& call, Folder which) {
  LinkSession session;
  std::string game = context.linkBaseDir + context.gameExecutable;
  std::string folder;
  if (!GetFolder(which, &folder)) return;
  if (which == Folder::kStartMenu) {
    GetGameStartMenuPath(&folder, game);
  } else if (!FolderHasLinkTo(folder, game)) {
    return;
  }
  CreateShortcut(JoinShellPath(folder, ""), Text(call, 0), Text(call, 1), Text(call, 2),
                 Text(call, 3), IntegerArgument(&call, 4), context.linkBaseDir, context.log);
}

}  // namespace

void UpdateStartMenuLinkCommand(CommandContext& context, const ScriptCall& call) {
  UpdateLinks(context, call, Folder::kStartMenu, false);
}

void UpdateStartMenuLinkToFileCommand(CommandContext& context, const ScriptCall& call) {
  UpdateLinks(context, call, Folder::kStartMenu, true);
}

void UpdateDesktopLinkCommand(CommandContext& context, const ScriptCall& call) {
  UpdateLinks(context, call, Folder::kDesktop, false);
}

void UpdateDesktopLinkToFileCommand(CommandContext& context, const ScriptCall& call) {
  UpdateLinks(context, call, Folder::kDesktop, true);
}

void AddStartMenuLinkCommand(CommandContext& context, const ScriptCall& call) {
  AddLink(context, call, Folder::kStartMenu);
}

void AddDesktopLinkCommand(CommandContext& context, const ScriptCall& call) {
  AddLink(context, call, Folder::kDesktop);
}

void RegisterShortcutCommands() {
  RegisterShortcutHandler(CommandId::kUpdateStartMenuLink, UpdateStartMenuLinkCommand);
  RegisterShortcutHandler(CommandId::kUpdateStartMenuLinkToFile, UpdateStartMenuLinkToFileCommand);
  RegisterShortcutHandler(CommandId::kUpdateDesktopLink, UpdateDesktopLinkCommand);
  RegisterShortcutHandler(CommandId::kUpdateDesktopLinkToFile, UpdateDesktopLinkToFileCommand);
  RegisterShortcutHandler(CommandId::kAddStartMenuLink, AddStartMenuLinkCommand);
  RegisterShortcutHandler(CommandId::kAddDesktopLink, AddDesktopLinkCommand);
}

}  // namespace upkeep
