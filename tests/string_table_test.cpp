#include "script/string_table.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "package_test_util.h"
#include "platform/text.h"
#include "script_test_util.h"
#include "test_util.h"

namespace upkeep {
namespace {

class StringTableTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearStringTable(); }
  void TearDown() override {
    ClearStringTable();
    SelectLocale("C");
  }
  std::string WriteScript(const std::string& text) {
    std::string path = dir_.Join("Strings.scr");
    EXPECT_TRUE(test::WriteFileText(path, text));
    return path;
  }
  test::TempDir dir_;
};

TEST(StringTableHash, FoldsAsciiLettersOnly) {
  EXPECT_EQ(HashKey("abc"), 33);
  EXPECT_EQ(HashKey("ABC"), 33);
  EXPECT_EQ(HashKey("aBc"), 33);
  EXPECT_EQ(HashKey(""), 1);
  // h = 1 * 33 ^ 'A' = 0x60 for one upper-case letter.
  EXPECT_EQ(HashKey("A"), 0x60);
  EXPECT_EQ(HashKey("a"), 0x60);
  // Bytes beyond ASCII letters are taken as they are.
  EXPECT_NE(HashKey("\xb9"), HashKey("\xa5"));
  EXPECT_NE(HashKey("{"), HashKey("["));
  EXPECT_EQ(HashKey("{"), (33 ^ '{') & 0xFF);
  // Only the low byte of h counts, whatever the length.
  const std::string long_key(10000, 'k');
  EXPECT_GE(HashKey(long_key.c_str()), 0);
  EXPECT_LT(HashKey(long_key.c_str()), 256);
}

TEST_F(StringTableTest, FindIgnoresCaseAndTheFirstDefinitionWins) {
  AddString("IDS_TITLE", "Title");
  AddString("ids_title", "Second");
  AddString("OTHER", "other");
  EXPECT_STREQ(FindString("ids_title"), "Title");
  EXPECT_STREQ(FindString("IDS_TITLE"), "Title");
  EXPECT_STREQ(FindString("Ids_Title"), "Title");
  EXPECT_EQ(FindString("IDS_TITLE_"), nullptr);
  EXPECT_EQ(FindString(nullptr), nullptr);
  const StringTable& table = GetStringTable();
  EXPECT_EQ(table.entryCount, 3);
  const StringBucket& bucket = table.buckets[HashKey("IDS_TITLE")];
  ASSERT_GE(bucket.count, 2);
  EXPECT_EQ(bucket.first->key, "IDS_TITLE");
  EXPECT_EQ(bucket.first->next->key, "ids_title");
  EXPECT_EQ(bucket.first->next->previous, bucket.first);
  EXPECT_EQ(bucket.first->previous, nullptr);
}

TEST_F(StringTableTest, MissingPartsAndEmptyKeysAreIgnored) {
  AddString(nullptr, "x");
  AddString("K", nullptr);
  AddString("", "empty key");
  EXPECT_EQ(GetStringTable().entryCount, 0);
  AddString("K", "");
  EXPECT_STREQ(FindString("k"), "");
}

TEST_F(StringTableTest, AddedTextsAreCopies) {
  std::string key = "KEY";
  std::string text = "text";
  AddString(key.c_str(), text.c_str());
  key[0] = 'X';
  text[0] = 'X';
  EXPECT_STREQ(FindString("KEY"), "text");
}

TEST_F(StringTableTest, ExpandsKnownKeys) {
  AddString("IDS_TITLE", "%1 update");
  AddString("A", "alpha");
  AddString("KEY WITH SPACES", "spaced");
  AddString("SELF", "&A& stays");
  EXPECT_STREQ(ExpandText("&ids_title&"), "%1 update");
  EXPECT_STREQ(ExpandText("[&A&|&A&]"), "[alpha|alpha]");
  EXPECT_STREQ(ExpandText("&A& && B"), "alpha & B");
  EXPECT_STREQ(ExpandText("&key with spaces&"), "spaced");
  EXPECT_STREQ(ExpandText("&SELF&"), "&A& stays");  // replacements are not scanned again
}

TEST_F(StringTableTest, AnyFailureLeavesTheWholeTextUnchanged) {
  AddString("IDS_TITLE", "Title");
  EXPECT_STREQ(ExpandText("&IDS_TITLE& &NOPE&"), "&IDS_TITLE& &NOPE&");
  EXPECT_STREQ(ExpandText("50% & more"), "50% & more");
  EXPECT_STREQ(ExpandText("&IDS_TITLE& &"), "&IDS_TITLE& &");
  EXPECT_STREQ(ExpandText("x && y"), "x && y");  // nothing replaced: pairs stay doubled
  EXPECT_STREQ(ExpandText("plain"), "plain");
  EXPECT_STREQ(ExpandText(""), "");
  EXPECT_STREQ(ExpandText(nullptr), "");
}

TEST_F(StringTableTest, OutputGrowsPastItsFirstCapacity) {
  const std::string big(300, 'b');
  AddString("BIG", big.c_str());
  AddString("C", "c");
  std::string expected;
  std::string text;
  for (int i = 0; i < 3; ++i) {
    text += "&BIG&-";
    expected += big + "-";
  }
  for (int i = 0; i < 300; ++i) {
    text += "&C&";
    expected += "c";
  }
  ASSERT_LE(text.size(), kMaxExpandLength);
  EXPECT_EQ(std::string(ExpandText(text.c_str())), expected);
  // Byte by byte past 256 as well.
  std::string bytes = "&C&" + std::string(1000, 'y');
  EXPECT_EQ(std::string(ExpandText(bytes.c_str())), "c" + std::string(1000, 'y'));
}

TEST_F(StringTableTest, TextsOverTheLengthLimitAreNotExpanded) {
  AddString("A", "alpha");
  std::string at_limit = "&A&" + std::string(kMaxExpandLength - 3, '.');
  EXPECT_EQ(std::string(ExpandText(at_limit.c_str())), "alpha" + at_limit.substr(3));
  std::string over = at_limit + ".";
  EXPECT_EQ(std::string(ExpandText(over.c_str())), over);
  std::string huge = "&A&" + std::string(1 << 20, 'h');
  EXPECT_EQ(std::string(ExpandText(huge.c_str())), huge);
}

TEST_F(StringTableTest, ResultsStayValidAndCanBeHeldTogether) {
  AddString("A", "alpha");
  AddString("B", "beta");
  std::string text = "&A&";
  const char* a = ExpandText(text.c_str());
  text = "&B&";
  const char* b = ExpandText(text.c_str());
  std::string temporary = "unchanged &";
  const char* unchanged = ExpandText(temporary.c_str());
  temporary.assign(temporary.size(), 'z');
  EXPECT_STREQ(a, "alpha");
  EXPECT_STREQ(b, "beta");
  EXPECT_STREQ(unchanged, "unchanged &");
  EXPECT_EQ(ExpandText("&A&"), a);  // one copy per distinct result
  ClearStringTable();
  EXPECT_STREQ(a, "alpha");
  EXPECT_STREQ(ExpandText("&A&"), "&A&");
}

TEST_F(StringTableTest, TwoThreadsExpandAtOnce) {
  for (int i = 0; i < 50; ++i) {
    AddString(("K" + std::to_string(i)).c_str(), ("text " + std::to_string(i)).c_str());
  }
  auto work = [](int seed, int* mismatches) {
    for (int round = 0; round < 2000; ++round) {
      int i = (round * 7 + seed) % 50;
      std::string token = "&K" + std::to_string(i) + "& #" + std::to_string(round % 97);
      std::string expected = "text " + std::to_string(i) + " #" + std::to_string(round % 97);
      if (expected != ExpandText(token.c_str())) ++*mismatches;
    }
  };
  int m1 = 0;
  int m2 = 0;
  std::thread t1(work, 1, &m1);
  std::thread t2(work, 2, &m2);
  t1.join();
  t2.join();
  EXPECT_EQ(m1 + m2, 0);
}

TEST_F(StringTableTest, ReleasedEntriesAreReused) {
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 1000; ++i) {
      AddString(("KEY" + std::to_string(i)).c_str(), std::to_string(round).c_str());
    }
    EXPECT_EQ(GetStringTable().entryCount, 1000);
    EXPECT_STREQ(FindString("key999"), std::to_string(round).c_str());
    ClearStringTable();
    EXPECT_EQ(GetStringTable().entryCount, 0);
    EXPECT_EQ(FindString("KEY0"), nullptr);
  }
}

TEST_F(StringTableTest, LoadsTopLevelStringCalls) {
  const std::string path = WriteScript(
      "!String(s,s)\r\n!Group()\r\n"
      "String(\"IDS_TITLE\", \"%1 - update\")\r\n"
      "string(\"PROGRAM_NAME\", \"Game\")\r\n"
      "String(\"program_name\", \"Second\")\r\n"
      "String(\"\", \"no key\")\r\n"
      "Group() { String(\"IN_BODY\", \"x\") }\r\n");
  test::MessageLog log;
  EXPECT_TRUE(LoadStringTable(path.c_str(), &log));
  EXPECT_TRUE(log.messages.empty());
  EXPECT_EQ(GetStringTable().entryCount, 3);
  EXPECT_STREQ(ExpandText("&IDS_TITLE& / &PROGRAM_NAME&"), "%1 - update / Game");
  EXPECT_STREQ(ExpandText("&IN_BODY&"), "&IN_BODY&");
}

TEST_F(StringTableTest, StringCallsWithOtherTypesAreIgnored) {
  EXPECT_TRUE(LoadStringTable(WriteScript("!String(s,i) String(\"A\", 1)").c_str()));
  EXPECT_EQ(GetStringTable().entryCount, 0);
  EXPECT_TRUE(LoadStringTable(WriteScript("!String(s) String(\"A\")").c_str()));
  EXPECT_EQ(GetStringTable().entryCount, 0);
}

TEST_F(StringTableTest, AParseFailureAddsNothing) {
  const std::string path =
      WriteScript("!String(s,s)\r\nString(\"IDS_TITLE\", \"Title\")\r\nLocale(\"Polish\")\r\n");
  test::MessageLog log;
  EXPECT_FALSE(LoadStringTable(path.c_str(), &log));
  EXPECT_EQ(log.messages, std::vector<std::string>{"unknown keyword locale"});
  EXPECT_EQ(GetStringTable().entryCount, 0);
  EXPECT_STREQ(ExpandText("&IDS_TITLE&"), "&IDS_TITLE&");
  EXPECT_EQ(CurrentCodePage(), 1252);
}

TEST_F(StringTableTest, AMissingFileAddsNothing) {
  EXPECT_TRUE(LoadStringTable(dir_.Join("none.scr").c_str()));
  EXPECT_EQ(GetStringTable().entryCount, 0);
}

TEST_F(StringTableTest, LocaleCallsSelectTheCaseRules) {
  // A Polish city name in capitals and in small letters (code page 1250).
  const char* upper =
      "\xa3\xd3"
      "D\x8f";
  const char* lower =
      "\xb3\xf3"
      "d\x9f";
  const std::string path =
      WriteScript("!String(s,s) !Locale(s)\r\nLocale(\"Polish\")\r\nString(\"" +
                  std::string(upper) + "\", \"city\")\r\n");
  EXPECT_TRUE(LoadStringTable(path.c_str()));
  EXPECT_EQ(CurrentCodePage(), 1250);
  EXPECT_EQ(CompareNoCase(upper, lower), 0);
  EXPECT_STREQ(FindString(upper), "city");
  // The bucket folds ASCII letters only, so such a key is found as written.
  EXPECT_EQ(FindString(lower), nullptr);

  EXPECT_TRUE(LoadStringTable(WriteScript("!Locale(s) Locale(\"Klingon\")").c_str()));
  EXPECT_EQ(CurrentCodePage(), 1250);  // an unknown name changes nothing
  // Without a text argument the locale is only asked for.
  EXPECT_TRUE(LoadStringTable(WriteScript("!Locale(i) Locale(1)").c_str()));
  EXPECT_EQ(CurrentCodePage(), 1250);
  EXPECT_TRUE(LoadStringTable(WriteScript("!Locale(s) Locale(\"C\")").c_str()));
  EXPECT_EQ(CurrentCodePage(), 1252);
  EXPECT_NE(CompareNoCase(upper, lower), 0);
}

TEST_F(StringTableTest, LoadsFromTheMountedPackage) {
  test::PackageTableGuard guard;
  const std::string package = test::WriteTestPackage(
      dir_, "game.exe",
      {test::Entry("Strings.scr", "!String(s,s)\r\nString(\"REG_KEY\", \"Software\\\\Maker\")",
                   true)});
  ASSERT_NE(OpenPackage(package.c_str()), nullptr);
  EXPECT_TRUE(LoadStringTable("Strings.scr"));
  EXPECT_STREQ(ExpandText("&REG_KEY&"), "Software\\Maker");
}

}  // namespace
}  // namespace upkeep
