// Finding a player's prefix: the quick look at a hive never rules out one
// the registry reader finds the key in, folders players name by mistake are
// read as the prefix they meant, and nothing waits on a named pipe.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "platform/posix/path.h"
#include "platform/posix/wine_prefixes.h"
#include "platform/wine_registry_file.h"
#include "test_util.h"

namespace upkeep {
namespace {

std::string Hive(const std::vector<std::string>& keyLines) {
  std::string hive = "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n";
  for (const std::string& line : keyLines) {
    hive += "[" + line + "] 1700000000\n#time=1da0000000000000\n\"InstallPath\"=\"C:\\\\G\"\n\n";
  }
  return hive;
}

// Whenever the parser finds values under the key, the quick look said they
// may be there:
// over hives of random keys, some the wanted one in another letter case or
// view, some near misses, some escaped.
TEST(WinePrefixes, TheQuickLookNeverRulesOutAKeyTheReaderFinds) {
  const std::vector<std::string> pieces = {
      "Software",         "Wow6432Node",   "Sample Studio", "Sample Game", "SAMPLE GAME",
      "sample game",      "Sample Gam",    "ample Game",    "Other",       "Game]",
      "x\\\\Sample Game", "Sample Game 2", "\\x17b\\xf3w"};
  const std::vector<std::string> keys = {"Software\\Sample Studio\\Sample Game",
                                         "Software\\Sample Studio\\Sample Game\\",
                                         "Software\\\xAF\xF3\xB3w", "Sample Game"};
  std::mt19937 rng(7);
  int found = 0, ruledOut = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::string> lines;
    const int n = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < n; ++i) {
      std::string line;
      const int depth = 1 + static_cast<int>(rng() % 4);
      for (int d = 0; d < depth; ++d) line += (d ? "\\\\" : "") + pieces[rng() % pieces.size()];
      lines.push_back(line);
    }
    const std::string hive = Hive(lines);
    for (const std::string& key : keys) {
      std::vector<std::u16string> components;
      std::u16string wide(key.begin(), key.end());
      if (!SplitRegistryPath(wide, &components)) continue;
      std::vector<RegistryFileValue> values;
      const bool has = FindRegistryFileKey(hive, components, &values) && !values.empty();
      const bool may = posix::HiveMayHoldKey(hive, key);
      if (has) {
        ++found;
        EXPECT_TRUE(may) << key << "\n" << hive;
      }
      if (!may) ++ruledOut;
    }
  }
  // The look is worth having: most random hives are ruled out.
  EXPECT_GT(found, 50);
  EXPECT_GT(ruledOut, 3000);
  // A hive that is not text is left to the parser.
  EXPECT_TRUE(posix::HiveMayHoldKey(std::string("abc\0def", 7), "Software\\Nothing"));
}

// mkdir -p and a file with text.
void Make(const std::string& path, const std::string& text = std::string()) {
  std::string dir = path.substr(0, path.find_last_of('/'));
  for (size_t at = 1; (at = dir.find('/', at)) != std::string::npos; ++at) {
    mkdir(dir.substr(0, at).c_str(), 0777);
  }
  mkdir(dir.c_str(), 0777);
  ASSERT_TRUE(test::WriteFileText(path, text));
}

TEST(WinePrefixes, FoldersNamedByMistakeAreReadAsThePrefixMeant) {
  test::TempDir t;
  const std::string lib = t.path() + "/SteamLibrary/steamapps";
  Make(lib + "/compatdata/2001/pfx/system.reg");
  Make(lib + "/common/Sample Game/bin/game.exe");
  Make(lib + "/appmanifest_2001.acf",
       "\"AppState\"\n{\n\t\"appid\"\t\t\"2001\"\n\t\"installdir\"\t\t\"Sample Game\"\n}\n");
  Make(lib + "/appmanifest_2002.acf", "\"AppState\"\n{\n\t\"installdir\"\t\t\"Other\"\n}\n");
  Make(t.path() + "/Games/lutris-game/prefix/system.reg");
  Make(t.path() + "/Games/lutris-game/prefix/drive_c/x");
  Make(lib + "/common/Unknown Game/x");
  const std::string pfx = lib + "/compatdata/2001/pfx";
  struct Case {
    std::string given;
    std::string meant;
    bool said;
  };
  const std::vector<Case> cases = {
      {pfx, pfx, false},
      {lib + "/compatdata/2001", pfx, true},
      {lib + "/common/Sample Game", pfx, true},
      {lib + "/common/Sample Game/bin", pfx, true},
      {t.path() + "/Games/lutris-game", t.path() + "/Games/lutris-game/prefix", true},
      {t.path() + "/Games/lutris-game/prefix/drive_c", t.path() + "/Games/lutris-game/prefix",
       true},
      {lib + "/common/Unknown Game", lib + "/common/Unknown Game", false},
      {t.path() + "/nothing", t.path() + "/nothing", false},
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_EQ(posix::MeantPrefix(c.given, &why), c.meant) << c.given;
    EXPECT_EQ(!why.empty(), c.said) << c.given << ": " << why;
  }
}

TEST(WinePrefixes, NamedPipesAreNeverWaitedFor) {
  test::TempDir t;
  const std::string steam = t.path() + "/.local/share/Steam";
  Make(steam + "/steamapps/compatdata/1/pfx/system.reg");
  ASSERT_EQ(mkfifo((steam + "/steamapps/libraryfolders.vdf").c_str(), 0666), 0);
  ASSERT_EQ(mkfifo((steam + "/steamapps/compatdata/1/pfx/user.reg").c_str(), 0666), 0);
  const auto start = std::chrono::steady_clock::now();
  std::string text;
  EXPECT_FALSE(posix::ReadRegularFile(steam + "/steamapps/libraryfolders.vdf", 1 << 20, &text));
  const std::vector<posix::PrefixPlace> places = posix::FindPrefixPlaces(t.path());
  ASSERT_EQ(places.size(), 1u);
  EXPECT_EQ(places[0].prefixes.size(), 1u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace upkeep
