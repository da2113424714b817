#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "shell_test_machine.h"
#include "test_util.h"

namespace upkeep {
namespace test {

namespace fs = std::filesystem;

struct ShellTestMachine::State {
  TempDir dir;
  std::string prefix;
  std::string root;
  bool hadPrefix = false;
  std::string oldPrefix;
  bool ok = false;
  std::map<ShellFolderValue, std::string> values;
};

namespace {

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

const char kFoldersKey[] =
    "Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Explorer\\\\Shell Folders";

void WriteHives(const ShellTestMachine::State& s) {
  std::string machine = "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n";
  std::string user = "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21-0\n\n";
  machine += std::string("[") + kFoldersKey + "] 1700000000\n";
  user += std::string("[") + kFoldersKey + "] 1700000000\n";
  for (const auto& v : s.values) {
    const char* name = v.first == ShellFolderValue::kCommonStartMenu ? "Common Start Menu"
                       : v.first == ShellFolderValue::kUserStartMenu ? "Start Menu"
                                                                     : "Desktop";
    std::string line = std::string("\"") + name + "\"=\"" + Escape(v.second) + "\"\n";
    (v.first == ShellFolderValue::kCommonStartMenu ? machine : user) += line;
  }
  WriteFileText(s.prefix + "/system.reg", machine);
  WriteFileText(s.prefix + "/user.reg", user);
}

}  // namespace

ShellTestMachine::ShellTestMachine() : state_(new State) {
  State& s = *state_;
  s.prefix = s.dir.Join("prefix");
  std::error_code ec;
  fs::create_directories(s.prefix + "/drive_c/scratch", ec);
  fs::create_directories(s.prefix + "/dosdevices", ec);
  fs::create_directory_symlink("../drive_c", s.prefix + "/dosdevices/c:", ec);
  s.ok = !ec;
  const char* old = getenv("WINEPREFIX");
  s.hadPrefix = old != nullptr;
  if (old != nullptr) s.oldPrefix = old;
  setenv("WINEPREFIX", s.prefix.c_str(), 1);
  s.root = "C:\\scratch";
  WriteHives(s);
}

ShellTestMachine::~ShellTestMachine() {
  if (state_->hadPrefix) {
    setenv("WINEPREFIX", state_->oldPrefix.c_str(), 1);
  } else {
    unsetenv("WINEPREFIX");
  }
}

bool ShellTestMachine::ok() const { return state_->ok; }
const std::string& ShellTestMachine::root() const { return state_->root; }
std::string ShellTestMachine::Path(const std::string& relative) const {
  return state_->root + "\\" + relative;
}

void ShellTestMachine::SetFolder(ShellFolderValue which, const char* path) {
  if (path == nullptr) {
    state_->values.erase(which);
  } else {
    state_->values[which] = path;
  }
  WriteHives(*state_);
}

}  // namespace test
}  // namespace upkeep
