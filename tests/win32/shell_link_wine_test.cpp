// The portable .lnk reader and writer against the system's own shell link
// object, both directions, in one process.
#include <windows.h>
#include <objbase.h>
#include <shlguid.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/code_page.h"
#include "platform/file_system.h"
#include "platform/shell_link.h"
#include "platform/shell_link_format.h"
#include "platform/text.h"
#include "shell/shortcut_commands.h"
#include "shell_test_machine.h"
#include "test_util.h"

namespace upkeep {
namespace {

struct Properties {
  std::string target, arguments, icon, workingDir, description;
  int index = 0;
  WORD hotKey = 0;
  int showCommand = 0;
};

class ComScope {
 public:
  ComScope() : ok_(SUCCEEDED(CoInitialize(nullptr))) {}
  ~ComScope() {
    if (ok_) CoUninitialize();
  }

 private:
  bool ok_;
};

struct ShellObject {
  IShellLinkA* link = nullptr;
  IPersistFile* file = nullptr;
  ShellObject() {
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                   reinterpret_cast<void**>(&link)))) {
      link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
    }
  }
  ~ShellObject() {
    if (file != nullptr) file->Release();
    if (link != nullptr) link->Release();
  }
};

std::wstring Wide(const std::string& path) {
  WCHAR buf[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, buf, MAX_PATH) == 0) return L"";
  return buf;
}

bool ShellRead(const std::string& path, Properties* p) {
  ShellObject o;
  if (o.file == nullptr || FAILED(o.file->Load(Wide(path).c_str(), STGM_READ))) return false;
  char buf[1024];
  WIN32_FIND_DATAA data;
  if (FAILED(o.link->GetPath(buf, sizeof buf, &data, SLGP_RAWPATH))) return false;
  p->target = buf;
  o.link->GetArguments(buf, sizeof buf);
  p->arguments = buf;
  o.link->GetIconLocation(buf, sizeof buf, &p->index);
  p->icon = buf;
  o.link->GetWorkingDirectory(buf, sizeof buf);
  p->workingDir = buf;
  o.link->GetDescription(buf, sizeof buf);
  p->description = buf;
  o.link->GetHotkey(&p->hotKey);
  o.link->GetShowCmd(&p->showCommand);
  return true;
}

bool ShellWrite(const std::string& path, const Properties& p) {
  ShellObject o;
  if (o.file == nullptr) return false;
  o.link->SetPath(p.target.c_str());
  if (!p.arguments.empty()) o.link->SetArguments(p.arguments.c_str());
  if (!p.icon.empty()) o.link->SetIconLocation(p.icon.c_str(), p.index);
  if (!p.workingDir.empty()) o.link->SetWorkingDirectory(p.workingDir.c_str());
  if (!p.description.empty()) o.link->SetDescription(p.description.c_str());
  if (p.hotKey != 0) o.link->SetHotkey(p.hotKey);
  if (p.showCommand != 0) o.link->SetShowCmd(p.showCommand);
  return SUCCEEDED(o.file->Save(Wide(path).c_str(), TRUE));
}

bool PortableRead(const std::string& path, lnk::LinkData* link) {
  std::vector<uint8_t> bytes;
  return test::ReadFileBytes(path, &bytes) &&
         lnk::ParseLink(bytes.data(), bytes.size(), kAnsiCodePage, link);
}

std::string Ansi(const std::u16string& text) { return Utf16ToAnsi(text); }

class ShellLinkWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::WriteFileText(dir_.Join("Knight Game.exe"), "MZ"));
    ASSERT_TRUE(CreateDirectoryA(dir_.Join("Data Folder").c_str(), nullptr));
  }
  ComScope com_;
  test::TempDir dir_;
};

TEST_F(ShellLinkWineTest, ShellReadsWhatThePortableWriterWrote) {
  struct Case {
    std::string target;
    bool exists, isDirectory;
  } cases[] = {
      {dir_.Join("Knight Game.exe"), true, false},
      {dir_.Join("Data Folder"), true, true},
      {dir_.Join("gone\\Not There.exe"), false, false},
  };
  for (const Case& c : cases) {
    lnk::LinkData link;
    lnk::TargetFacts facts;
    facts.exists = c.exists;
    facts.isDirectory = c.isDirectory;
    facts.attributes = c.isDirectory ? 0x10 : c.exists ? 0x20 : 0;
    ASSERT_TRUE(lnk::SetLinkTarget(&link, c.target, facts, kAnsiCodePage, kAnsiCodePage));
    link.arguments = {true, u"-window \"two words\""};
    link.iconLocation = {true, AnsiToUtf16(dir_.Join("Knight Game.exe"))};
    link.iconIndex = 3;
    link.workingDir = {true, AnsiToUtf16(dir_.path())};
    link.name = {true, u"Play the game"};
    std::string file = dir_.Join("portable.lnk");
    ASSERT_TRUE(test::WriteFileBytes(file, lnk::SerializeLink(link)));

    Properties p;
    ASSERT_TRUE(ShellRead(file, &p)) << c.target;
    EXPECT_EQ(p.target, c.target);
    EXPECT_EQ(p.arguments, "-window \"two words\"");
    EXPECT_EQ(p.icon, dir_.Join("Knight Game.exe"));
    EXPECT_EQ(p.index, 3);
    EXPECT_EQ(p.workingDir, dir_.path());
    EXPECT_EQ(p.description, "Play the game");
  }
}

TEST_F(ShellLinkWineTest, PortableReaderReadsWhatTheShellWrote) {
  Properties p;
  p.target = dir_.Join("Knight Game.exe");
  p.arguments = "-full -lang pl";
  p.icon = dir_.Join("Knight Game.exe");
  p.index = 2;
  p.workingDir = dir_.path();
  p.description = "Knight";
  p.hotKey = 0x0341;
  p.showCommand = SW_SHOWMAXIMIZED;
  std::string file = dir_.Join("shell.lnk");
  ASSERT_TRUE(ShellWrite(file, p));

  lnk::LinkData link;
  ASSERT_TRUE(PortableRead(file, &link));
  EXPECT_EQ(Ansi(link.target), p.target);
  EXPECT_EQ(Ansi(link.arguments.text), p.arguments);
  EXPECT_EQ(Ansi(link.iconLocation.text), p.icon);
  EXPECT_EQ(link.iconIndex, 2);
  EXPECT_EQ(Ansi(link.workingDir.text), p.workingDir);
  EXPECT_EQ(link.hotKey, 0x0341);
  EXPECT_EQ(link.showCommand, static_cast<uint32_t>(SW_SHOWMAXIMIZED));

  // Retargeted by the portable side, the shell sees the new target and
  // everything else as it wrote it.
  ASSERT_TRUE(lnk::SetLinkTarget(&link, dir_.Join("Data Folder"), lnk::TargetFacts(), kAnsiCodePage,
                                 kAnsiCodePage));
  ASSERT_TRUE(test::WriteFileBytes(file, lnk::SerializeLink(link)));
  Properties back;
  ASSERT_TRUE(ShellRead(file, &back));
  EXPECT_EQ(back.target, dir_.Join("Data Folder"));
  EXPECT_EQ(back.arguments, p.arguments);
  EXPECT_EQ(back.icon, p.icon);
  EXPECT_EQ(back.index, 2);
  EXPECT_EQ(back.workingDir, p.workingDir);
  EXPECT_EQ(back.description, "Knight");
  EXPECT_EQ(back.hotKey, 0x0341);
  // The show command is not compared here: this shell does not read back
  // even the value it wrote itself.
}

TEST_F(ShellLinkWineTest, ShellWrittenLinkWithoutLinkInfoIsReadFromItsItemList) {
  Properties p;
  p.target = dir_.Join("Knight Game.exe");
  std::string file = dir_.Join("shell.lnk");
  ASSERT_TRUE(ShellWrite(file, p));
  lnk::LinkData link;
  ASSERT_TRUE(PortableRead(file, &link));
  ASSERT_TRUE(link.hasIdList);
  link.hasLinkInfo = false;
  link.linkInfo.clear();
  std::vector<uint8_t> bytes = lnk::SerializeLink(link);
  lnk::LinkData back;
  ASSERT_TRUE(lnk::ParseLink(bytes.data(), bytes.size(), kAnsiCodePage, &back));
  // The item list may hold short names; both spell the same file.
  char a[MAX_PATH], b[MAX_PATH];
  ASSERT_NE(GetLongPathNameA(Ansi(back.target).c_str(), a, MAX_PATH), 0u) << Ansi(back.target);
  ASSERT_NE(GetLongPathNameA(p.target.c_str(), b, MAX_PATH), 0u);
  EXPECT_EQ(lstrcmpiA(a, b), 0) << a << " vs " << b;
}

// A Polish string table (1250) on this Western system: a shortcut to a Polish
// folder, written by the shell or by the portable writer, reads back through
// the link object as the exact path, and the portable reader finds it too.
// (The shell's own LinkInfo copy holds only what 1252 can spell.)
TEST_F(ShellLinkWineTest, TargetsOutsideTheSystemsCodePageReadTheSameFromEitherWriter) {
  struct LocaleGuard {
    ~LocaleGuard() { SelectLocale("C"); }
  } guard;
  ASSERT_TRUE(SelectLocale("Polish"));
  const std::wstring folder = Wide(dir_.path()) + L"\\\u017b\u00f3\u0142w";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  HANDLE h = CreateFileW((folder + L"\\game.exe").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0,
                         nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  const std::string target = dir_.path() + "\\\xaf\xf3\xb3w\\game.exe";  // in 1250
  const std::string file = dir_.Join("polish.lnk");
  for (bool byShell : {true, false}) {
    SCOPED_TRACE(byShell ? "written by the shell" : "written by the portable writer");
    if (byShell) {
      IShellLinkW* link = nullptr;
      IPersistFile* persist = nullptr;
      ASSERT_TRUE(SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                             IID_IShellLinkW, reinterpret_cast<void**>(&link))));
      ASSERT_TRUE(
          SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist))));
      bool saved = SUCCEEDED(link->SetPath((folder + L"\\game.exe").c_str())) &&
                   SUCCEEDED(persist->Save(Wide(file).c_str(), TRUE));
      persist->Release();
      link->Release();
      ASSERT_TRUE(saved);
    } else {
      lnk::LinkData link;
      lnk::TargetFacts facts;
      facts.exists = true;
      facts.attributes = FILE_ATTRIBUTE_ARCHIVE;
      ASSERT_TRUE(lnk::SetLinkTarget(&link, target, facts, kAnsiCodePage, GetACP()));
      ASSERT_TRUE(test::WriteFileBytes(file, lnk::SerializeLink(link)));
    }
    std::unique_ptr<ShellLink> object = DefaultShellLinks()->Create();
    ASSERT_NE(object, nullptr);
    ASSERT_TRUE(object->Load(file));
    std::string read;
    ASSERT_TRUE(object->GetPath(&read));
    EXPECT_EQ(read, target);
    std::vector<uint8_t> bytes;
    lnk::LinkData parsed;
    ASSERT_TRUE(test::ReadFileBytes(file, &bytes));
    ASSERT_TRUE(lnk::ParseLink(bytes.data(), bytes.size(), GetACP(), &parsed));
    EXPECT_EQ(parsed.target, AnsiToUtf16(target));
  }
}

// A shortcut stored with the short (8.3) form of the old target still
// matches, since both sides are compared in long form.
TEST(ShellLinkWineCommands, ShortFormTargetMatches) {
  test::ShellTestMachine machine;
  ASSERT_TRUE(machine.ok());
  RegisterShortcutCommands();
  std::string base = machine.Path("Game Folder\\");
  std::string menu = machine.Path("Menu");
  ASSERT_TRUE(CreateDirectoryA(base.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA(menu.c_str(), nullptr));
  ASSERT_TRUE(test::WriteFileText(base + "Knight Game.exe", "MZ"));
  ASSERT_TRUE(test::WriteFileText(base + "Knight Two.exe", "MZ"));
  machine.SetFolder(test::ShellFolderValue::kCommonStartMenu, menu.c_str());
  char shortPath[MAX_PATH];
  DWORD n = GetShortPathNameA((base + "Knight Game.exe").c_str(), shortPath, MAX_PATH);
  ASSERT_GT(n, 0u);
  ASSERT_NE(std::string(shortPath), base + "Knight Game.exe") << "no short names here";
  {
    ComScope com;
    Properties p;
    p.target = shortPath;
    ASSERT_TRUE(ShellWrite(menu + "\\Play.lnk", p));
  }
  CommandContext context;
  context.linkBaseDir = base;
  std::unique_ptr<ScriptCall> call(new ScriptCall);
  call->arguments = new ScriptString("Knight Game.exe");
  call->arguments->next = new ScriptString("Knight Two.exe");
  UpdateStartMenuLinkToFileCommand(context, *call);
  ComScope com;
  Properties after;
  ASSERT_TRUE(ShellRead(menu + "\\Play.lnk", &after));
  char a[MAX_PATH];
  ASSERT_NE(GetLongPathNameA(after.target.c_str(), a, MAX_PATH), 0u);
  EXPECT_EQ(lstrcmpiA(a, (base + "Knight Two.exe").c_str()), 0) << a;
}

}  // namespace
}  // namespace upkeep
