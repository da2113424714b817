#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "install/installation.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "test_util.h"

namespace upkeep {
namespace {

TEST(InstallWin32, AHandleWithoutSharingOrAMappedProgramMeansRunning) {
  test::TempDir dir;
  const std::string exe = dir.Join("Game.exe");
  ASSERT_TRUE(test::WriteFileText(exe, "MZ"));
  EXPECT_FALSE(IsGameRunning(dir.path(), "Game.exe"));
  for (DWORD share : {DWORD{0}, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE}}) {
    HANDLE h = CreateFileA(exe.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(IsGameRunning(dir.path(), "Game.exe")) << share;
    CloseHandle(h);
    EXPECT_FALSE(IsGameRunning(dir.path(), "Game.exe")) << share;
  }
  // This very program is mapped for execution.
  const std::string self = GetProgramPath();
  const size_t slash = self.find_last_of('\\');
  ASSERT_NE(slash, std::string::npos);
  EXPECT_TRUE(IsGameRunning(self.substr(0, slash), self.substr(slash + 1)));
}

TEST(InstallWin32, AKeyOnlyInTheOtherViewIsFound) {
  // Written where a 32-bit installer writes on 64-bit Windows (or the other way
  // round for a 32-bit build).
  const REGSAM other = sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
  const std::string path = "Software\\UpkeepViewTest" + std::to_string(GetCurrentProcessId());
  HKEY h = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | other,
                            nullptr, &h, nullptr),
            ERROR_SUCCESS);
  const char value[] = "C:\\Games\\Old";
  ASSERT_EQ(RegSetValueExA(h, "Destination", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                           sizeof(value)),
            ERROR_SUCCESS);
  RegCloseKey(h);
  std::string out;
  EXPECT_EQ(ReadRegistryValue(path, "Destination", &out), 0);
  EXPECT_EQ(out, value);
  EXPECT_EQ(ReadRegistryValue(path, "Missing", &out), 2);
  EXPECT_EQ(ReadRegistryValue(path + "X", "Destination", &out), 2);
  RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), other, 0);
}

}  // namespace
}  // namespace upkeep
