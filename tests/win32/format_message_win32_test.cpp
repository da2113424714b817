#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/format_message.h"

namespace upkeep {
namespace {

// The portable formatter against FormatMessageA itself, over many templates
// made of the pieces that matter.
TEST(FormatMessageWin32, EmulationMatchesTheSystem) {
  const char* pieces[] = {"%",      "%%",      "%1",      "%2",       "%9",  "%10", "%99",
                          "%0",     "%n",      "%r",      "%t",       "% ",  "%.",  "%!",
                          "!",      "s",       "1",       "x",        "\r",  "\n",  "\r\n",
                          "%1!s!",  "%2!-4s!", "%3!.2s!", "%1!7.3s!", "%1!", "!s!", "%1!-s!",
                          "%2!.s!", "\xe9",    "\x81",    " ",        "%x"};
  const size_t count = sizeof pieces / sizeof pieces[0];
  std::vector<std::string> args;
  for (int i = 1; i <= kMaxMessageInserts; ++i) {
    args.push_back(i % 3 == 0 ? "" : "arg" + std::to_string(i) + (i % 5 == 0 ? "\r\n%1" : ""));
  }
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());

  uint32_t seed = 2024;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  int compared = 0;
  for (int round = 0; round < 4000; ++round) {
    std::string templ;
    size_t n = next() % 12;
    for (size_t i = 0; i < n; ++i) templ += pieces[next() % count];
    std::string safe = SafeMessageTemplate(templ.c_str());
    std::string system_text;
    std::string emulated_text;
    bool system_ok = SystemFormatMessage(safe.c_str(), argv.data(), &system_text);
    bool emulated_ok = EmulateFormatMessage(safe.c_str(), argv.data(), &emulated_text);
    ASSERT_EQ(system_ok, emulated_ok) << templ;
    ASSERT_EQ(system_text, emulated_text) << templ;
    // The raw template too, where it is safe but for a trailing "%".
    if (safe == templ || safe == templ + "%") {
      system_ok = SystemFormatMessage(templ.c_str(), argv.data(), &system_text);
      emulated_ok = EmulateFormatMessage(templ.c_str(), argv.data(), &emulated_text);
      ASSERT_EQ(system_ok, emulated_ok) << templ;
      if (system_ok) {
        ASSERT_EQ(system_text, emulated_text) << templ;
      }
    }
    ++compared;
  }
  EXPECT_EQ(compared, 4000);
}

}  // namespace
}  // namespace upkeep
