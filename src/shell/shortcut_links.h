// The operations behind the shortcut commands: reading and retargeting one
// shortcut, walking a folder tree for shortcuts to a target, finding the
// folder that holds the game's own shortcut, and creating a shortcut.
//
// Paths are ANSI texts of at most kMaxShellPath characters. Anything longer
// (a folder, a shortcut, a target, arguments) is left alone: the shortcut or
// folder concerned is skipped without a log line. Every walk and search puts
// the current directory back as it found it.
#ifndef UPKEEP_SHELL_SHORTCUT_LINKS_H_
#define UPKEEP_SHELL_SHORTCUT_LINKS_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "package/package.h"

namespace upkeep {

constexpr size_t kMaxShellPath = 259;

enum class LinkText {
  kRead,        // the text, possibly empty
  kUnreadable,  // the link or the property could not be read; the text is empty
  kTooLong,     // longer than kMaxShellPath; the text is empty
};

// The target in short (8.3) form where the system has one.
LinkText ReadLinkTarget(const std::string& link, std::string* target);
LinkText ReadLinkArguments(const std::string& link, std::string* arguments);

// Sets the target (and, unless ignoreArguments, the arguments) and saves the
// shortcut in place, logging the outcome; a shortcut that cannot be loaded is
// left alone silently.
void RetargetLink(const std::string& link, const std::string& newTarget,
                  const std::string& newArguments, PackageFile* log, bool ignoreArguments);

// One retargeting walk: shortcuts to baseDir + oldTarget (with oldArguments,
// unless ignoreArguments) get baseDir + newTarget and newArguments.
struct RetargetRequest {
  std::string oldTarget;
  std::string oldArguments;
  std::string newTarget;
  std::string newArguments;
  std::string baseDir;
  PackageFile* log = nullptr;
  bool ignoreArguments = false;
};

// Every "*.lnk" (lower-case extension) in the folder and all its subfolders.
void ReplaceShortcutsTargets(const std::string& folder, const RetargetRequest& request);

// True when the shortcut's target, in long form, is `file` in long form,
// letter case ignored.
bool LinkPointsTo(const std::string& link, const std::string& file);

// A shortcut directly in the folder (any letter case of ".lnk") to `file`.
bool FolderHasLinkTo(const std::string& folder, const std::string& file);

// Depth-first, each folder's own shortcuts before its subfolders: the first
// folder holding a shortcut to `file` replaces *folder. False, *folder
// unchanged, when there is none.
bool GetGameStartMenuPath(std::string* folder, const std::string& file);

// Creates or overwrites folder + name (folder ends in '\') pointing at
// baseDir + target, with the arguments and the icon baseDir + iconFile at
// iconIndex. Logs one line.
void CreateShortcut(const std::string& folder, const std::string& name, const std::string& target,
                    const std::string& arguments, const std::string& iconFile, int32_t iconIndex,
                    const std::string& baseDir, PackageFile* log);

// folder + '\' + name, as shortcut paths are built and logged (a folder that
// ends with '\' gives two; the file system reads them as one).
std::string JoinShellPath(const std::string& folder, const std::string& name);

}  // namespace upkeep

#endif  // UPKEEP_SHELL_SHORTCUT_LINKS_H_
