// Tests that need a machine set up from outside (tests/wine/driver.sh): the
// driver against the system's own registry, and the single-instance guard
// across processes. Without their environment they are skipped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/startup.h"
#include "app_test_util.h"
#include "authoring/payload_writer.h"
#include "engine_test_util.h"
#include "platform/instance_guard.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace upkeep {
namespace {

std::string Env(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

// UPKEEP_REAL_GAME names a game directory (Windows form) that the registry
// value "InstallPath" under HKLM\Software\Upkeep Wine Test\Game points at,
// with a trailing backslash; UPKEEP_REAL_GAME_NATIVE is the same folder for
// this process's file functions.
class AppDriverRealRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    game_ = Env("UPKEEP_REAL_GAME");
    native_ = Env("UPKEEP_REAL_GAME_NATIVE");
    if (game_.empty() || native_.empty()) {
      GTEST_SKIP() << "needs UPKEEP_REAL_GAME";
    }
  }
  std::string game_;
  std::string native_;
};

// A fixture whose registry is the system's: the fake one is taken out again.
void UseRealRegistry() { SetRegistry(nullptr); }

TEST_F(AppDriverRealRegistry, WholeUpdateFromTheSystemsRegistry) {
  test::DriverFixture f;
  UseRealRegistry();
  f.strings["REG_KEY"] = "Software\\Upkeep Wine Test\\Game";
  f.strings["REG_DESTINATION"] = "InstallPath";
  ASSERT_TRUE(test::WriteFileBytes(native_ + "/game.exe", test::GameExecutable("1.0.0.0en")));
  const std::vector<uint8_t> content = {'w', 'i', 'n', 'e'};
  f.AddEntry("00000001.FILE", EncodePayload(content));
  f.Run("all() { CreateFile(\"made.txt\", \"00000001.FILE\", " + test::Lit(test::CrcText(content)) +
        ") }\r\n");
  ASSERT_EQ(f.host.finished.size(), 1u);
  EXPECT_EQ(f.host.finished[0], UpdateOutcome::Succeeded);
  EXPECT_EQ(f.host.boxes.back().text, "success");
  EXPECT_EQ(test::ReadFileText(native_ + "/made.txt"), "wine");
  // The value's trailing backslash is gone from every path.
  std::string dir = game_;
  if (!dir.empty() && dir.back() == '\\') dir.pop_back();
  EXPECT_EQ(test::ReadFileText(native_ + "/patch.log"),
            "Created file: " + dir + "\\made.txt\r\n" + test::FinalLine("success"));

  test::DriverFixture missing;
  UseRealRegistry();
  missing.strings["REG_KEY"] = "Software\\Upkeep Wine Test\\Game";
  missing.strings["REG_DESTINATION"] = "NoSuchValue";
  missing.Run("all() { }\r\n");
  ASSERT_EQ(missing.host.finished.size(), 1u);
  EXPECT_EQ(missing.host.finished[0], UpdateOutcome::Failed);
  EXPECT_EQ(missing.host.boxes.back().text, "no registry entry [Old Game|Old Game|New Game]");
}

// UPKEEP_GUARD_CHILD=claim: claims the slot of this program file and writes
// "claimed" or "refused" to UPKEEP_GUARD_RESULT; then, when
// UPKEEP_GUARD_RELEASE names a file, waits until that file exists.
// UPKEEP_GUARD_START, when set, is a file to wait for before claiming (a
// process that started early and reaches its guard late).
TEST(AppInstanceGuardChild, Claim) {
  if (Env("UPKEEP_GUARD_CHILD") != "claim") {
    GTEST_SKIP() << "run by tests/wine/driver.sh";
  }
  auto wait_for = [](const std::string& file) {
    for (int i = 0; i < 3000 && !PathExists(file); ++i) SleepMs(20);
    return PathExists(file);
  };
  AttachInstanceCounter();  // what start-up does first
  test::ScopedStrings strings(test::DefaultStrings());
  const std::string start = Env("UPKEEP_GUARD_START");
  if (!start.empty()) {
    // Joins the counter now, as a process start does, and claims later.
    ASSERT_TRUE(test::WriteFileText(Env("UPKEEP_GUARD_RESULT") + ".started", "yes"));
    ASSERT_TRUE(wait_for(start));
  }
  std::string text;
  std::string caption;
  const bool claimed = ClaimSingleInstance(&text, &caption);
  EXPECT_EQ(text, "already running [New Game]");
  EXPECT_EQ(caption, "New Game update");
  ASSERT_TRUE(test::WriteFileText(Env("UPKEEP_GUARD_RESULT"), claimed ? "claimed" : "refused"));
  const std::string release = Env("UPKEEP_GUARD_RELEASE");
  if (!release.empty()) {
    EXPECT_TRUE(wait_for(release));
  }
}

}  // namespace
}  // namespace upkeep
