#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/code_page.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "test_util.h"

namespace upkeep {
namespace {

// What the system itself holds under `dir`, in UTF-16.
std::vector<std::wstring> SystemNames(const std::string& dir) {
  std::vector<std::wstring> names;
  std::u16string wide = AnsiToUtf16(dir + "\\*", 1252);
  WIN32_FIND_DATAW data;
  HANDLE h = FindFirstFileW(reinterpret_cast<const wchar_t*>(wide.c_str()), &data);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(h, &data));
  FindClose(h);
  return names;
}

struct LocaleGuard {
  ~LocaleGuard() {
    SelectLocale("C");
    SetPathCodePage(kAnsiCodePage);
  }
};

// Names reach the disk as the string table's code page spells them, whatever
// the system's own: the same bytes give the same file on every Windows.
TEST(PlatformWidePathWin32, NamesFollowTheTablesCodePage) {
  LocaleGuard guard;
  test::TempDir dir;  // ASCII, so it reads the same in every code page below
  FileSystem* fs = GetFileSystem();
  struct Case {
    const char* locale;
    int path_code_page;
    std::string name;  // in that code page
    std::wstring on_disk;
  };
  const Case cases[] = {
      {"Polish", kAnsiCodePage, "\xaf\xf3\xb3w.txt", L"\u017b\u00f3\u0142w.txt"},
      {"Russian", kAnsiCodePage, "\xc8\xe3\xf0\xe0.txt", L"\u0418\u0433\u0440\u0430.txt"},
      {"C", 65001, "\xe3\x82\xb2\xe3\x83\xbc\xe3\x83\xa0.txt", L"\u30b2\u30fc\u30e0.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.locale);
    ASSERT_TRUE(SelectLocale(c.locale));
    SetPathCodePage(c.path_code_page);
    const std::string path = dir.path() + "\\" + c.name;
    std::unique_ptr<File> f = fs->Open(path, OpenMode::kWrite);
    ASSERT_NE(f, nullptr);
    f.reset();
    std::vector<std::wstring> names = SystemNames(dir.path());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], c.on_disk);
    std::vector<FindEntry> found;
    ASSERT_TRUE(fs->Find(dir.path() + "\\*.txt", &found));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, c.name);
    EXPECT_TRUE(fs->Delete(path));
  }
}

// A name the code page cannot spell is neither listed with stand-ins nor
// reachable through one: "?" would be a wildcard, a best-fit letter another file.
TEST(PlatformWidePathWin32, UnspellableNamesAreLeftOut) {
  LocaleGuard guard;
  test::TempDir dir;
  ASSERT_TRUE(SelectLocale("Polish"));
  std::u16string wide = AnsiToUtf16(dir.path(), 1252) + u"\\\u30b2\u30fc\u30e0.txt";
  HANDLE h = CreateFileW(reinterpret_cast<const wchar_t*>(wide.c_str()), GENERIC_WRITE, 0, nullptr,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  std::vector<FindEntry> found;
  ASSERT_TRUE(GetFileSystem()->Find(dir.path() + "\\*.*", &found));
  for (const FindEntry& e : found) EXPECT_TRUE(e.name == "." || e.name == "..") << e.name;
  EXPECT_EQ(GetFileSystem()->GetAttributes(dir.path() + "\\???.txt"), kInvalidAttributes);
  // Bytes that are not UTF-8 name nothing when paths are UTF-8.
  SetPathCodePage(65001);
  EXPECT_EQ(GetFileSystem()->Open(dir.path() + "\\\xff.txt", OpenMode::kWrite), nullptr);
}

// Folders deeper than the plain API's 260 characters are made, written,
// listed and removed like any other.
TEST(PlatformWidePathWin32, LongPaths) {
  test::TempDir dir;
  FileSystem* fs = GetFileSystem();
  std::string path = dir.path();
  std::vector<std::string> made;
  while (path.size() < 400) {
    path += "\\" + std::string(40, 'd');
    ASSERT_EQ(fs->CreateDir(path), CreateDirResult::kCreated) << path.size();
    made.push_back(path);
  }
  const std::string file = path + "\\data.bin";
  std::unique_ptr<File> f = fs->Open(file, OpenMode::kWrite);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->Write("abc", 3), 3);
  f.reset();
  std::vector<FindEntry> found;
  ASSERT_TRUE(fs->Find(path + "\\*.bin", &found));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].size, 3u);
  EXPECT_TRUE(fs->Delete(file));
  for (auto it = made.rbegin(); it != made.rend(); ++it) EXPECT_TRUE(fs->RemoveDir(*it));
}

}  // namespace
}  // namespace upkeep
