// Fixtures for the update driver and start-up tests: a game directory with a
// versioned executable, a registry that holds what a test puts in it, a
// string table of the test's own, a package built with the authoring writers,
// and a front end that records everything the driver asks of it.
#ifndef UPKEEP_TESTS_APP_TEST_UTIL_H_
#define UPKEEP_TESTS_APP_TEST_UTIL_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/host.h"
#include "app/update_driver.h"
#include "authoring/archive_writer.h"
#include "platform/registry.h"
#include "test_util.h"

namespace upkeep {
namespace test {

// HKEY_LOCAL_MACHINE as a map; installed while it lives.
class FakeRegistry : public Registry {
 public:
  FakeRegistry();
  ~FakeRegistry() override;
  // A string value, stored with its terminator as the registry keeps it.
  void SetString(const std::string& key, const std::string& name, const std::string& value);
  int32_t OpenKey(RegistryRoot root, const std::string& path,
                  std::unique_ptr<RegistryKey>* key) override;

 private:
  std::map<std::string, std::map<std::string, std::vector<uint8_t>>> keys_;
};

struct Box {
  std::string text;
  std::string caption;
  MessageIcon icon;
  MessageButtons buttons;
};

struct Progress {
  int32_t overall;
  int32_t step;
  std::string file;
  std::string operation;
};

class FakeHost : public UpdateHost {
 public:
  bool skipSpaceCheck = false;
  bool skipShortcuts = false;
  // Answers to boxes with more than one button, in order; Cancel when none
  // is left. `onBox` runs before each answer.
  std::deque<int> answers;
  std::function<void(const Box&)> onBox;
  // Runs when the outcome arrives, before it is recorded.
  std::function<void()> onFinished;
  // Asked whenever the driver asks whether to stop; none: never.
  std::function<bool()> stopWhen;

  std::vector<Box> boxes;
  std::vector<UpdateOutcome> finished;
  std::vector<std::string> opened;
  std::vector<Progress> progress;
  // What LogWritten named.
  std::vector<std::string> logs;
  // "box", "finished", "open", "log" in the order they came.
  std::vector<std::string> events;

  bool SkipSpaceCheck() const override { return skipSpaceCheck; }
  bool SkipShortcuts() const override { return skipShortcuts; }
  int ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon,
                  MessageButtons buttons) override;
  void Finished(UpdateOutcome outcome) override;
  void ShellOpen(const std::string& path) override;
  void SetProgress(int32_t overall, int32_t step, const char* operationText,
                   const char* fileName) override;
  bool StopRequested() const override { return stopWhen && stopWhen(); }
  void LogWritten(const std::string& path) override;

  // Operation texts of the progress reports, in order.
  std::vector<std::string> Operations() const;
};

// The texts of the test string table: every message shows its inserts so a
// test sees which arguments reached it.
std::map<std::string, std::string> DefaultStrings();

// Empties the process-wide string table and fills it; the destructor empties
// it again.
class ScopedStrings {
 public:
  explicit ScopedStrings(const std::map<std::string, std::string>& strings);
  ~ScopedStrings();
};

// A version-resource program file whose ProductVersion is `productVersion`.
std::vector<uint8_t> GameExecutable(const std::string& productVersion);

// One whole driver run against a temporary installation.
class DriverFixture {
 public:
  DriverFixture();
  ~DriverFixture();

  // The game directory as the registry names it.
  const std::string& game() const { return game_.path(); }
  std::string Native(const std::string& relative) const { return game_.Join(relative); }
  void Write(const std::string& relative, const std::string& text);
  void MakeDir(const std::string& relative);
  bool Exists(const std::string& relative) const;
  std::string Read(const std::string& relative) const;

  // Settings: start from DefaultStrings(); the registry entry points at the
  // game directory; the executable "game.exe" has ProductVersion "1.0.0.0en".
  std::map<std::string, std::string> strings;
  FakeRegistry registry;
  void SetInstallPath(const std::string& path);

  // Package content besides "patch.scr".
  void AddEntry(const std::string& name, const std::vector<uint8_t>& data);
  // The program path the driver asks for (the package unless changed).
  std::string programPath;

  // Builds the package with the prelude and `script`, mounts it as start-up
  // does, runs UpdateDriver and unmounts it. Fills host, sleeps.
  void Run(const std::string& script);
  FakeHost host;
  std::vector<uint32_t> sleeps;
  const std::string& packagePath() const { return package_path_; }

  static const char kRegKey[];
  static const char kRegValue[];

 private:
  TempDir game_;
  TempDir package_dir_;
  std::string package_path_;
  std::vector<ArchiveEntry> entries_;
};

// "\r\nFinal update state:\r\n<text>\r\n": the driver's last line.
std::string FinalLine(const std::string& text);

}  // namespace test
}  // namespace upkeep

#endif  // UPKEEP_TESTS_APP_TEST_UTIL_H_
