#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "install/installation.h"
#include "platform/registry.h"
#include "test_util.h"

namespace upkeep {
namespace {

// A throwaway Wine prefix holding the two hives; $WINEPREFIX points at it
// while the object lives.
class FakePrefix {
 public:
  FakePrefix() {
    const char* old = getenv("WINEPREFIX");
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    setenv("WINEPREFIX", dir_.path().c_str(), 1);
  }
  ~FakePrefix() {
    if (had_old_) {
      setenv("WINEPREFIX", old_.c_str(), 1);
    } else {
      unsetenv("WINEPREFIX");
    }
  }
  void Write(const char* hive, const std::string& body) {
    ASSERT_TRUE(test::WriteFileText(dir_.Join(hive), "WINE REGISTRY Version 2\n" + body));
  }

 private:
  test::TempDir dir_;
  std::string old_;
  bool had_old_ = false;
};

std::string Query(RegistryRoot root, const std::string& key, const std::string& name,
                  int32_t* status) {
  char buf[260] = {};
  uint32_t size = sizeof(buf);
  *status = QueryRegistryValue(root, key, name, nullptr, reinterpret_cast<uint8_t*>(buf), &size);
  return *status == 0 ? std::string(buf) : std::string();
}

TEST(RegistryPosix, MachineAndUserHivesOfThePrefix) {
  FakePrefix prefix;
  prefix.Write("system.reg",
               ";; All keys relative to \\\\Machine\n#arch=win64\n"
               "[Software\\\\Acme\\\\Game] 1\n\"Destination\"=\"C:\\\\Games\\\\Acme\"\n"
               "[Software\\\\Wow6432Node\\\\Old\\\\Game] 1\n\"Destination\"=\"C:\\\\Old\"\n"
               "[Software\\\\Wow6432Node\\\\Acme\\\\Game] 1\n\"Destination\"=\"C:\\\\Shadow\"\n");
  prefix.Write("user.reg",
               "[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Explorer\\\\Shell "
               "Folders] 1\n\"Desktop\"=\"C:\\\\users\\\\me\\\\Desktop\"\n");
  int32_t status = -1;
  EXPECT_EQ(Query(RegistryRoot::kLocalMachine, "SOFTWARE\\acme\\game", "destination", &status),
            "C:\\Games\\Acme");
  // A key only in the 32-bit view is found there; the native one wins when both exist.
  EXPECT_EQ(Query(RegistryRoot::kLocalMachine, "Software\\Old\\Game", "Destination", &status),
            "C:\\Old");
  EXPECT_EQ(Query(RegistryRoot::kLocalMachine, "Software\\Old\\Game\\X", "Destination", &status),
            "");
  EXPECT_EQ(status, kRegNotFound);
  EXPECT_EQ(Query(RegistryRoot::kCurrentUser,
                  "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                  "Desktop", &status),
            "C:\\users\\me\\Desktop");
  // The hives are kept apart.
  Query(RegistryRoot::kCurrentUser, "Software\\Acme\\Game", "Destination", &status);
  EXPECT_EQ(status, kRegNotFound);
  Query(RegistryRoot::kLocalMachine, "Software\\Acme\\Game", "Other", &status);
  EXPECT_EQ(status, kRegNotFound);
  Query(RegistryRoot::kLocalMachine, "\\Software\\Acme\\Game", "Destination", &status);
  EXPECT_EQ(status, kRegBadPathname);

  std::string out;
  EXPECT_EQ(ReadRegistryValue("Software\\Acme\\Game", "Destination", &out), 0);
  EXPECT_EQ(out, "C:\\Games\\Acme");
}

TEST(RegistryPosix, LongValuesAndMissingHives) {
  FakePrefix prefix;
  std::string longest(259, 'a'), too_long(260, 'a');
  prefix.Write("system.reg", "[Software\\\\Acme] 1\n\"Fits\"=\"" + longest + "\"\n\"Long\"=\"" +
                                 too_long + "\"\n\"Wide\"=\"" + std::string(258, 'a') +
                                 "\\x00e9\"\n");
  std::string out;
  EXPECT_EQ(ReadRegistryValue("Software\\Acme", "Fits", &out), 0);
  EXPECT_EQ(out, longest);
  EXPECT_EQ(ReadRegistryValue("Software\\Acme", "Long", &out), 234);
  // Counted in ANSI bytes: one accented letter is one byte.
  EXPECT_EQ(ReadRegistryValue("Software\\Acme", "Wide", &out), 0);
  EXPECT_EQ(out.size(), 259u);
  EXPECT_EQ(static_cast<unsigned char>(out.back()), 0xE9);
  int32_t status = 0;
  Query(RegistryRoot::kCurrentUser, "Software", "x", &status);  // no user.reg at all
  EXPECT_EQ(status, kRegNotFound);
}

}  // namespace
}  // namespace upkeep
