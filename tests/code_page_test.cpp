#include "platform/code_page.h"

#include <gtest/gtest.h>

#include <string>

namespace upkeep {
namespace {

TEST(CodePage, WesternAndCentralEuropeanCodePages) {
  const std::u16string polish = u"Za\u017c\u00f3\u0142\u0107";
  EXPECT_EQ(Utf16ToAnsi(polish, 1250), "Za\xbf\xf3\xb3\xe6");
  EXPECT_EQ(AnsiToUtf16("Za\xbf\xf3\xb3\xe6", 1250), polish);
  EXPECT_EQ(Utf16ToAnsi(u"caf\u00e9 \u20ac", 1252), "caf\xe9 \x80");
  EXPECT_EQ(AnsiToUtf16("caf\xe9 \x80", 1252), u"caf\u00e9 \u20ac");
  // A character the code page lacks (and has no near form for) becomes '?'.
  EXPECT_EQ(Utf16ToAnsi(u"a\u4e2db", 1252), "a?b");
  EXPECT_EQ(Utf16ToAnsi(u"", 1252), "");
  EXPECT_EQ(AnsiToUtf8("caf\xe9", 1252), "caf\xc3\xa9");
  EXPECT_EQ(Utf8ToAnsi("Za\xc5\xbc\xc3\xb3\xc5\x82\xc4\x87", 1250), "Za\xbf\xf3\xb3\xe6");
}

TEST(CodePage, Utf8AndUtf16) {
  const std::u16string text = u"A\u00e9\u4e2d\U0001F600";
  const std::string utf8 = Utf16ToUtf8(text);
  EXPECT_EQ(utf8, "A\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80");
  EXPECT_EQ(Utf8ToUtf16(utf8), text);
  // Broken input never reads past its end and yields U+FFFD.
  EXPECT_EQ(Utf8ToUtf16("a\xc3"), u"a\ufffd");
  EXPECT_EQ(Utf8ToUtf16("\xe4\xb8"), u"\ufffd\ufffd");
  EXPECT_EQ(Utf8ToUtf16("\xc0\xaf"), u"\ufffd\ufffd");  // overlong
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, static_cast<char16_t>(0xD800))), "\xef\xbf\xbd");
  EXPECT_EQ(UpperUtf16(u'\u017c'), u'\u017b');
  EXPECT_EQ(UpperUtf16(u'\u00ff'), u'\u0178');
  EXPECT_EQ(UpperUtf16(u'1'), u'1');
}

}  // namespace
}  // namespace upkeep
