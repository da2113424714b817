#include "platform/system_locale.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace upkeep {
namespace {

// Sets an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

TEST(PlatformSystemLocale, DefaultCodePageFollowsTheLanguageAsWineDoes) {
  ScopedEnv ctype("LC_CTYPE", nullptr);
  {
    ScopedEnv all("LC_ALL", "pl_PL.UTF-8");
    EXPECT_EQ(SystemDefaultCodePage(), 1250);
  }
  ScopedEnv all("LC_ALL", nullptr);
  {
    ScopedEnv lang("LANG", "ru_RU.UTF-8");
    EXPECT_EQ(SystemDefaultCodePage(), 1251);
  }
  {
    ScopedEnv lang("LANG", "C.UTF-8");
    EXPECT_EQ(SystemDefaultCodePage(), 1252);
  }
  {
    ScopedEnv lang("LANG", nullptr);
    EXPECT_EQ(SystemDefaultCodePage(), 1252);
  }
}

}  // namespace
}  // namespace upkeep
