// A throwaway machine for the shortcut tests: a scratch folder reachable as a
// "C:\..." path, and the registry's shell folder values pointed wherever a
// test wants them. Linux builds a fresh Wine prefix (drive C:, system.reg,
// user.reg) and points WINEPREFIX at it; Windows uses a folder under the
// temporary directory and sets the values in the running registry, putting
// them back before every read through the registry seam (the shell rewrites
// them when it resolves a folder) and the old ones back afterwards.
#ifndef UPKEEP_TESTS_SHELL_TEST_MACHINE_H_
#define UPKEEP_TESTS_SHELL_TEST_MACHINE_H_

#include <memory>
#include <string>

namespace upkeep {
namespace test {

enum class ShellFolderValue { kCommonStartMenu, kUserStartMenu, kDesktop };

class ShellTestMachine {
 public:
  ShellTestMachine();
  ~ShellTestMachine();
  ShellTestMachine(const ShellTestMachine&) = delete;
  ShellTestMachine& operator=(const ShellTestMachine&) = delete;

  bool ok() const;
  // The scratch folder as a "C:\..." path, without a trailing '\'.
  const std::string& root() const;
  // root() + '\' + relative.
  std::string Path(const std::string& relative) const;
  // Null removes the value.
  void SetFolder(ShellFolderValue which, const char* path);

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace test
}  // namespace upkeep

#endif  // UPKEEP_TESTS_SHELL_TEST_MACHINE_H_
