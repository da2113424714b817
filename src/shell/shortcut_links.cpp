#include "shell/shortcut_links.h"

#include <memory>
#include <vector>

#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/shell_link.h"

namespace upkeep {

namespace {

bool EqualFoldAscii(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// GetLongPathNameA in place: a path that cannot be converted stays as written.
std::string LongForm(const std::string& path) {
  std::string spelled = GetFileSystem()->GetLongPath(path);
  return spelled.empty() ? path : spelled;
}

bool IsDots(const std::string& name) { return name == "." || name == ".."; }

bool IsDirectoryEntry(const FindEntry& e) { return (e.attributes & kAttrDirectory) != 0; }

// The walk's own test: exactly ".lnk" in lower case, after at least one character.
bool HasLowerLnkExtension(const std::string& name) {
  return name.size() > 4 && name.compare(name.size() - 4, 4, ".lnk") == 0;
}

void Log(PackageFile* log, const char* format, const std::string& a) {
  if (log != nullptr) PrintfPackageFile(log, format, a.c_str());
}

void Log(PackageFile* log, const char* format, const std::string& a, const std::string& b) {
  if (log != nullptr) PrintfPackageFile(log, format, a.c_str(), b.c_str());
}

// Puts the current directory back on every way out of a walk.
class CurrentDirGuard {
 public:
  CurrentDirGuard() : saved_(GetFileSystem()->GetCurrentDir()) {}
  ~CurrentDirGuard() {
    if (!saved_.empty()) GetFileSystem()->SetCurrentDir(saved_);
  }
  CurrentDirGuard(const CurrentDirGuard&) = delete;
  CurrentDirGuard& operator=(const CurrentDirGuard&) = delete;

 private:
  std::string saved_;
};

// A listing of the folder's entries: the folder and the mask with one separator.
std::string ListPattern(const std::string& folder, const char* mask) {
  if (!folder.empty() && folder.back() == '\\') return folder + mask;
  return folder + "\\" + mask;
}

// One folder of a depth-first walk and how far its listing has been handled.
struct WalkFrame {
  std::string folder;
  std::vector<FindEntry> entries;
  size_t next = 0;
};

// Enters the folder and lists it; false (after the debugger message) when it
// cannot be entered.
bool EnterFolder(const std::string& folder, const char* message, WalkFrame* frame) {
  FileSystem* fs = GetFileSystem();
  if (!fs->SetCurrentDir(folder)) {
    DebugOutput(message);
    return false;
  }
  frame->folder = folder;
  frame->next = 0;
  if (!fs->Find(ListPattern(folder, "*.*"), &frame->entries)) frame->entries.clear();
  return true;
}

bool Matches(const std::string& link, const std::string& wanted, const RetargetRequest& request) {
  std::string target, arguments;
  LinkText t = ReadLinkTarget(link, &target);
  // Arguments are read whatever the request, as the shell would be asked.
  LinkText a = ReadLinkArguments(link, &arguments);
  // Arguments that are not compared cannot keep a shortcut from matching.
  if (t == LinkText::kTooLong || (a == LinkText::kTooLong && !request.ignoreArguments)) {
    return false;
  }
  if (!EqualFoldAscii(LongForm(target), LongForm(wanted))) return false;
  return request.ignoreArguments || EqualFoldAscii(arguments, request.oldArguments);
}

}  // namespace

std::string JoinShellPath(const std::string& folder, const std::string& name) {
  return folder + "\\" + name;
}

namespace {

// One text of a shortcut, through the given getter of the link object.
LinkText ReadLinkText(const std::string& link, bool (ShellLink::*get)(std::string*),
                      const char* failure, std::string* out) {
  out->clear();
  std::unique_ptr<ShellLink> object = GetShellLinks()->Create();
  if (object == nullptr || !object->Load(link)) return LinkText::kUnreadable;
  std::string text;
  if (!((*object).*get)(&text)) {
    DebugOutput(failure);
    return LinkText::kUnreadable;
  }
  if (text.size() > kMaxShellPath) return LinkText::kTooLong;
  *out = text;
  return LinkText::kRead;
}

}  // namespace

LinkText ReadLinkTarget(const std::string& link, std::string* target) {
  return ReadLinkText(link, &ShellLink::GetPath, "GetPath failed!", target);
}

LinkText ReadLinkArguments(const std::string& link, std::string* arguments) {
  return ReadLinkText(link, &ShellLink::GetArguments, "GetArguments failed!", arguments);
}

void RetargetLink(const std::string& link, const std::string& newTarget,
                  const std::string& newArguments, PackageFile* log, bool ignoreArguments) {
  std::unique_ptr<ShellLink> object = GetShellLinks()->Create();
  if (object == nullptr || !object->Load(link)) return;
  bool set = object->SetPath(newTarget);
  if (!ignoreArguments && !object->SetArguments(newArguments)) set = false;
  // A shortcut that could not be written is not updated, whatever was set.
  if (set && object->Save(link)) {
    Log(log, "Updated Shortcut %s , new target: %s\n", link, newTarget);
  } else {
    Log(log, "Can't set new target path - link %s , new target: %s\n", link, newTarget);
  }
}

void ReplaceShortcutsTargets(const std::string& folder, const RetargetRequest& request) {
  std::string wanted = request.baseDir + request.oldTarget;
  std::string newTarget = request.baseDir + request.newTarget;
  if (folder.size() > kMaxShellPath || wanted.size() > kMaxShellPath ||
      newTarget.size() > kMaxShellPath ||
      (!request.ignoreArguments && (request.oldArguments.size() > kMaxShellPath ||
                                    request.newArguments.size() > kMaxShellPath))) {
    return;
  }
  const char* message = "ReplaceShortcutsTargets: Can't change directory";
  CurrentDirGuard guard;
  // An explicit stack instead of recursion: entries are handled in listing
  // order, a subfolder in full before the next entry of its parent.
  std::vector<WalkFrame> stack(1);
  if (!EnterFolder(folder, message, &stack.back())) return;
  while (!stack.empty()) {
    WalkFrame& top = stack.back();
    if (top.next >= top.entries.size()) {
      stack.pop_back();
      continue;
    }
    FindEntry entry = top.entries[top.next++];
    std::string path = JoinShellPath(top.folder, entry.name);
    if (path.size() > kMaxShellPath) continue;
    if (IsDirectoryEntry(entry)) {
      if (IsDots(entry.name)) continue;
      WalkFrame frame;
      if (EnterFolder(path, message, &frame)) stack.push_back(std::move(frame));
    } else if (HasLowerLnkExtension(entry.name) && Matches(path, wanted, request)) {
      RetargetLink(path, newTarget, request.newArguments, request.log, request.ignoreArguments);
    }
  }
}

bool LinkPointsTo(const std::string& link, const std::string& file) {
  std::string target;
  if (ReadLinkTarget(link, &target) == LinkText::kTooLong) return false;
  // A shortcut with no target leads nowhere, whatever `file` is.
  if (target.empty()) return false;
  return EqualFoldAscii(LongForm(target), LongForm(file));
}

bool FolderHasLinkTo(const std::string& folder, const std::string& file) {
  FileSystem* fs = GetFileSystem();
  CurrentDirGuard guard;
  if (folder.size() > kMaxShellPath || !fs->SetCurrentDir(folder)) return false;
  std::vector<FindEntry> entries;
  if (!fs->Find(ListPattern(folder, "*.lnk"), &entries)) return false;
  for (const FindEntry& entry : entries) {
    std::string link = JoinShellPath(folder, entry.name);
    if (link.size() > kMaxShellPath || IsDirectoryEntry(entry)) continue;
    if (LinkPointsTo(link, file)) return true;
  }
  return false;
}

bool GetGameStartMenuPath(std::string* folder, const std::string& file) {
  const char* message = "GetGameStartMenuPath: Can't change directory";
  if (folder->size() > kMaxShellPath) return false;
  CurrentDirGuard guard;
  // Each folder is entered, listed and searched for the shortcut before any
  // of its subfolders; a folder with an empty listing is not searched.
  auto visit = [&](const std::string& dir, std::vector<WalkFrame>* stack) -> bool {
    WalkFrame frame;
    if (!EnterFolder(dir, message, &frame) || frame.entries.empty()) return false;
    if (FolderHasLinkTo(dir, file)) return true;
    stack->push_back(std::move(frame));
    return false;
  };
  std::vector<WalkFrame> stack;
  if (visit(*folder, &stack)) return true;
  while (!stack.empty()) {
    WalkFrame& top = stack.back();
    if (top.next >= top.entries.size()) {
      stack.pop_back();
      continue;
    }
    FindEntry entry = top.entries[top.next++];
    if (!IsDirectoryEntry(entry) || IsDots(entry.name)) continue;
    std::string sub = JoinShellPath(top.folder, entry.name);
    if (sub.size() > kMaxShellPath) continue;
    if (visit(sub, &stack)) {
      *folder = sub;
      return true;
    }
  }
  return false;
}

void CreateShortcut(const std::string& folder, const std::string& name, const std::string& target,
                    const std::string& arguments, const std::string& iconFile, int32_t iconIndex,
                    const std::string& baseDir, PackageFile* log) {
  std::string link = folder + name;
  std::string targetPath = baseDir + target;
  std::string iconPath = baseDir + iconFile;
  if (link.size() > kMaxShellPath || targetPath.size() > kMaxShellPath ||
      arguments.size() > kMaxShellPath || iconPath.size() > kMaxShellPath) {
    return;
  }
  std::unique_ptr<ShellLink> object = GetShellLinks()->Create();
  if (object == nullptr) {
    Log(log, "Could not add shortcut: %s\n", link);
    return;
  }
  // A shortcut without its target, or one that was not written, is not added.
  bool ok = object->SetPath(targetPath);
  object->SetArguments(arguments);
  object->SetIconLocation(iconPath, iconIndex);
  if (ok && object->Save(link)) {
    Log(log, "Added shortcut: %s\n", link);
  } else {
    Log(log, "Could not add shortcut: %s\n", link);
  }
}

}  // namespace upkeep
