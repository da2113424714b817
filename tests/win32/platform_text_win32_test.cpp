#include <gtest/gtest.h>

#include <cctype>
#include <cstring>

#include "platform/text.h"

namespace upkeep {
namespace {

// The run-time library's own case tables, once a language's locale is set,
// agree with ours byte for byte.
TEST(PlatformTextWin32, CaseTablesAgreeWithTheRuntime) {
  for (const char* name : {"Polish", "Czech", "Hungarian", "Russian", "Ukrainian", "German",
                           "English", "Greek", "Turkish", "Lithuanian"}) {
    ASSERT_TRUE(SelectLocale(name)) << name;
    for (int c = 0; c < 256; ++c) {
      EXPECT_EQ(ToUpperChar(c), toupper(c) & 0xFF) << name << " " << c;
      EXPECT_EQ(ToLowerChar(c), tolower(c) & 0xFF) << name << " " << c;
    }
    const char* pairs[][2] = {{"\xa3\xd3"
                               "D\x8f",
                               "\xb3\xf3"
                               "d\x9f"},
                              {"Abc", "aBC"},
                              {"\xc0\xe0", "\xe0\xc0"},
                              {"a_", "A["}};
    for (const auto& pair : pairs) {
      int ours = CompareNoCase(pair[0], pair[1]);
      int theirs = _stricmp(pair[0], pair[1]);
      EXPECT_EQ(ours < 0, theirs < 0) << name;
      EXPECT_EQ(ours == 0, theirs == 0) << name;
    }
  }
  ASSERT_TRUE(SelectLocale("C"));
  for (int c = 0; c < 256; ++c) EXPECT_EQ(ToUpperChar(c), toupper(c) & 0xFF) << c;
}

}  // namespace
}  // namespace upkeep
