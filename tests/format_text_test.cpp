#include "script/format_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/format_message.h"

namespace upkeep {
namespace {

// Ninety-nine arguments: "a1" ... "a99", with the first few overridable.
std::vector<std::string> Arguments(std::vector<std::string> first = {}) {
  std::vector<std::string> args;
  for (int i = 1; i <= kMaxMessageInserts; ++i) args.push_back("a" + std::to_string(i));
  for (size_t i = 0; i < first.size(); ++i) args[i] = first[i];
  return args;
}

struct Formatted {
  bool ok;
  std::string text;
};

// The system's formatter (FormatMessageA on Windows) over a safe template.
Formatted System(const std::string& templ, const std::vector<std::string>& args) {
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  Formatted f;
  f.ok = SystemFormatMessage(templ.c_str(), argv.data(), &f.text);
  return f;
}

// Each expected text was checked against FormatMessageA under Wine; the same
// table runs on every platform.
TEST(FormatTextSystem, MatchesTheSystemsMessageFormatting) {
  struct Case {
    const char* templ;
    std::vector<std::string> args;
    const char* expected;
  };
  const Case cases[] = {
      {"test", {}, "test"},
      {"%1", {"te"}, "te"},
      {"%1%2", {"te", "st"}, "test"},
      {"%1%3%2%1", {"t", "s", "e"}, "test"},
      {"%1!s!", {"test"}, "test"},
      {"[%1!3s!]", {"t"}, "[  t]"},
      {"[%1!-3s!]", {"t"}, "[t  ]"},
      {"[%1!.2s!]", {"abc"}, "[ab]"},
      {"[%1!5.2s!]", {"abc"}, "[   ab]"},
      {"[%1!-5.2s!]", {"abc"}, "[ab   ]"},
      {"[%1!.s!]", {"abc"}, "[]"},
      {"[%1!2s!]", {"long"}, "[long]"},
      {"%10|%99", {}, "a10|a99"},
      {"%100", {}, "a100"},
      {"%1%", {}, nullptr},
      {"test%", {}, nullptr},
      {"%", {}, nullptr},
      {" %%%% ", {}, " %% "},
      {" %.%. %!", {}, " .. !"},
      {"% %   ", {}, "    "},
      {"yah%!%0   ", {}, "yah!"},
      {"test%0test", {}, "test"},
      {"%0", {}, ""},
      {"", {}, ""},
      {"%1", {""}, ""},
      {"%n%r%t", {}, "\r\n\r\t"},
      {"%x%Z%\xe9", {}, "xZ\xe9"},
      {"hi\n", {}, "hi\r\n"},
      {"hi\r\n", {}, "hi\r\n"},
      {"\r", {}, "\r\n"},
      {"\r\r\n", {}, "\r\n\r\n"},
      {"a\n\rb", {}, "a\r\n\r\nb"},
      {"%1", {"%2 stays\n"}, "%2 stays\n"},
      {"\x80\x81\x9f\xa0\xff", {}, "\x80\x81\x9f\xa0\xff"},
      {"%1", {"\x8a\xb9\xff"}, "\x8a\xb9\xff"},
  };
  for (const Case& c : cases) {
    Formatted f = System(c.templ, Arguments(c.args));
    if (c.expected == nullptr) {
      EXPECT_FALSE(f.ok) << c.templ;
    } else {
      EXPECT_TRUE(f.ok) << c.templ;
      EXPECT_EQ(f.text, c.expected) << c.templ;
    }
  }
}

TEST(FormatTextSystem, LongResults) {
  const std::string big(5000, 'b');
  Formatted f = System("<%1!999s!%1>", Arguments({"x", big}));
  EXPECT_TRUE(f.ok);
  EXPECT_EQ(f.text, "<" + std::string(998, ' ') + "xx>");
  // The system refuses a result this long; the text comes whole all the same.
  std::string templ;
  for (int i = 0; i < 40; ++i) templ += "%2";
  std::string text = FormatText(templ, {"", big});
  EXPECT_EQ(text.size(), 40u * big.size());
  EXPECT_EQ(text.find_first_not_of('b'), std::string::npos);
}

TEST(FormatTextSafety, NonTextFormatsBecomeTextInserts) {
  struct Case {
    const char* templ;
    const char* safe;
  };
  const Case cases[] = {
      {"%1!s! %2!-12.3s! %3!.5s! %4!7s!", "%1!s! %2!-12.3s! %3!.5s! %4!7s!"},
      {"%1!d!", "%1!s!"},
      {"%1!x! %2!c!", "%1!s! %2!s!"},
      {"%1!*s!", "%1!s!"},
      {"%1!*.*s!", "%1!s!"},
      {"%1!S! %2!ls! %3!ws! %4!hs!", "%1!s! %2!s! %3!s! %4!s!"},
      {"%1!05s! %2!+5s! %3!#s! %4! s!", "%1!s! %2!s! %3!s! %4!s!"},
      {"%1!1000s! %2!.1000s!", "%1!s! %2!s!"},
      {"%1!s! tail", "%1!s! tail"},
      {"%1!s", "%1!s!"},
      {"%1!5 rest", "%1!s!"},
      {"%1!!", "%1!s!"},
      {"100%", "100%%"},
      {"%%1!d!", "%%1!d!"},
      {"%12!d!x", "%12!s!x"},
      {"plain %n%0 text", "plain %n%0 text"},
  };
  for (const Case& c : cases) EXPECT_EQ(SafeMessageTemplate(c.templ), c.safe) << c.templ;
  EXPECT_EQ(SafeMessageTemplate(nullptr), "");
}

TEST(FormatTextUse, DecisionsForTemplatesTheSystemWouldMishandle) {
  // An insert without an argument inserts nothing.
  EXPECT_EQ(FormatText("[%1|%2|%99]", {"x"}), "[x||]");
  // A number format takes the text as text.
  EXPECT_EQ(FormatText("%1!d! MB", {"512"}), "512 MB");
  EXPECT_EQ(FormatText("%1!*s!", {"w", "x"}), "w");
  // A trailing "%" stays a "%".
  EXPECT_EQ(FormatText("%1 is 100%", {"Disk"}), "Disk is 100%");
  EXPECT_EQ(FormatText(static_cast<const char*>(nullptr), {"x"}), "");
  std::vector<std::string> many(150, "m");
  many[99] = "hundredth";
  EXPECT_EQ(FormatText("%99", many), "m");
}

}  // namespace
}  // namespace upkeep
