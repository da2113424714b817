#include <gtest/gtest.h>

#include <string>

#include "app/startup.h"
#include "app_test_util.h"

namespace upkeep {
namespace {

using test::DefaultStrings;
using test::ScopedStrings;

TEST(AppStartupOptions, CaseSensitiveSubstringsAnywhere) {
  EXPECT_FALSE(ParseOptions("").force);
  const StartupOptions glued = ParseOptions("-forcefully");
  EXPECT_TRUE(glued.force);
  EXPECT_FALSE(glued.skipSpaceCheck);
  EXPECT_FALSE(glued.skipShortcuts);
  EXPECT_FALSE(ParseOptions("-FORCE -Skipshortcuts").force);
  EXPECT_FALSE(ParseOptions("-FORCE -Skipshortcuts").skipShortcuts);
  const StartupOptions all = ParseOptions("x-skipshortcuts/-skipspacecheck--forcey");
  EXPECT_TRUE(all.force);
  EXPECT_TRUE(all.skipSpaceCheck);
  EXPECT_TRUE(all.skipShortcuts);
  EXPECT_TRUE(ParseOptions("\"C:\\a b\\-force\\x\"").force) << "no splitting into words";
}

TEST(AppStartupOptions, UnattendedOptionsAndTheLogFile) {
  struct Case {
    const char* line;
    bool force, silent, help, log;
    const char* file;
    bool version = false;
  };
  const Case cases[] = {
      {"-silent", true, true, false, false, ""},
      {"-Silent -HELP", false, false, false, false, ""},
      {"-silently-?", true, true, true, false, ""},
      {"x-helpx", false, false, true, false, ""},
      {"-log \"C:\\my logs\\a.log\" -force", true, false, false, true, "C:\\my logs\\a.log"},
      {"-log\tC:\\a.log -silent", true, true, false, true, "C:\\a.log"},
      {"-logC:\\glued.log", false, false, false, true, "C:\\glued.log"},
      {"-log \"unterminated name", false, false, false, true, "unterminated name"},
      {"-force -log   ", true, false, false, true, ""},
      {"-LOG a.log", false, false, false, false, ""},
      {"--version", false, false, false, false, "", true},
      {"-force\t--version", true, false, false, false, "", true},
      {"-log \"a --version b\" x--version --versions", false, false, false, true, "a --version b"},
      // The file of "-log" turns nothing on; the options around it still count.
      {"-log C:\\update-silent.log", false, false, false, true, "C:\\update-silent.log"},
      {"-log \"C:\\my -force -help\\x.log\" -silent", true, true, false, true,
       "C:\\my -force -help\\x.log"},
      {"-force-log C:\\-help.log", true, false, false, true, "C:\\-help.log"},
      {"-log C:\\-silent.log\t-skipshortcuts", false, false, false, true, "C:\\-silent.log"},
  };
  for (const Case& c : cases) {
    const StartupOptions o = ParseOptions(c.line);
    EXPECT_EQ(o.force, c.force) << c.line;
    EXPECT_EQ(o.silent, c.silent) << c.line;
    EXPECT_EQ(o.help, c.help) << c.line;
    EXPECT_EQ(o.log, c.log) << c.line;
    EXPECT_EQ(o.logFile, c.file) << c.line;
    EXPECT_EQ(o.version, c.version) << c.line;
  }
}

TEST(AppStartupTexts, CaptionListsVersionsOrLeavesThemOut) {
  auto strings = DefaultStrings();
  strings["GAME_VERSION"] = "1.0;1.1;";
  {
    ScopedStrings table(strings);
    EXPECT_EQ(DialogCaption(), "New Game 1.0, 1.1,  -> 1.0.0.2");
  }
  strings["GAME_VERSION"] = "";
  {
    ScopedStrings table(strings);
    EXPECT_EQ(DialogCaption(), "New Game -> 1.0.0.2");
  }
}

TEST(AppStartupTexts, InfoOutcomeAndMessageTextsCarryTheirInserts) {
  ScopedStrings table(DefaultStrings());
  EXPECT_EQ(InfoText(), "notes [Old Game|Old Game|Old Game|Old Game]");
  EXPECT_EQ(OutcomeText(UpdateOutcome::Interrupted), "skipped [Old Game]");
  EXPECT_EQ(OutcomeText(UpdateOutcome::Succeeded), "succeeded [Old Game]");
  EXPECT_EQ(OutcomeText(UpdateOutcome::Failed), "failed [Old Game|New Game]");
  EXPECT_EQ(MessageCaption(), "New Game update");
  EXPECT_EQ(UpdateQuestion(), "Update now?");
  EXPECT_TRUE(CanUpdateAgain(UpdateOutcome::Interrupted));
  EXPECT_FALSE(CanUpdateAgain(UpdateOutcome::Succeeded));
  EXPECT_FALSE(CanUpdateAgain(UpdateOutcome::Failed));
}

TEST(AppStartupTexts, WithoutAStringTableTokensShow) {
  ScopedStrings table({});
  EXPECT_EQ(MessageCaption(), "&IDS_TITLE&");
  EXPECT_EQ(DialogCaption(), "&UPDATE_TITLE&");
}

TEST(AppStartupTexts, PrintfCaptionTemplatesAreFilledSafely) {
  EXPECT_EQ(FormatPrintfTexts("%s v%s (%s)", {"Game", "1.0", "2.0"}), "Game v1.0 (2.0)");
  // Too few texts give empty ones instead of reading past them.
  EXPECT_EQ(FormatPrintfTexts("%s|%s|%s", {"a"}), "a||");
  // Conversions that are not texts stay as written and consume nothing.
  EXPECT_EQ(FormatPrintfTexts("%d %n %s %x", {"a"}), "%d %n a %x");
  EXPECT_EQ(FormatPrintfTexts("100%% %s", {"done"}), "100% done");
  EXPECT_EQ(FormatPrintfTexts("[%5s][%-5s][%.2s]", {"ab", "cd", "efgh"}), "[   ab][cd   ][ef]");
  EXPECT_EQ(FormatPrintfTexts("%999999999s", {"a"}), "%999999999s");
  EXPECT_EQ(FormatPrintfTexts("end %", {}), "end %");
  EXPECT_EQ(FormatPrintfTexts("%s", {"50% %s"}), "50% %s") << "texts are not templates";
}

TEST(AppStartupExitCodes, DialogEndingOtherThanClose) {
  EXPECT_EQ(ExitCodeAfterDialog(true, UpdateOutcome::Succeeded), 0);
  EXPECT_EQ(ExitCodeAfterDialog(true, UpdateOutcome::Interrupted), 1);
  EXPECT_EQ(ExitCodeAfterDialog(true, UpdateOutcome::Failed), 3);
  EXPECT_EQ(ExitCodeAfterDialog(false, UpdateOutcome::Failed), 2);
  EXPECT_EQ(kExitClose & 0xFF, 255);
}

}  // namespace
}  // namespace upkeep
