// The shortcut commands on a throwaway machine: shell folders in the
// registry, real .lnk files written and read through the platform's link
// object, and the update log they write.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/command_context.h"
#include "engine/script_runner.h"
#include "engine/shortcut_hook.h"
#include "package/package.h"
#include "platform/file_system.h"
#include "platform/shell_link.h"
#include "script/script_call.h"
#include "shell/shortcut_commands.h"
#include "shell/shortcut_links.h"
#include "shell_test_machine.h"

namespace upkeep {
namespace {

using test::ShellFolderValue;
using test::ShellTestMachine;

// The test's own use of the link service, bracketed like a command's.
struct LinkSession {
  LinkSession() { GetShellLinks()->Begin(); }
  ~LinkSession() { GetShellLinks()->End(); }
};

bool MakeDirs(const std::string& path) {
  FileSystem* fs = GetFileSystem();
  for (size_t at = path.find('\\', 3);; at = path.find('\\', at + 1)) {
    std::string part = path.substr(0, at);
    if (fs->CreateDir(part) == CreateDirResult::kFailed) return false;
    if (at == std::string::npos) break;
  }
  return IsDirectory(path);
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
  std::unique_ptr<File> f = GetFileSystem()->Open(path, OpenMode::kWrite);
  return f != nullptr && f->Write(bytes.data(), bytes.size()) == static_cast<int64_t>(bytes.size());
}

std::string ReadBytes(const std::string& path) {
  std::unique_ptr<File> f = GetFileSystem()->Open(path, OpenMode::kRead);
  if (f == nullptr) return std::string();
  int64_t size = f->Size();
  std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0 && f->Read(&out[0], out.size()) != size) return std::string();
  return out;
}

bool MakeLink(const std::string& link, const std::string& target, const std::string& args = "",
              const std::string& icon = "", int32_t index = 0) {
  LinkSession session;
  std::unique_ptr<ShellLink> l = GetShellLinks()->Create();
  if (l == nullptr || !l->SetPath(target)) return false;
  if (!args.empty() && !l->SetArguments(args)) return false;
  if (!icon.empty() && !l->SetIconLocation(icon, index)) return false;
  return l->Save(link);
}

struct LinkFacts {
  bool loaded = false;
  std::string target, arguments, icon;
  int32_t index = 0;
};

LinkFacts ReadLink(const std::string& link) {
  LinkSession session;
  LinkFacts facts;
  std::unique_ptr<ShellLink> l = GetShellLinks()->Create();
  if (l == nullptr || !l->Load(link)) return facts;
  facts.loaded = l->GetPath(&facts.target) && l->GetArguments(&facts.arguments) &&
                 l->GetIconLocation(&facts.icon, &facts.index);
  return facts;
}

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return s;
}

// Same file, as the commands compare: long forms, letter case ignored.
bool SameFile(const std::string& a, const std::string& b) {
  std::string la = GetFileSystem()->GetLongPath(a), lb = GetFileSystem()->GetLongPath(b);
  return Lower(la.empty() ? a : la) == Lower(lb.empty() ? b : lb);
}

// Every file below `folder` with its bytes, for before-and-after comparisons.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> out;
  std::vector<std::string> pending{folder};
  while (!pending.empty()) {
    std::string dir = pending.back();
    pending.pop_back();
    std::vector<FindEntry> entries;
    if (!GetFileSystem()->Find(dir + "\\*.*", &entries)) continue;
    for (const FindEntry& e : entries) {
      if (e.name == "." || e.name == "..") continue;
      std::string path = dir + "\\" + e.name;
      if (e.attributes & kAttrDirectory) {
        pending.push_back(path);
        out[path] = "<dir>";
      } else {
        out[path] = ReadBytes(path);
      }
    }
  }
  return out;
}

struct ProgressCall {
  int32_t overall, step;
  std::string file, text;
};
// Into the vector the callback was given.
void RecordProgress(void* calls, int32_t overall, int32_t step, const char* file,
                    const char* text) {
  static_cast<std::vector<ProgressCall>*>(calls)->push_back({overall, step, file, text});
}

// Builds a call with string arguments and, when given, a trailing integer.
std::unique_ptr<ScriptCall> Call(const char* name, const std::vector<std::string>& strings,
                                 const int32_t* integer = nullptr) {
  std::unique_ptr<ScriptCall> call(new ScriptCall);
  call->name = Lower(name);
  ScriptValue** tail = &call->arguments;
  for (const std::string& s : strings) {
    *tail = new ScriptString(s);
    tail = &(*tail)->next;
  }
  if (integer != nullptr) *tail = new ScriptInteger(*integer);
  return call;
}

class ShortcutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(machine_.ok());
    RegisterShortcutCommands();
    savedDir_ = GetFileSystem()->GetCurrentDir();
    game_ = machine_.Path("Game");
    base_ = game_ + "\\";
    ASSERT_TRUE(MakeDirs(game_ + "\\bin"));
    for (const char* f : {"game.exe", "editor.exe", "readme.txt", "bin\\game2.exe"}) {
      ASSERT_TRUE(WriteBytes(base_ + f, "MZ"));
    }
    context_.linkBaseDir = base_;
    context_.gameExecutable = "game.exe";
    logPath_ = machine_.Path("patch.log");
    context_.log = OpenPackageFile(logPath_.c_str(), "wt");
    ASSERT_NE(context_.log, nullptr);
  }
  void TearDown() override {
    if (context_.log != nullptr) ClosePackageFile(context_.log);
    GetFileSystem()->SetCurrentDir(savedDir_);
  }

  // The log's lines so far, without their CR LF; closes the log.
  std::vector<std::string> LogLines() {
    if (context_.log != nullptr) ClosePackageFile(context_.log);
    context_.log = nullptr;
    std::string text = ReadBytes(logPath_);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
      lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "every line ends in CR LF";
    return lines;
  }
  static std::vector<std::string> Sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  }

  void UseStartMenu(const std::string& relative) {
    ASSERT_TRUE(MakeDirs(machine_.Path(relative)));
    machine_.SetFolder(ShellFolderValue::kCommonStartMenu, machine_.Path(relative).c_str());
  }
  void UseDesktop(const std::string& relative) {
    ASSERT_TRUE(MakeDirs(machine_.Path(relative)));
    machine_.SetFolder(ShellFolderValue::kDesktop, machine_.Path(relative).c_str());
  }
  // A shortcut at machine-relative `link` to base-relative `target`.
  void Link(const std::string& link, const std::string& target, const std::string& args = "") {
    std::string path = machine_.Path(link);
    ASSERT_TRUE(MakeDirs(path.substr(0, path.rfind('\\'))));
    ASSERT_TRUE(MakeLink(path, base_ + target, args)) << link;
  }
  bool PointsTo(const std::string& link, const std::string& target) {
    return SameFile(ReadLink(machine_.Path(link)).target, base_ + target);
  }
  std::string Updated(const std::string& link, const std::string& target) {
    return "Updated Shortcut " + machine_.Path(link) + " , new target: " + base_ + target;
  }

  void Run(ShortcutHandler handler, const std::vector<std::string>& args,
           const int32_t* integer = nullptr) {
    std::unique_ptr<ScriptCall> call = Call("x", args, integer);
    handler(context_, *call);
  }

  ShellTestMachine machine_;
  CommandContext context_;
  std::string savedDir_, game_, base_, logPath_;
};

TEST_F(ShortcutTest, RetargetsEveryMatchInNestedStartMenuFolders) {
  UseStartMenu("Menu");
  Link("Menu\\Programs\\Knight\\Play.lnk", "game.exe");
  Link("Menu\\Programs\\Other\\Deep\\Play too.lnk", "game.exe", "-window");
  Link("Menu\\Programs\\Knight\\Read me.lnk", "readme.txt");
  Link("Menu\\Top.lnk", "game.exe");
  std::string untouched = ReadBytes(machine_.Path("Menu\\Programs\\Knight\\Read me.lnk"));

  Run(UpdateStartMenuLinkToFileCommand, {"game.exe", "bin\\game2.exe"});

  for (const char* link : {"Menu\\Programs\\Knight\\Play.lnk",
                           "Menu\\Programs\\Other\\Deep\\Play too.lnk", "Menu\\Top.lnk"}) {
    EXPECT_TRUE(PointsTo(link, "bin\\game2.exe")) << link;
  }
  EXPECT_EQ(ReadLink(machine_.Path("Menu\\Programs\\Other\\Deep\\Play too.lnk")).arguments,
            "-window");
  EXPECT_EQ(ReadBytes(machine_.Path("Menu\\Programs\\Knight\\Read me.lnk")), untouched);
  EXPECT_EQ(Sorted(LogLines()),
            Sorted({Updated("Menu\\Programs\\Knight\\Play.lnk", "bin\\game2.exe"),
                    Updated("Menu\\Programs\\Other\\Deep\\Play too.lnk", "bin\\game2.exe"),
                    Updated("Menu\\Top.lnk", "bin\\game2.exe")}));
}

TEST_F(ShortcutTest, ComparesArgumentsUnlessToldToIgnoreThem) {
  UseStartMenu("Menu");
  Link("Menu\\Window.lnk", "game.exe", "-window");
  Link("Menu\\Full.lnk", "game.exe", "-full");
  std::string full = ReadBytes(machine_.Path("Menu\\Full.lnk"));

  // Arguments match without regard to case, like targets.
  Run(UpdateStartMenuLinkCommand, {"game.exe", "-WINDOW", "editor.exe", "-edit"});
  EXPECT_TRUE(PointsTo("Menu\\Window.lnk", "editor.exe"));
  EXPECT_EQ(ReadLink(machine_.Path("Menu\\Window.lnk")).arguments, "-edit");
  EXPECT_EQ(ReadBytes(machine_.Path("Menu\\Full.lnk")), full);

  Run(UpdateStartMenuLinkToFileCommand, {"game.exe", "bin\\game2.exe"});
  EXPECT_TRUE(PointsTo("Menu\\Full.lnk", "bin\\game2.exe"));
  EXPECT_EQ(ReadLink(machine_.Path("Menu\\Full.lnk")).arguments, "-full");
  EXPECT_TRUE(PointsTo("Menu\\Window.lnk", "editor.exe"));
  EXPECT_EQ(LogLines(), (std::vector<std::string>{Updated("Menu\\Window.lnk", "editor.exe"),
                                                  Updated("Menu\\Full.lnk", "bin\\game2.exe")}));
}

TEST_F(ShortcutTest, DesktopCommandsWalkTheDesktopOnly) {
  UseStartMenu("Menu");
  UseDesktop("Desk");
  Link("Menu\\Play.lnk", "game.exe", "-a");
  Link("Desk\\Games\\Play.lnk", "game.exe", "-a");
  Run(UpdateDesktopLinkCommand, {"game.exe", "-a", "editor.exe", "-b"});
  EXPECT_TRUE(PointsTo("Desk\\Games\\Play.lnk", "editor.exe"));
  EXPECT_EQ(ReadLink(machine_.Path("Desk\\Games\\Play.lnk")).arguments, "-b");
  EXPECT_TRUE(PointsTo("Menu\\Play.lnk", "game.exe"));
  Run(UpdateDesktopLinkToFileCommand, {"editor.exe", "bin\\game2.exe"});
  EXPECT_TRUE(PointsTo("Desk\\Games\\Play.lnk", "bin\\game2.exe"));
  EXPECT_EQ(LogLines().size(), 2u);
}

TEST_F(ShortcutTest, UpperCaseExtensionIsSkippedByTheWalkButFoundAsTheGamesShortcut) {
  UseStartMenu("Menu");
  Link("Menu\\Knight\\PLAY.LNK", "game.exe");
  Link("Menu\\Other\\Read me.lnk", "readme.txt");
  std::string before = ReadBytes(machine_.Path("Menu\\Knight\\PLAY.LNK"));
  Run(UpdateStartMenuLinkToFileCommand, {"game.exe", "bin\\game2.exe"});
  EXPECT_EQ(ReadBytes(machine_.Path("Menu\\Knight\\PLAY.LNK")), before);

  {
    LinkSession session;
    EXPECT_TRUE(FolderHasLinkTo(machine_.Path("Menu\\Knight"), base_ + "game.exe"));
    EXPECT_FALSE(FolderHasLinkTo(machine_.Path("Menu\\Other"), base_ + "game.exe"));
    // Only the folder itself counts, not its subfolders.
    EXPECT_FALSE(FolderHasLinkTo(machine_.Path("Menu"), base_ + "game.exe"));
  }

  int32_t index = 1;
  Run(AddStartMenuLinkCommand, {"Editor.lnk", "editor.exe", "-e", "editor.exe"}, &index);
  LinkFacts added = ReadLink(machine_.Path("Menu\\Knight\\Editor.lnk"));
  ASSERT_TRUE(added.loaded);
  EXPECT_TRUE(SameFile(added.target, base_ + "editor.exe"));
  EXPECT_EQ(added.arguments, "-e");
  EXPECT_TRUE(SameFile(added.icon, base_ + "editor.exe"));
  EXPECT_EQ(added.index, 1);
  EXPECT_EQ(LogLines(), std::vector<std::string>{"Added shortcut: " +
                                                 machine_.Path("Menu\\Knight\\Editor.lnk")});
}

TEST_F(ShortcutTest, MachineWideStartMenuWinsOverTheUsers) {
  UseStartMenu("Common");
  ASSERT_TRUE(MakeDirs(machine_.Path("User")));
  machine_.SetFolder(ShellFolderValue::kUserStartMenu, machine_.Path("User").c_str());
  Link("Common\\Play.lnk", "game.exe");
  Link("User\\Knight\\Play.lnk", "game.exe");

  Run(UpdateStartMenuLinkToFileCommand, {"game.exe", "bin\\game2.exe"});
  EXPECT_TRUE(PointsTo("Common\\Play.lnk", "bin\\game2.exe"));
  EXPECT_TRUE(PointsTo("User\\Knight\\Play.lnk", "game.exe"));

  // The user's shortcut to the game does not place a new one either.
  Run(AddStartMenuLinkCommand, {"Editor.lnk", "editor.exe", "", "editor.exe"});
  EXPECT_TRUE(ReadLink(machine_.Path("Common\\Editor.lnk")).loaded);
  EXPECT_FALSE(PathExists(machine_.Path("User\\Knight\\Editor.lnk")));

  // Without the machine-wide value the user's Start Menu is the one.
  machine_.SetFolder(ShellFolderValue::kCommonStartMenu, nullptr);
  Run(UpdateStartMenuLinkToFileCommand, {"game.exe", "bin\\game2.exe"});
  EXPECT_TRUE(PointsTo("User\\Knight\\Play.lnk", "bin\\game2.exe"));
}

TEST_F(ShortcutTest, AddStartMenuLinkGoesBesideTheGamesShortcutOrToTheTop) {
  UseStartMenu("Menu");
  Run(AddStartMenuLinkCommand, {"First.lnk", "editor.exe", "", ""});
  EXPECT_TRUE(PointsTo("Menu\\First.lnk", "editor.exe"));

  // A folder's own shortcuts are searched before its subfolders.
  Link("Menu\\Programs\\Knight\\Play.lnk", "game.exe");
  Link("Menu\\Programs\\Knight\\Extras\\Play.lnk", "game.exe");
  Link("Menu\\Programs\\Aardvark\\Read me.lnk", "readme.txt");
  Run(AddStartMenuLinkCommand, {"Second.lnk", "editor.exe", "", ""});
  EXPECT_TRUE(PointsTo("Menu\\Programs\\Knight\\Second.lnk", "editor.exe"));
  EXPECT_FALSE(PathExists(machine_.Path("Menu\\Second.lnk")));
  EXPECT_FALSE(PathExists(machine_.Path("Menu\\Programs\\Knight\\Extras\\Second.lnk")));

  {
    LinkSession session;
    std::string folder = machine_.Path("Menu");
    EXPECT_TRUE(GetGameStartMenuPath(&folder, base_ + "game.exe"));
    EXPECT_EQ(folder, machine_.Path("Menu\\Programs\\Knight"));
    folder = machine_.Path("Menu");
    EXPECT_FALSE(GetGameStartMenuPath(&folder, base_ + "nothing.exe"));
    EXPECT_EQ(folder, machine_.Path("Menu"));
  }

  // An existing shortcut of that name is overwritten.
  Run(AddStartMenuLinkCommand, {"Second.lnk", "readme.txt", "", ""});
  EXPECT_TRUE(PointsTo("Menu\\Programs\\Knight\\Second.lnk", "readme.txt"));
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{
                "Added shortcut: " + machine_.Path("Menu\\First.lnk"),
                "Added shortcut: " + machine_.Path("Menu\\Programs\\Knight\\Second.lnk"),
                "Added shortcut: " + machine_.Path("Menu\\Programs\\Knight\\Second.lnk")}));
}

TEST_F(ShortcutTest, AddDesktopLinkNeedsTheGamesShortcutOnTheDesktopItself) {
  UseDesktop("Desk");
  Link("Desk\\Games\\Play.lnk", "game.exe");
  Run(AddDesktopLinkCommand, {"Editor.lnk", "editor.exe", "", ""});
  EXPECT_FALSE(PathExists(machine_.Path("Desk\\Editor.lnk")));
  EXPECT_FALSE(PathExists(machine_.Path("Desk\\Games\\Editor.lnk")));

  Link("Desk\\Play.lnk", "game.exe");
  int32_t index = 4;
  Run(AddDesktopLinkCommand, {"Editor.lnk", "editor.exe", "-e", "game.exe"}, &index);
  LinkFacts added = ReadLink(machine_.Path("Desk\\Editor.lnk"));
  EXPECT_TRUE(SameFile(added.target, base_ + "editor.exe"));
  EXPECT_EQ(added.index, 4);
  EXPECT_EQ(LogLines(),
            std::vector<std::string>{"Added shortcut: " + machine_.Path("Desk\\Editor.lnk")});
}

TEST_F(ShortcutTest, ShortcutsMatchInAnyLetterCaseAndWhenTheOldTargetIsGone) {
  UseStartMenu("Menu");
  // The update already renamed old.exe away: both sides compare as written.
  ASSERT_TRUE(MakeLink(machine_.Path("Menu\\Old.lnk"), Lower(base_) + "OLD.EXE"));
  ASSERT_TRUE(MakeLink(machine_.Path("Menu\\Game.lnk"), Lower(base_) + "GAME.EXE"));
  Run(UpdateStartMenuLinkToFileCommand, {"old.exe", "bin\\game2.exe"});
  Run(UpdateStartMenuLinkToFileCommand, {"game.exe", "editor.exe"});
  EXPECT_TRUE(PointsTo("Menu\\Old.lnk", "bin\\game2.exe"));
  EXPECT_TRUE(PointsTo("Menu\\Game.lnk", "editor.exe"));
  LinkSession session;
  EXPECT_TRUE(LinkPointsTo(machine_.Path("Menu\\Game.lnk"), Lower(base_) + "EDITOR.exe"));
}

TEST_F(ShortcutTest, UnknownFoldersAndUnreadableShortcutsChangeNothing) {
  // No shell folder values at all.
  int32_t index = 0;
  Run(UpdateStartMenuLinkToFileCommand, {"game.exe", "editor.exe"});
  Run(UpdateDesktopLinkToFileCommand, {"game.exe", "editor.exe"});
  Run(AddStartMenuLinkCommand, {"Editor.lnk", "editor.exe", "", ""}, &index);
  Run(AddDesktopLinkCommand, {"Editor.lnk", "editor.exe", "", ""}, &index);
  // A Start Menu that does not exist, and a broken shortcut in a real one.
  machine_.SetFolder(ShellFolderValue::kCommonStartMenu, machine_.Path("Nowhere").c_str());
  Run(UpdateStartMenuLinkToFileCommand, {"game.exe", "editor.exe"});
  UseStartMenu("Menu");
  ASSERT_TRUE(WriteBytes(machine_.Path("Menu\\Broken.lnk"), "not a shortcut"));
  Run(UpdateStartMenuLinkToFileCommand, {"game.exe", "editor.exe"});
  EXPECT_EQ(ReadBytes(machine_.Path("Menu\\Broken.lnk")), "not a shortcut");
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(ShortcutTest, CurrentDirectoryIsRestoredAfterEveryWalk) {
  UseStartMenu("Menu");
  UseDesktop("Desk");
  Link("Menu\\A\\B\\Play.lnk", "game.exe");
  Link("Menu\\C\\Play.lnk", "readme.txt");
  Link("Desk\\Play.lnk", "game.exe");
  ASSERT_TRUE(MakeDirs(machine_.Path("Elsewhere")));
  ASSERT_TRUE(GetFileSystem()->SetCurrentDir(machine_.Path("Elsewhere")));
  const std::string here = GetFileSystem()->GetCurrentDir();
  int32_t index = 0;
  std::vector<std::pair<ShortcutHandler, std::vector<std::string>>> runs = {
      {UpdateStartMenuLinkCommand, {"game.exe", "", "editor.exe", ""}},
      {UpdateStartMenuLinkToFileCommand, {"editor.exe", "game.exe"}},
      {UpdateDesktopLinkCommand, {"game.exe", "", "editor.exe", ""}},
      {UpdateDesktopLinkToFileCommand, {"editor.exe", "game.exe"}},
      {AddStartMenuLinkCommand, {"New.lnk", "editor.exe", "", ""}},
      {AddDesktopLinkCommand, {"New.lnk", "editor.exe", "", ""}},
  };
  for (auto& run : runs) {
    Run(run.first, run.second, &index);
    EXPECT_EQ(GetFileSystem()->GetCurrentDir(), here);
  }
  // The early ways out: a find in a subfolder, folders that cannot be entered.
  LinkSession session;
  std::string folder = machine_.Path("Menu");
  EXPECT_TRUE(GetGameStartMenuPath(&folder, base_ + "game.exe"));
  EXPECT_EQ(GetFileSystem()->GetCurrentDir(), here);
  folder = machine_.Path("Nowhere");
  EXPECT_FALSE(GetGameStartMenuPath(&folder, base_ + "game.exe"));
  EXPECT_FALSE(FolderHasLinkTo(machine_.Path("Nowhere"), base_ + "game.exe"));
  ReplaceShortcutsTargets(machine_.Path("Nowhere"), RetargetRequest());
  EXPECT_EQ(GetFileSystem()->GetCurrentDir(), here);
}

TEST_F(ShortcutTest, SkipShortcutsLeavesNoTrace) {
  UseStartMenu("Menu");
  UseDesktop("Desk");
  Link("Menu\\Play.lnk", "game.exe");
  Link("Desk\\Play.lnk", "game.exe");
  int32_t zero = 0;
  std::vector<std::unique_ptr<ScriptCall>> calls;
  calls.push_back(Call("UpdateStartMenuLink", {"game.exe", "", "editor.exe", ""}));
  calls.push_back(Call("UpdateStartMenuLinkToFile", {"editor.exe", "game.exe"}));
  calls.push_back(Call("UpdateDesktopLink", {"game.exe", "", "editor.exe", ""}));
  calls.push_back(Call("UpdateDesktopLinkToFile", {"editor.exe", "game.exe"}));
  calls.push_back(Call("AddStartMenuLink", {"New.lnk", "editor.exe", "", ""}, &zero));
  calls.push_back(Call("AddDesktopLink", {"New.lnk", "editor.exe", "", ""}, &zero));
  for (size_t i = 0; i + 1 < calls.size(); ++i) calls[i]->next = calls[i + 1].get();
  std::vector<ProgressCall> progress;
  context_.progress = ProgressCallback(&RecordProgress, &progress);

  std::map<std::string, std::string> menu = Snapshot(machine_.Path("Menu"));
  std::map<std::string, std::string> desk = Snapshot(machine_.Path("Desk"));
  context_.skipShortcuts = true;
  EXPECT_EQ(DispatchCommands(context_, calls[0].get()), kContinue);
  EXPECT_EQ(Snapshot(machine_.Path("Menu")), menu);
  EXPECT_EQ(Snapshot(machine_.Path("Desk")), desk);
  EXPECT_TRUE(progress.empty());

  context_.skipShortcuts = false;
  EXPECT_EQ(DispatchCommands(context_, calls[0].get()), kContinue);
  std::vector<std::string> texts;
  // Each report after its command: the run's bar where that command took it.
  for (const ProgressCall& p : progress) {
    EXPECT_EQ(p.overall, static_cast<int32_t>((texts.size() + 1) * 100 / calls.size()));
    EXPECT_EQ(p.step, 0);
    EXPECT_EQ(p.file, "");
    texts.push_back(p.text);
  }
  const std::string updating = "&IDS_PROGRESS_UPDATING_SHORTCUT&";
  const std::string adding = "&IDS_PROGRESS_ADDING_SHORTCUT&";
  EXPECT_EQ(texts,
            (std::vector<std::string>{updating, updating, updating, updating, adding, adding}));
  EXPECT_TRUE(PathExists(machine_.Path("Menu\\New.lnk")));
  EXPECT_TRUE(PathExists(machine_.Path("Desk\\New.lnk")));
  for (size_t i = 0; i + 1 < calls.size(); ++i) calls[i]->next = nullptr;
  EXPECT_EQ(LogLines().size(), 6u);
}

TEST_F(ShortcutTest, MissingArgumentsCountAsEmpty) {
  UseStartMenu("Menu");
  Link("Menu\\Play.lnk", "game.exe", "-x");
  // No arguments at all: the wanted target is the base folder itself.
  Run(UpdateStartMenuLinkCommand, {});
  EXPECT_TRUE(PointsTo("Menu\\Play.lnk", "game.exe"));
  // The old arguments given, the new ones missing: they become empty.
  Run(UpdateStartMenuLinkCommand, {"game.exe", "-x", "editor.exe"});
  EXPECT_TRUE(PointsTo("Menu\\Play.lnk", "editor.exe"));
  EXPECT_EQ(ReadLink(machine_.Path("Menu\\Play.lnk")).arguments, "");
  // An add without its icon index uses index 0.
  Run(AddStartMenuLinkCommand, {"New.lnk", "game.exe", "", "game.exe"});
  EXPECT_EQ(ReadLink(machine_.Path("Menu\\New.lnk")).index, 0);
}

TEST_F(ShortcutTest, OverLongPathsAreLeftAlone) {
  UseStartMenu("Menu");
  Link("Menu\\Play.lnk", "game.exe");
  std::string before = ReadBytes(machine_.Path("Menu\\Play.lnk"));
  std::string longName(260, 'x');
  // New target, old target or arguments beyond a path's length: no walk.
  Run(UpdateStartMenuLinkToFileCommand, {"game.exe", longName});
  Run(UpdateStartMenuLinkToFileCommand, {longName, "editor.exe"});
  Run(UpdateStartMenuLinkCommand, {"game.exe", "", "editor.exe", longName});
  EXPECT_EQ(ReadBytes(machine_.Path("Menu\\Play.lnk")), before);
  // A shortcut or target that would not fit is not created.
  Run(AddStartMenuLinkCommand, {longName + ".lnk", "editor.exe", "", ""});
  Run(AddStartMenuLinkCommand, {"New.lnk", longName, "", ""});
  Run(AddStartMenuLinkCommand, {"New.lnk", "editor.exe", "", longName});
  EXPECT_FALSE(PathExists(machine_.Path("Menu\\New.lnk")));
  // Over-long arguments never match, though read as empty they would have
  // matched these empty ones.
  Link("Menu\\Long.lnk", "game.exe", std::string(300, 'a'));
  std::string longArgs = ReadBytes(machine_.Path("Menu\\Long.lnk"));
  Run(UpdateStartMenuLinkCommand, {"game.exe", "", "editor.exe", ""});
  EXPECT_EQ(ReadBytes(machine_.Path("Menu\\Long.lnk")), longArgs);
  // Arguments that are not compared do not stand in the way, and stay.
  Run(UpdateStartMenuLinkToFileCommand, {"game.exe", "readme.txt"});
  EXPECT_TRUE(PointsTo("Menu\\Long.lnk", "readme.txt"));
  EXPECT_EQ(ReadLink(machine_.Path("Menu\\Long.lnk")).arguments, std::string(300, 'a'));
  EXPECT_EQ(LogLines(), (std::vector<std::string>{Updated("Menu\\Play.lnk", "editor.exe"),
                                                  Updated("Menu\\Long.lnk", "readme.txt")}));
}

TEST_F(ShortcutTest, AFolderEndingInASeparatorGivesPathsWithTwo) {
  ASSERT_TRUE(MakeDirs(machine_.Path("Menu\\Sub")));
  machine_.SetFolder(ShellFolderValue::kCommonStartMenu, (machine_.Path("Menu") + "\\").c_str());
  Link("Menu\\Sub\\Play.lnk", "game.exe");
  Run(UpdateStartMenuLinkToFileCommand, {"game.exe", "editor.exe"});
  EXPECT_TRUE(PointsTo("Menu\\Sub\\Play.lnk", "editor.exe"));
  Run(AddStartMenuLinkCommand, {"Top.lnk", "editor.exe", "", ""});
  EXPECT_TRUE(PointsTo("Menu\\Top.lnk", "editor.exe"));
  std::string menu = machine_.Path("Menu");
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{"Updated Shortcut " + menu +
                                          "\\\\Sub\\Play.lnk , new target: " + base_ + "editor.exe",
                                      "Added shortcut: " + menu + "\\\\Top.lnk"}));
}

TEST_F(ShortcutTest, ShortcutsBeyondAPathsLengthAreSkippedByTheWalk) {
  UseStartMenu("Menu");
  // A folder whose shortcut path, though creatable here, passes 259 characters.
  std::string deep = "Menu\\" + std::string(240 - machine_.Path("Menu").size(), 'd');
  std::string nameTooLong = deep + "\\" + std::string(30, 'n') + ".lnk";
  std::string path = machine_.Path(nameTooLong);
  ASSERT_GT(path.size(), 259u);
  if (!MakeDirs(machine_.Path(deep)) || !MakeLink(path, base_ + "game.exe")) {
    GTEST_SKIP() << "this system cannot create a path of " << path.size() << " characters";
  }
  Link(deep + "\\P.lnk", "game.exe");
  std::string before = ReadBytes(path);
  Run(UpdateStartMenuLinkToFileCommand, {"game.exe", "editor.exe"});
  EXPECT_EQ(ReadBytes(path), before);
  EXPECT_TRUE(PointsTo(deep + "\\P.lnk", "editor.exe"));
  EXPECT_EQ(LogLines(), std::vector<std::string>{Updated(deep + "\\P.lnk", "editor.exe")});
}

// A link service whose objects fail where a test says, counting brackets.
class FaultyLinks : public ShellLinks {
 public:
  bool failCreate = false, failLoad = false, failSetPath = false, failSave = false;
  bool failGetPath = false;
  int begins = 0, ends = 0;

  bool Begin() override {
    ++begins;
    return real_->Begin();
  }
  void End() override {
    ++ends;
    real_->End();
  }
  std::unique_ptr<ShellLink> Create() override {
    std::unique_ptr<ShellLink> real = failCreate ? nullptr : real_->Create();
    if (real == nullptr) return nullptr;
    return std::unique_ptr<ShellLink>(new Faulty(std::move(real), this));
  }

 private:
  class Faulty : public ShellLink {
   public:
    Faulty(std::unique_ptr<ShellLink> real, FaultyLinks* owner)
        : real_(std::move(real)), owner_(owner) {}
    bool Load(const std::string& p) override { return !owner_->failLoad && real_->Load(p); }
    bool Save(const std::string& p) override { return !owner_->failSave && real_->Save(p); }
    bool GetPath(std::string* p) override { return !owner_->failGetPath && real_->GetPath(p); }
    bool GetArguments(std::string* a) override { return real_->GetArguments(a); }
    bool GetIconLocation(std::string* p, int32_t* i) override {
      return real_->GetIconLocation(p, i);
    }
    bool GetWorkingDirectory(std::string* d) override { return real_->GetWorkingDirectory(d); }
    bool SetPath(const std::string& p) override {
      return !owner_->failSetPath && real_->SetPath(p);
    }
    bool SetArguments(const std::string& a) override { return real_->SetArguments(a); }
    bool SetIconLocation(const std::string& p, int32_t i) override {
      return real_->SetIconLocation(p, i);
    }
    bool SetWorkingDirectory(const std::string& d) override {
      return real_->SetWorkingDirectory(d);
    }

   private:
    std::unique_ptr<ShellLink> real_;
    FaultyLinks* owner_;
  };

  ShellLinks* real_ = DefaultShellLinks();
};

class ShortcutFaultTest : public ShortcutTest {
 protected:
  void SetUp() override {
    ShortcutTest::SetUp();
    UseStartMenu("Menu");
    Link("Menu\\Play.lnk", "game.exe");
    before_ = ReadBytes(machine_.Path("Menu\\Play.lnk"));
    SetShellLinks(&links_);
  }
  void TearDown() override {
    SetShellLinks(nullptr);
    ShortcutTest::TearDown();
  }
  FaultyLinks links_;
  std::string before_;
};

TEST_F(ShortcutFaultTest, RetargetThatCannotBeSetOrSavedIsReportedAsNotDone) {
  const std::string cant = "Can't set new target path - link " + machine_.Path("Menu\\Play.lnk") +
                           " , new target: " + base_ + "editor.exe";
  links_.failSetPath = true;
  Run(UpdateStartMenuLinkToFileCommand, {"game.exe", "editor.exe"});
  links_.failSetPath = false;
  links_.failSave = true;
  Run(UpdateStartMenuLinkToFileCommand, {"game.exe", "editor.exe"});
  links_.failSave = false;
  links_.failLoad = true;
  Run(UpdateStartMenuLinkToFileCommand, {"game.exe", "editor.exe"});
  EXPECT_EQ(ReadBytes(machine_.Path("Menu\\Play.lnk")), before_);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{cant, cant}));
  EXPECT_EQ(links_.begins, 3);
  EXPECT_EQ(links_.ends, 3);
}

TEST_F(ShortcutFaultTest, TargetThatCannotBeReadIsComparedAsEmpty) {
  links_.failGetPath = true;
  Run(UpdateStartMenuLinkToFileCommand, {"game.exe", "editor.exe"});
  LinkSession session;
  EXPECT_FALSE(LinkPointsTo(machine_.Path("Menu\\Play.lnk"), base_ + "game.exe"));
  std::string target = "x";
  EXPECT_EQ(ReadLinkTarget(machine_.Path("Menu\\Play.lnk"), &target), LinkText::kUnreadable);
  EXPECT_EQ(target, "");
  EXPECT_EQ(ReadBytes(machine_.Path("Menu\\Play.lnk")), before_);
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(ShortcutFaultTest, AddThatCannotCreateOrSaveIsReportedAsNotAdded) {
  const std::string line = "Could not add shortcut: " + machine_.Path("Menu\\New.lnk");
  links_.failCreate = true;
  Run(AddStartMenuLinkCommand, {"New.lnk", "editor.exe", "", ""});
  links_.failCreate = false;
  links_.failSave = true;
  Run(AddStartMenuLinkCommand, {"New.lnk", "editor.exe", "", ""});
  links_.failSave = false;
  links_.failSetPath = true;
  Run(AddStartMenuLinkCommand, {"New.lnk", "editor.exe", "", ""});
  EXPECT_FALSE(PathExists(machine_.Path("Menu\\New.lnk")));
  EXPECT_EQ(LogLines(), (std::vector<std::string>{line, line, line}));
  EXPECT_EQ(links_.begins, 3);
  EXPECT_EQ(links_.ends, 3);
}

}  // namespace
}  // namespace upkeep
