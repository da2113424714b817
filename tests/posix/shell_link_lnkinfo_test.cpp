// Shortcuts written by the POSIX link object, read back by an independent
// reader (liblnk's lnkinfo) when it is installed.
#include <stdio.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "platform/shell_link.h"
#include "test_util.h"

namespace upkeep {
namespace {

bool HaveLnkinfo() { return system("command -v lnkinfo >/dev/null 2>&1") == 0; }

// "Name   : value" lines of lnkinfo's report, keyed by name.
std::map<std::string, std::string> Lnkinfo(const std::string& file) {
  std::map<std::string, std::string> out;
  std::string command = "lnkinfo '" + file + "' 2>/dev/null";
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char line[4096];
  while (fgets(line, sizeof line, p) != nullptr) {
    std::string s(line);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    size_t colon = s.find(": ");
    if (colon == std::string::npos) continue;
    size_t start = s.find_first_not_of('\t');
    size_t end = colon == 0 ? std::string::npos : s.find_last_not_of("\t ", colon - 1);
    if (start == std::string::npos || end == std::string::npos || end < start) continue;
    std::string key = s.substr(start, end - start + 1);
    if (out.count(key) == 0) out[key] = s.substr(colon + 2);
  }
  pclose(p);
  return out;
}

TEST(ShellLinkLnkinfo, ReadsWhatTheLinkObjectWrote) {
  if (!HaveLnkinfo()) GTEST_SKIP() << "lnkinfo is not installed";
  test::TempDir dir;
  std::string file = dir.Join("Play.lnk");
  std::unique_ptr<ShellLink> link = GetShellLinks()->Create();
  ASSERT_TRUE(link->SetPath("C:\\Games\\Knight Game\\knight.exe"));
  ASSERT_TRUE(link->SetArguments("-window \"two words\""));
  ASSERT_TRUE(link->SetIconLocation("C:\\Games\\Knight Game\\knight.ico", 2));
  ASSERT_TRUE(link->SetWorkingDirectory("C:\\Games\\Knight Game"));
  ASSERT_TRUE(link->Save(file));

  std::map<std::string, std::string> info = Lnkinfo(file);
  EXPECT_EQ(info["Local path"], "C:\\Games\\Knight Game\\knight.exe");
  EXPECT_EQ(info["Command line arguments"], "-window \"two words\"");
  EXPECT_EQ(info["Icon location"], "C:\\Games\\Knight Game\\knight.ico");
  EXPECT_EQ(info["Icon index"], "2");
  EXPECT_EQ(info["Working directory"], "C:\\Games\\Knight Game");
  EXPECT_EQ(info["Volume name"], "C:\\");

  // Retargeted in place: the new target everywhere, the rest kept.
  std::unique_ptr<ShellLink> again = GetShellLinks()->Create();
  ASSERT_TRUE(again->Load(file));
  ASSERT_TRUE(again->SetPath("D:\\Knight2\\bin\\knight2.exe"));
  ASSERT_TRUE(again->Save(file));
  info = Lnkinfo(file);
  EXPECT_EQ(info["Local path"], "D:\\Knight2\\bin\\knight2.exe");
  EXPECT_EQ(info["Volume name"], "D:\\");
  EXPECT_EQ(info["Command line arguments"], "-window \"two words\"");
  EXPECT_EQ(info["Icon location"], "C:\\Games\\Knight Game\\knight.ico");
}

}  // namespace
}  // namespace upkeep
