#include <windows.h>

#include <vector>

#include "platform/registry.h"
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
  // What the test set, by value; absent ones are kept deleted.
  std::string values[3];
  std::unique_ptr<Registry> registry;
  bool set[3] = {false, false, false};

  void Apply(ShellFolderValue which) const {
    HKEY key = OpenFolders(RootOf(which));
    if (key == nullptr) return;
    int i = static_cast<int>(which);
    if (!set[i]) {
      RegDeleteValueA(key, NameOf(which));
    } else {
      RegSetValueExA(key, NameOf(which), 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(values[i].c_str()),
                     static_cast<DWORD>(values[i].size() + 1));
    }
    RegCloseKey(key);
  }
};

namespace {

// The shell writes its own idea of the folders into "Shell Folders" whenever
// it resolves one (saving a shortcut does), so the test's values are put back
// just before every read, which then goes to the real registry.
class ReapplyingRegistry : public Registry {
 public:
  explicit ReapplyingRegistry(const ShellTestMachine::State* state) : state_(state) {}
  int32_t OpenKey(RegistryRoot root, const std::string& path,
                  std::unique_ptr<RegistryKey>* key) override {
    for (ShellFolderValue which : {ShellFolderValue::kCommonStartMenu,
                                   ShellFolderValue::kUserStartMenu, ShellFolderValue::kDesktop}) {
      state_->Apply(which);
    }
    return DefaultRegistry()->OpenKey(root, path, key);
  }

 private:
  const ShellTestMachine::State* state_;
};

}  // namespace

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
  s.registry.reset(new ReapplyingRegistry(&s));
  SetRegistry(s.registry.get());
}

ShellTestMachine::~ShellTestMachine() {
  SetRegistry(nullptr);
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
  int i = static_cast<int>(which);
  state_->set[i] = path != nullptr;
  state_->values[i] = path != nullptr ? path : "";
  state_->Apply(which);
}

}  // namespace test
}  // namespace upkeep
