#include <windows.h>

#include <vector>

#include "shell_test_machine.h"
#include "test_util.h"

namespace upkeep {
namespace test {

namespace {

const char kMachineKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const char kUserKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

struct Saved {
  HKEY root;
  const char* name;
  bool present = false;
  DWORD type = REG_SZ;
  std::vector<BYTE> data;
};

HKEY RootOf(ShellFolderValue which) {
  return which == ShellFolderValue::kCommonStartMenu ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}
const char* NameOf(ShellFolderValue which) {
  return which == ShellFolderValue::kCommonStartMenu ? "Common Start Menu"
         : which == ShellFolderValue::kUserStartMenu ? "Start Menu"
                                                     : "Desktop";
}

HKEY OpenFolders(HKEY root) {
  HKEY key = nullptr;
  const char* path = root == HKEY_LOCAL_MACHINE ? kMachineKey : kUserKey;
  if (RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return nullptr;
  }
  return key;
}

}  // namespace

struct ShellTestMachine::State {
  TempDir dir;
  std::string root;
  bool ok = false;
  std::vector<Saved> saved;
};

ShellTestMachine::ShellTestMachine() : state_(new State) {
  State& s = *state_;
  s.root = s.dir.path();
  while (!s.root.empty() && s.root.back() == '\\') s.root.pop_back();
  s.ok = s.root.size() > 3 && s.root[1] == ':';
  for (ShellFolderValue which : {ShellFolderValue::kCommonStartMenu,
                                 ShellFolderValue::kUserStartMenu, ShellFolderValue::kDesktop}) {
    Saved entry;
    entry.root = RootOf(which);
    entry.name = NameOf(which);
    HKEY key = OpenFolders(entry.root);
    if (key == nullptr) {
      s.ok = false;
      continue;
    }
    DWORD size = 0;
    if (RegQueryValueExA(key, entry.name, nullptr, &entry.type, nullptr, &size) == ERROR_SUCCESS) {
      entry.data.resize(size);
      entry.present = RegQueryValueExA(key, entry.name, nullptr, &entry.type, entry.data.data(),
                                       &size) == ERROR_SUCCESS;
    }
    RegDeleteValueA(key, entry.name);
    RegCloseKey(key);
    s.saved.push_back(entry);
  }
}

ShellTestMachine::~ShellTestMachine() {
  for (const Saved& entry : state_->saved) {
    HKEY key = OpenFolders(entry.root);
    if (key == nullptr) continue;
    if (entry.present) {
      RegSetValueExA(key, entry.name, 0, entry.type, entry.data.data(),
                     static_cast<DWORD>(entry.data.size()));
    } else {
      RegDeleteValueA(key, entry.name);
    }
    RegCloseKey(key);
  }
}

bool ShellTestMachine::ok() const { return state_->ok; }
const std::string& ShellTestMachine::root() const { return state_->root; }
std::string ShellTestMachine::Path(const std::string& relative) const {
  return state_->root + "\\" + relative;
}

void ShellTestMachine::SetFolder(ShellFolderValue which, const char* path) {
  HKEY key = OpenFolders(RootOf(which));
  if (key == nullptr) return;
  if (path == nullptr) {
    RegDeleteValueA(key, NameOf(which));
  } else {
    RegSetValueExA(key, NameOf(which), 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                   static_cast<DWORD>(strlen(path) + 1));
  }
  RegCloseKey(key);
}

}  // namespace test
}  // namespace upkeep
