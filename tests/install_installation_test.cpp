#include "install/installation.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "authoring/version_resource_writer.h"
#include "install/file_version_info.h"
#include "platform/file_system.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "script/string_table.h"
#include "test_util.h"

namespace upkeep {
namespace {

using test::TempDir;

// A machine hive held in memory: key path -> value name -> (type, bytes).
class FakeRegistry : public Registry {
 public:
  struct Value {
    uint32_t type;
    std::vector<uint8_t> data;
  };
  std::map<std::string, std::map<std::string, Value>> keys;
  RegistryRoot last_root = RegistryRoot::kCurrentUser;

  void SetString(const std::string& key, const std::string& name, const std::string& text) {
    std::vector<uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    keys[key][name] = {kRegSz, data};
  }

  int32_t OpenKey(RegistryRoot root, const std::string& path,
                  std::unique_ptr<RegistryKey>* key) override {
    last_root = root;
    auto it = keys.find(path);
    if (it == keys.end()) return kRegNotFound;
    key->reset(new Key(&it->second));
    return kRegSuccess;
  }

 private:
  class Key : public RegistryKey {
   public:
    explicit Key(std::map<std::string, Value>* values) : values_(values) {}
    int32_t QueryValue(const std::string& name, uint32_t* type, uint8_t* data,
                       uint32_t* size) override {
      auto it = values_->find(name);
      if (it == values_->end()) return kRegNotFound;
      if (type != nullptr) *type = it->second.type;
      uint32_t n = static_cast<uint32_t>(it->second.data.size());
      uint32_t capacity = *size;
      *size = n;
      if (data == nullptr) return kRegSuccess;
      if (n > capacity) return kRegMoreData;
      std::copy(it->second.data.begin(), it->second.data.end(), data);
      return kRegSuccess;
    }

   private:
    std::map<std::string, Value>* values_;
  };
};

class ScopedRegistry {
 public:
  explicit ScopedRegistry(Registry* r) { SetRegistry(r); }
  ~ScopedRegistry() { SetRegistry(nullptr); }
};

TEST(InstallRegistry, ReadsTheMachineValueWithinTheBuffer) {
  FakeRegistry reg;
  ScopedRegistry scope(&reg);
  const std::string key = "SOFTWARE\\Acme\\Game";
  reg.SetString(key, "Destination", "C:\\Games\\Acme\\");
  reg.SetString(key, "Longest", std::string(259, 'a'));
  reg.SetString(key, "TooLong", std::string(260, 'a'));
  reg.keys[key]["Bare"] = {kRegBinary, std::vector<uint8_t>(260, 'b')};
  reg.keys[key]["Number"] = {kRegDword, {0x41, 0x42, 0, 0}};

  std::string out = "untouched";
  EXPECT_EQ(ReadRegistryValue(key, "Destination", &out), 0);
  EXPECT_EQ(reg.last_root, RegistryRoot::kLocalMachine);
  EXPECT_EQ(out, "C:\\Games\\Acme\\");
  EXPECT_EQ(ReadRegistryValue(key, "Longest", &out), 0);
  EXPECT_EQ(out.size(), 259u);

  out = "untouched";
  EXPECT_EQ(ReadRegistryValue(key, "TooLong", &out), 234);
  EXPECT_EQ(out, "untouched");
  // 260 bytes with no terminator fill the buffer: they do not fit either.
  EXPECT_EQ(ReadRegistryValue(key, "Bare", &out), 234);
  EXPECT_EQ(ReadRegistryValue(key, "Missing", &out), 2);
  EXPECT_EQ(ReadRegistryValue("SOFTWARE\\Nobody", "Destination", &out), 2);
  EXPECT_EQ(out, "untouched");
  // The type is not checked: a number reads as its bytes.
  EXPECT_EQ(ReadRegistryValue(key, "Number", &out), 0);
  EXPECT_EQ(out, "AB");
  EXPECT_EQ(ReadRegistryValue(key, "Destination", &out, 8), 234);
}

TEST(InstallExecutables, ListsAreCutAtRunsOfSeparators) {
  EXPECT_EQ(CountExecutableNames(""), -1);
  EXPECT_EQ(CountExecutableNames(";;;"), -1);
  std::string name = "x";
  EXPECT_FALSE(GetExecutableName("", 0, &name));
  EXPECT_EQ(name, "");

  const std::string list = ";;a.exe; ;b.exe;";
  EXPECT_EQ(CountExecutableNames(list), 3);
  EXPECT_TRUE(GetExecutableName(list, 0, &name));
  EXPECT_EQ(name, "a.exe");
  EXPECT_FALSE(GetExecutableName(list, 1, &name));  // one space: a name, but empty once trimmed
  EXPECT_EQ(name, "");
  EXPECT_TRUE(GetExecutableName(list, 2, &name));
  EXPECT_EQ(name, "b.exe");
  EXPECT_FALSE(GetExecutableName(list, 3, &name));
  EXPECT_FALSE(GetExecutableName(list, -1, &name));
  EXPECT_EQ(name, "");

  EXPECT_TRUE(GetExecutableName(" \t Game Launcher.exe \r\n;x", 0, &name));
  EXPECT_EQ(name, "Game Launcher.exe");
  // A name that would not fit the 260-byte buffer is no name.
  const std::string longest(259, 'n'), too_long(260, 'n');
  EXPECT_TRUE(GetExecutableName(longest + ";b", 0, &name));
  EXPECT_EQ(name, longest);
  EXPECT_FALSE(GetExecutableName(too_long + ";b", 0, &name));
  EXPECT_EQ(name, "");
  EXPECT_TRUE(GetExecutableName("  " + longest + "  ", 0, &name));  // measured trimmed
}

TEST(InstallExecutables, TheListComesFromTheStringTable) {
  ClearStringTable();
  AddString("SRC_EXE", "game.exe;launcher.exe");
  std::string name;
  EXPECT_EQ(CountGameExecutables(), 2);
  EXPECT_TRUE(GetGameExecutable(1, &name));
  EXPECT_EQ(name, "launcher.exe");
  ClearStringTable();
  AddString("SRC_EXE", "");
  EXPECT_EQ(CountGameExecutables(), -1);
  EXPECT_FALSE(GetGameExecutable(0, &name));
  ClearStringTable();
  // Without the key the token itself is the one name.
  EXPECT_EQ(CountGameExecutables(), 1);
  EXPECT_TRUE(GetGameExecutable(0, &name));
  EXPECT_EQ(name, "&SRC_EXE&");
}

TEST(InstallFiles, DirectoriesAndInstalledFiles) {
  TempDir dir;
  ASSERT_TRUE(test::WriteFileText(dir.Join("Game.exe"), "MZ"));
  ASSERT_EQ(GetFileSystem()->CreateDir(dir.Join("Tool.exe")), CreateDirResult::kCreated);
  EXPECT_TRUE(DirectoryExists(dir.path()));
  EXPECT_FALSE(DirectoryExists(dir.Join("Game.exe")));
  EXPECT_FALSE(DirectoryExists(dir.Join("missing")));
  EXPECT_TRUE(InstalledFileExists(dir.path(), "Game.exe"));
  EXPECT_TRUE(InstalledFileExists(dir.path(), "game.EXE"));  // names ignore case
  EXPECT_TRUE(InstalledFileExists(dir.path(), "Tool.exe"));  // a directory counts
  EXPECT_FALSE(InstalledFileExists(dir.path(), "Other.exe"));
  EXPECT_FALSE(InstalledFileExists(dir.path(), ""));
  EXPECT_FALSE(InstalledFileExists(dir.Join("missing"), "Game.exe"));
  // directory + "\" + name must stay below 260 characters.
  std::string deep = dir.path();
  while (deep.size() < 250) deep += "\\d";
  EXPECT_FALSE(InstalledFileExists(deep, std::string(20, 'x')));
  EXPECT_FALSE(DirectoryExists(deep + std::string(20, 'x')));
}

TEST(InstallRunning, ExclusiveWriteOpenDecides) {
  TempDir dir;
  const std::string exe = dir.Join("game.exe");
  ASSERT_TRUE(test::WriteFileText(exe, "MZ-original"));
  FileSystem* fs = GetFileSystem();
  // Repeatable, and the file is never written.
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(IsGameRunning(dir.path(), "game.exe"));
  EXPECT_EQ(test::ReadFileText(exe), "MZ-original");
  EXPECT_TRUE(IsGameRunning(dir.path(), "missing.exe"));
  ASSERT_TRUE(fs->SetAttributes(exe, kAttrReadOnly));
  EXPECT_TRUE(IsGameRunning(dir.path(), "game.exe"));
  ASSERT_TRUE(fs->SetAttributes(exe, kAttrNormal));
  {
    // Another holder with no sharing, as a running game is.
    std::unique_ptr<File> held = fs->Open(exe, OpenMode::kReadWrite);
    ASSERT_NE(held, nullptr);
    EXPECT_TRUE(IsGameRunning(dir.path(), "game.exe"));
  }
  EXPECT_FALSE(IsGameRunning(dir.path(), "game.exe"));
  std::string deep = dir.path();
  while (deep.size() < 255) deep += "\\d";
  EXPECT_TRUE(IsGameRunning(deep, "game.exe"));
  EXPECT_EQ(test::ReadFileText(exe), "MZ-original");
}

class InstallVersion : public ::testing::Test {
 protected:
  // Writes an executable whose ProductVersion is `product` (none when null).
  void Install(const std::string& name, const char* product, uint32_t translation = 0x04e40409u,
               const std::string& table = "040904e4") {
    VersionResource r;
    if (product != nullptr) r.tables.push_back({table, {{"ProductVersion", product}}});
    if (translation != 0) r.translations = {translation};
    ASSERT_TRUE(test::WriteFileBytes(dir_.Join(name), WriteVersionedPe(r)));
  }
  std::string Version(const std::string& name) { return GetInstalledVersion(dir_.path(), name); }
  std::string Language(const std::string& name) { return GetInstalledLanguage(dir_.path(), name); }
  TempDir dir_;
};

TEST_F(InstallVersion, ProductVersionSplitsAfterSevenBytes) {
  Install("v9.exe", "2.0.1.4de");
  Install("v8.exe", "2.0.1.4d");
  Install("v7.exe", "2.0.1.4");
  Install("v6.exe", "2.0.1.");
  Install("none.exe", nullptr);
  ASSERT_TRUE(test::WriteFileText(dir_.Join("plain.exe"), "not a program"));
  EXPECT_EQ(Version("v9.exe"), "2.0.1.4");
  EXPECT_EQ(Language("v9.exe"), "de");
  EXPECT_EQ(Version("v8.exe"), "2.0.1.4");
  EXPECT_EQ(Language("v8.exe"), "d");
  EXPECT_EQ(Version("v7.exe"), "");
  EXPECT_EQ(Language("v7.exe"), "");
  EXPECT_EQ(Version("v6.exe"), "");
  EXPECT_EQ(Language("v6.exe"), "");
  for (const char* empty : {"none.exe", "plain.exe", "missing.exe"}) {
    EXPECT_EQ(Version(empty), "");
    EXPECT_EQ(Language(empty), "");
  }
}

TEST_F(InstallVersion, VersionListsAreTrimmedAndCompareWithoutCase) {
  Install("game.exe", "2.0.1.Aen");
  Install("none.exe", nullptr);
  const std::string d = dir_.path();
  EXPECT_TRUE(CheckGameVersion(d, "game.exe", ""));
  EXPECT_TRUE(CheckGameVersion(d, "game.exe", " 1.0.0.0 ; 2.0.1.a "));
  EXPECT_TRUE(CheckGameVersion(d, "game.exe", "2.0.1.A"));
  EXPECT_FALSE(CheckGameVersion(d, "game.exe", "1.0.0.0;2.0.1.5"));
  // Empty items count: they match only an empty installed version.
  EXPECT_FALSE(CheckGameVersion(d, "game.exe", "1.0.0.0;"));
  EXPECT_TRUE(CheckGameVersion(d, "none.exe", "1.0.0.0;"));
  EXPECT_TRUE(CheckGameVersion(d, "none.exe", "1.0.0.0;;2.0.0.0"));
  EXPECT_FALSE(CheckGameVersion(d, "none.exe", "1.0.0.0"));
  EXPECT_TRUE(CheckGameVersion(d, "missing.exe", " ; "));
}

TEST_F(InstallVersion, LanguageTagIsTakenAsItIs) {
  Install("game.exe", "2.0.1.4en");
  Install("none.exe", nullptr);
  const std::string d = dir_.path();
  EXPECT_TRUE(CheckGameLanguage(d, "game.exe", ""));
  EXPECT_TRUE(CheckGameLanguage(d, "game.exe", "EN"));
  EXPECT_FALSE(CheckGameLanguage(d, "game.exe", " en"));
  EXPECT_FALSE(CheckGameLanguage(d, "game.exe", "en;de"));
  EXPECT_FALSE(CheckGameLanguage(d, "game.exe", "e"));
  EXPECT_FALSE(CheckGameLanguage(d, "none.exe", "en"));
  EXPECT_TRUE(CheckGameLanguage(d, "none.exe", ""));
}

TEST_F(InstallVersion, OnlyTheFirstTranslationIsAsked) {
  // Strings under the second translation only: nothing is found.
  VersionResource r;
  r.tables.push_back({"040904e4", {{"ProductVersion", "1.0.0.0en"}}});
  r.translations = {0x04e20415u, 0x04e40409u};
  ASSERT_TRUE(test::WriteFileBytes(dir_.Join("second.exe"), WriteVersionedPe(r)));
  EXPECT_EQ(Version("second.exe"), "");
  // Without a translation table, US English and code page 1252 are asked.
  Install("us.exe", "1.0.0.0en", 0);
  Install("pl.exe", "1.0.0.0pl", 0, "041504e2");
  EXPECT_EQ(Language("us.exe"), "en");
  EXPECT_EQ(Language("pl.exe"), "");
  FileVersionInfo info;
  EXPECT_TRUE(info.Load(dir_.Join("pl.exe")));
  EXPECT_EQ(info.language, 0x0409);
  EXPECT_EQ(info.codePage, 1252);
  EXPECT_TRUE(info.Load(dir_.Join("second.exe")));
  EXPECT_EQ(info.language, 0x0415);
  EXPECT_EQ(info.codePage, 1250);
}

TEST_F(InstallVersion, LoadReportsTheSignedFixedRecord) {
  Install("game.exe", "2.0.1.4en");
  FileVersionInfo info;
  EXPECT_TRUE(info.Load(dir_.Join("game.exe")));
  EXPECT_EQ(info.fixedInfo[0], 0xBD);
  EXPECT_EQ(info.GetVersionString("ProductVersion"), "2.0.1.4en");
  EXPECT_EQ(info.GetVersionString("CompanyName"), "");
  // A block whose fixed record is unsigned loads but reports false.
  VersionNode root = MakeVersionTree(VersionResource());
  root.value[0] = 0;
  PeResourceEntry e;
  e.data = WriteVersionBlock(root);
  ASSERT_TRUE(test::WriteFileBytes(dir_.Join("unsigned.exe"), WritePeImage({e})));
  EXPECT_FALSE(info.Load(dir_.Join("unsigned.exe")));
  EXPECT_FALSE(info.versionData.empty());
  EXPECT_FALSE(info.Load(dir_.Join("missing.exe")));
  EXPECT_TRUE(info.versionData.empty());
  EXPECT_EQ(info.GetVersionString("ProductVersion"), "");
  std::string deep = dir_.path();
  while (deep.size() < 260) deep += "\\d";
  EXPECT_FALSE(info.Load(deep));
}

TEST(InstallText, TrimmingAndComparison) {
  EXPECT_EQ(TrimText(" \t\n\v\f\r a b \r\n"), "a b");
  EXPECT_EQ(TrimText("   "), "");
  EXPECT_EQ(TrimText(""), "");
  EXPECT_EQ(TrimText("\xa0x\xa0"), "\xa0x\xa0");  // not white space in the C locale
  EXPECT_TRUE(TextEqualsNoCase("2.0.1.A", "2.0.1.a"));
  EXPECT_FALSE(TextEqualsNoCase("2.0.1.A", "2.0.1.A "));
  EXPECT_TRUE(TextEqualsNoCase("", ""));
}

TEST(InstallText, OnlyAsciiLettersFoldUnderAnyLocale) {
  ASSERT_TRUE(SelectLocale("Polish"));
  EXPECT_TRUE(TextEqualsNoCase("2.0.1.4PL", "2.0.1.4pl"));
  // L and l with stroke in code page 1250: a locale pair, not an ASCII one.
  EXPECT_FALSE(TextEqualsNoCase("\xa3", "\xb3"));
  EXPECT_FALSE(TextEqualsNoCase("wersja \xa5", "wersja \xb9"));
  SelectLocale("C");
}

}  // namespace
}  // namespace upkeep
