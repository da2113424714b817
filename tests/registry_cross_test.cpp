// Both builds against the same registry: run by tests/wine/registry_cross.sh,
// which has the Windows build write the values under Wine and then the POSIX
// build read the hive Wine saved. Skipped unless UPKEEP_REGISTRY_CROSS is set.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "install/installation.h"
#include "platform/code_page.h"
#include "platform/registry.h"
#include "registry_cross_values.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace upkeep {
namespace {

void ExpectReadsAsWritten() {
  const std::string key = test::kCrossKeyAnsi;
  for (const test::CrossValue& v : test::CrossValues()) {
    const std::string name = Utf16ToAnsi(v.name, 1252);
    SCOPED_TRACE(name);
    uint8_t buf[300];
    memset(buf, 0xCC, sizeof(buf));
    uint32_t type = 0;
    uint32_t size = 260;
    int32_t status = QueryRegistryValue(RegistryRoot::kLocalMachine, key, name, &type, buf, &size);
    if (v.ansi.size() > 260) {
      EXPECT_EQ(status, kRegMoreData);
      EXPECT_EQ(size, v.ansi.size());
      continue;
    }
    ASSERT_EQ(status, kRegSuccess);
    EXPECT_EQ(type, v.type);
    ASSERT_EQ(size, v.ansi.size());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), size), v.ansi);
    // The size alone, and a buffer one byte short.
    uint32_t needed = 0;
    EXPECT_EQ(QueryRegistryValue(RegistryRoot::kLocalMachine, key, name, nullptr, nullptr, &needed),
              kRegSuccess);
    EXPECT_EQ(needed, v.ansi.size());
    if (size > 0) {
      uint32_t short_size = size - 1;
      EXPECT_EQ(
          QueryRegistryValue(RegistryRoot::kLocalMachine, key, name, nullptr, buf, &short_size),
          kRegMoreData);
    }
  }
  uint32_t size = 4;
  uint8_t buf[4];
  EXPECT_EQ(QueryRegistryValue(RegistryRoot::kLocalMachine, key, "Missing", nullptr, buf, &size),
            kRegNotFound);
  EXPECT_EQ(
      QueryRegistryValue(RegistryRoot::kLocalMachine, key + "\\Sub", "x", nullptr, buf, &size),
      kRegNotFound);
  std::string out;
  EXPECT_EQ(ReadRegistryValue(key, "Destination", &out), 0);
  EXPECT_EQ(out, "C:\\Games\\Acme\\");
  EXPECT_EQ(ReadRegistryValue(key, "Longest", &out), 0);
  EXPECT_EQ(ReadRegistryValue(key, "TooLong", &out), 234);
}

TEST(RegistryCross, ReadsWhatTheSystemWrote) {
  if (getenv("UPKEEP_REGISTRY_CROSS") == nullptr) GTEST_SKIP() << "run by registry_cross.sh";
#ifdef _WIN32
  HKEY h = nullptr;
  const std::u16string path = test::kCrossKeyWide;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<const wchar_t*>(path.c_str()), 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
            ERROR_SUCCESS);
  for (const test::CrossValue& v : test::CrossValues()) {
    // The system adds a terminator a caller forgot when one follows the data;
    // a non-NUL unit after them keeps an unterminated string unterminated.
    std::vector<uint8_t> data = v.data;
    data.insert(data.end(), {'X', 0});
    ASSERT_EQ(RegSetValueExW(h, reinterpret_cast<const wchar_t*>(v.name.c_str()), 0, v.type,
                             data.data(), static_cast<DWORD>(v.data.size())),
              ERROR_SUCCESS);
  }
  RegCloseKey(h);
#endif
  ExpectReadsAsWritten();
}

// Written by registry_cross.sh with Wine's reg tool before either build runs.
TEST(RegistryCross, ReadsWhatTheRegToolWrote) {
  if (getenv("UPKEEP_REGISTRY_CROSS") == nullptr) GTEST_SKIP() << "run by registry_cross.sh";
  const std::string key = "Software\\UpkeepRegistryCross\\RegAdd";
  std::string out;
  EXPECT_EQ(ReadRegistryValue(key, "Path", &out), 0);
  EXPECT_EQ(out, "C:\\Games\\X");
  EXPECT_EQ(ReadRegistryValue("SOFTWARE\\upkeepregistrycross\\regadd", "PATH", &out), 0);
  EXPECT_EQ(out, "C:\\Games\\X");
  EXPECT_EQ(ReadRegistryValue(key, "", &out), 0);
  EXPECT_EQ(out, "C:\\Default\\Dir\\");
  EXPECT_EQ(ReadRegistryValue(key, "Exp", &out), 0);
  EXPECT_EQ(out, "%ProgramFiles%\\Game");  // not expanded
  EXPECT_EQ(ReadRegistryValue(key, "Accents", &out), 0);
  EXPECT_EQ(out, "C:\\Gry\\Caf\xe9");
  EXPECT_EQ(ReadRegistryValue(key, "Missing", &out), 2);
  // A key in the 32-bit view only is found from the 64-bit one, and directly.
  EXPECT_EQ(ReadRegistryValue("Software\\UpkeepRegistryCross32\\Game", "Path", &out), 0);
  EXPECT_EQ(out, "C:\\Games\\W32");
  EXPECT_EQ(ReadRegistryValue("Software\\Wow6432Node\\UpkeepRegistryCross32\\Game", "Path", &out),
            0);
  EXPECT_EQ(out, "C:\\Games\\W32");
  EXPECT_EQ(ReadRegistryValue("Software\\UpkeepRegistryCross32", "Path", &out), 2);
  EXPECT_EQ(ReadRegistryValue("\\Software\\UpkeepRegistryCross\\RegAdd", "Path", &out), 161);
}

}  // namespace
}  // namespace upkeep
