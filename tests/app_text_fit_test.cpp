// Texts cut to a width: the file name and the versions stay in view.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/startup.h"
#include "app/text_fit.h"
#include "app_test_util.h"

namespace upkeep {
namespace {

FitsWidth Within(size_t n) {
  return [n](const std::string& t) { return t.size() <= n; };
}

TEST(AppTextFit, PathsKeepTheirFileNameAndAsMuchOfTheirStartAsFits) {
  const std::string path = "C:\\Games\\A Very Long Folder Name\\Levels\\island.map";
  struct Case {
    size_t width;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {200, path},
      {path.size(), path},
      {30, "C:\\Games\\A Very ...\\island.map"},
      {14, "...\\island.map"},
      {11, "...land.map"},
      {2, "..."},
  };
  for (const Case& c : cases) {
    const std::string shown = ShortenPathMiddle(path, Within(c.width));
    EXPECT_EQ(shown, c.shown) << c.width;
  }
  // A name without folders gives way at its start only.
  EXPECT_EQ(ShortenPathMiddle("abcdefghij.txt", Within(10)), "...hij.txt");
}

TEST(AppTextFit, TheCaptionCutsTheProgramNameBeforeTheVersions) {
  std::map<std::string, std::string> strings = test::DefaultStrings();
  strings["PROGRAM_NAME"] = "The Extremely Long Name Of A Game";
  test::ScopedStrings table(strings);
  const std::string full = DialogCaption();
  EXPECT_EQ(full, "The Extremely Long Name Of A Game 1.0.0.0,  1.0.0.1 -> 1.0.0.2");
  EXPECT_EQ(FittingDialogCaption(Within(100)), full);
  const std::string fitted = FittingDialogCaption(Within(45));
  EXPECT_EQ(fitted, "The Extremely... 1.0.0.0,  1.0.0.1 -> 1.0.0.2");
  EXPECT_LE(fitted.size(), 45u);
}

}  // namespace
}  // namespace upkeep
