#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/system_locale.h"

namespace upkeep {
namespace {

class PlatformTextTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SelectLocale("C")); }
  void TearDown() override { SelectLocale("C"); }
};

std::string Upper(std::string text) {
  ToUpperInPlace(&text);
  return text;
}

std::string Lower(std::string text) {
  ToLowerInPlace(&text);
  return text;
}

TEST_F(PlatformTextTest, TheCLocaleFoldsAsciiOnly) {
  EXPECT_EQ(CurrentCodePage(), 1252);
  EXPECT_EQ(Upper("abc-XYZ_09{}"), "ABC-XYZ_09{}");
  EXPECT_EQ(Lower("ABC-xyz_09[]"), "abc-xyz_09[]");
  for (int c = 0x80; c <= 0xFF; ++c) {
    EXPECT_EQ(ToUpperChar(c), c);
    EXPECT_EQ(ToLowerChar(c), c);
  }
  EXPECT_EQ(CompareNoCase("CheckDir", "CHECKDIR"), 0);
  EXPECT_LT(CompareNoCase("a", "B"), 0);
  EXPECT_GT(CompareNoCase("b", "A"), 0);
  EXPECT_LT(CompareNoCase("ab", "abc"), 0);
  // Letters fold to lower case before comparing, as _stricmp does: "_" sorts first.
  EXPECT_GT(CompareNoCase("Z", "_"), 0);
  EXPECT_NE(CompareNoCase("\xb9", "\xa5"), 0);
}

TEST_F(PlatformTextTest, CentralEuropeanCodePage) {
  ASSERT_TRUE(SelectLocale("Polish"));
  EXPECT_EQ(CurrentCodePage(), 1250);
  // a-ogonek, l-stroke, z-acute, s-caron, t-caron pair with their capitals.
  EXPECT_EQ(Upper("\xb9\xb3\x9f\x9a\x9d\xea\xf3"), "\xa5\xa3\x8f\x8a\x8d\xca\xd3");
  EXPECT_EQ(Lower("\xa5\xa3\x8f\x8a\x8d\xca\xd3"), "\xb9\xb3\x9f\x9a\x9d\xea\xf3");
  EXPECT_EQ(CompareNoCase("\xa3\xd3"
                          "D\x8f",
                          "\xb3\xf3"
                          "d\x9f"),
            0);
  // Sharp s, the multiplication and division signs and the dot above keep.
  for (int c : {0xdf, 0xd7, 0xf7, 0xff, 0xb5}) {
    EXPECT_EQ(ToUpperChar(c), c);
    EXPECT_EQ(ToLowerChar(c), c);
  }
}

TEST_F(PlatformTextTest, CyrillicWesternGreekTurkishBaltic) {
  ASSERT_TRUE(SelectLocale("Russian"));
  EXPECT_EQ(CurrentCodePage(), 1251);
  EXPECT_EQ(Upper("\xe0\xff\xb8\x90"), "\xc0\xdf\xa8\x80");  // a, ya, yo, dje
  ASSERT_TRUE(SelectLocale("German"));
  EXPECT_EQ(CurrentCodePage(), 1252);
  EXPECT_EQ(Upper("\xe4\xf6\xfc\xff\x9c"), "\xc4\xd6\xdc\x9f\x8c");
  EXPECT_EQ(ToUpperChar(0xdf), 0xdf);  // sharp s has no one-letter capital
  EXPECT_EQ(ToUpperChar(0xb5), 0xb5);  // nor has the micro sign here
  ASSERT_TRUE(SelectLocale("Greek"));
  EXPECT_EQ(ToUpperChar(0xe1), 0xc1);  // alpha
  EXPECT_EQ(ToUpperChar(0xf2), 0xf2);  // final sigma stays
  ASSERT_TRUE(SelectLocale("Turkish"));
  EXPECT_EQ(ToUpperChar(0xfd), 0xfd);  // dotless i stays
  EXPECT_EQ(ToUpperChar('i'), 'I');
  EXPECT_EQ(ToUpperChar(0xfe), 0xde);  // s-cedilla
  ASSERT_TRUE(SelectLocale("Lithuanian"));
  EXPECT_EQ(CurrentCodePage(), 1257);
  EXPECT_EQ(ToUpperChar(0xe0), 0xc0);  // a-ogonek
}

TEST_F(PlatformTextTest, LocaleNamesAsWindowsAcceptsThem) {
  struct Case {
    const char* name;
    int code_page;
  };
  const Case cases[] = {
      {"Polish", 1250},
      {"polish", 1250},
      {"POLISH", 1250},
      {"Polish_Poland", 1250},
      {"Polish_Poland.1250", 1250},
      {"plk", 1250},
      {"pl", 1250},
      {"Polish.1252", 1252},
      {"Polish.ACP", 1250},
      {"Czech", 1250},
      {"Czech_Czechia.1250", 1250},
      {"Czech_Czech Republic", 1250},
      {"Hungarian", 1250},
      {"Russian", 1251},
      {"Russian_Russia.1251", 1251},
      {"Ukrainian", 1251},
      {"German", 1252},
      {"German_Austria", 1252},
      {"English_United States.1252", 1252},
      {"english_united states", 1252},
      {".1250", 1250},
      {".1251", 1251},
      {".1257", 1257},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(SelectLocale("C"));
    EXPECT_TRUE(SelectLocale(c.name)) << c.name;
    EXPECT_EQ(CurrentCodePage(), c.code_page) << c.name;
  }
  ASSERT_TRUE(SelectLocale(""));
  EXPECT_EQ(CurrentCodePage(), SystemDefaultCodePage());
  ASSERT_TRUE(SelectLocale(".ACP"));
  EXPECT_EQ(CurrentCodePage(), SystemDefaultCodePage());
}

TEST_F(PlatformTextTest, UnknownNamesChangeNothing) {
  ASSERT_TRUE(SelectLocale("Russian"));
  for (const char* name : {"Klingon", "Polish_Germany", "_Poland", ".437", ".OCP", ".12a", ".",
                           "Polish.", "pl-PL", "c", "POSIX", "Polish_Poland.1250x", "Japanese"}) {
    EXPECT_FALSE(SelectLocale(name)) << name;
    EXPECT_EQ(CurrentCodePage(), 1251) << name;
    EXPECT_EQ(ToUpperChar(0xe0), 0xc0) << name;
  }
  EXPECT_FALSE(SelectLocale(nullptr));
  EXPECT_EQ(CurrentCodePage(), 1251);
}

TEST(PlatformTextLanguages, CodePagesOfLanguages) {
  EXPECT_EQ(LanguageCodePage("pl"), 1250);
  EXPECT_EQ(LanguageCodePage("CS"), 1250);
  EXPECT_EQ(LanguageCodePage("ru"), 1251);
  EXPECT_EQ(LanguageCodePage("de"), 1252);
  EXPECT_EQ(LanguageCodePage("English"), 1252);
  EXPECT_EQ(LanguageCodePage("el"), 1253);
  EXPECT_EQ(LanguageCodePage("xx"), 0);
  EXPECT_EQ(LanguageCodePage(""), 0);
  EXPECT_EQ(LanguageCodePage(nullptr), 0);
}

}  // namespace
}  // namespace upkeep
