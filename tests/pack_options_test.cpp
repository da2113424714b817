// upkeep-pack's argument sources: make's project files reach every option of
// make's table (options added later included) with paths relative to the
// file, and response files split as compilers split them.
#include "pack_options.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "pack_commands.h"
#include "platform/fs_path.h"
#include "test_util.h"

namespace upkeep {
namespace pack {
namespace {

using Calls = std::vector<std::pair<std::string, std::string>>;

// make's table with every option recording what it was given.
std::vector<Option> RecordingTable(MakeRequest* request, Calls* calls) {
  std::vector<Option> table = MakeOptionTable(request);
  for (Option& o : table) {
    const std::string name = LongName(o);
    o.set = [calls, name](const std::string& v) {
      calls->push_back({name, v});
      return std::string();
    };
  }
  return table;
}

std::string Joined(const std::string& base, const std::string& relative) {
  return FsText(FsPath(base) / FsPath(relative));
}

TEST(PackOptionsTest, ProjectFilesSetEveryMakeOptionAsTheCommandLineDoes) {
  test::TempDir tmp;
  const std::string project = tmp.Join("game.upkeep");
  MakeRequest request;
  Calls calls;
  const std::vector<Option> table = RecordingTable(&request, &calls);
  ASSERT_GE(table.size(), 20u);
  for (const Option& option : table) {
    const std::string name = LongName(option);
    SCOPED_TRACE(name);
    ASSERT_EQ(name.compare(0, 2, "--"), 0) << "a project file names options by their long name";
    const std::string key = name.substr(2);
    // A value with blanks and '=' inside, and one for each kind of path.
    std::string value = "Sample = Studio  ltd";
    std::string expected = value;
    // Either separator on either build, as a file written on Windows has them.
    if (option.kind == ValueKind::kPath) {
      value = "Release 1.1\\Game Data.bin";
      expected = Joined(tmp.path(), "Release 1.1") +
                 static_cast<char>(std::filesystem::path::preferred_separator) + "Game Data.bin";
    } else if (option.kind == ValueKind::kVersionedPath) {
      value = "1.0.0.0=Release 1.0";
      expected = "1.0.0.0=" + Joined(tmp.path(), "Release 1.0");
    }
    std::vector<std::string> lines;
    Calls want;
    if (option.takes_value) {
      lines = {"  " + key + "   =  " + value + "  ", "--" + key + "=" + value};
      want = {{name, expected}, {name, expected}};
    } else {
      lines = {key, key + " = yes", key + " = No", key + "=off", key + " = 1"};
      want = {{name, ""}, {name, ""}, {name, ""}};
    }
    std::string text = "\xEF\xBB\xBF# " + name + "\r\n\r\n";
    for (const auto& l : lines) text += l + "\r\n";
    text += "; the end";
    ASSERT_TRUE(test::WriteFileText(project, text));
    calls.clear();
    std::vector<ProjectSetting> settings;
    std::string problem;
    ASSERT_TRUE(ReadProjectFile(project, table, &settings, &problem)) << problem;
    for (const auto& s : settings) {
      std::vector<std::string> operands;
      ASSERT_TRUE(ParseOptions({s.arg}, table, &operands, &problem)) << s.where << problem;
      EXPECT_TRUE(operands.empty()) << s.where;
    }
    EXPECT_EQ(calls, want);
    EXPECT_EQ(settings.front().where, project + ":3");
    // The command line takes the same option with the value as it stands.
    calls.clear();
    std::vector<std::string> args = {name};
    if (option.takes_value) args.push_back(value);
    std::vector<std::string> operands;
    ASSERT_TRUE(ParseOptions(args, table, &operands, &problem)) << problem;
    EXPECT_EQ(calls, (Calls{{name, option.takes_value ? value : ""}}));
  }
}

TEST(PackOptionsTest, ProjectFilesRefuseWhatTheyCannotMean) {
  test::TempDir tmp;
  const std::string project = tmp.Join("p.upkeep");
  MakeRequest request;
  const std::vector<Option> table = MakeOptionTable(&request);
  // Absolute paths stay as they are.
  const std::string absolute = FsText(std::filesystem::absolute(FsPath(tmp.Join("v1"))));
  ASSERT_TRUE(test::WriteFileText(project, "new = " + absolute + "\nremove-folders\n"));
  std::vector<ProjectSetting> settings;
  std::string problem;
  ASSERT_TRUE(ReadProjectFile(project, table, &settings, &problem)) << problem;
  ASSERT_EQ(settings.size(), 2u);
  EXPECT_EQ(settings[0].arg, "--new=" + absolute);
  EXPECT_EQ(settings[1].where, project + ":2");
  const struct {
    const char* text;
    const char* problem;
  } kBad[] = {
      {"new = a\nstrange = 1\n", ":2: unknown option 'strange'"},
      {"o = out.exe\n", ":1: unknown option 'o'"},
      {"output\n", ":1: output needs a value"},
      {"\n\nforce = maybe\n", ":3: force is a switch: yes or no, not 'maybe'"},
  };
  for (const auto& c : kBad) {
    SCOPED_TRACE(c.text);
    ASSERT_TRUE(test::WriteFileText(project, c.text));
    settings.clear();
    problem.clear();
    EXPECT_FALSE(ReadProjectFile(project, table, &settings, &problem));
    EXPECT_NE(problem.find(project + c.problem), std::string::npos) << problem;
  }
  EXPECT_FALSE(ReadProjectFile(tmp.Join("none"), table, &settings, &problem));
  EXPECT_NE(problem.find("cannot read the project file"), std::string::npos) << problem;
}

TEST(PackOptionsTest, ResponseFilesSplitAsCompilersDo) {
  test::TempDir tmp;
  const std::string one = tmp.Join("one.rsp"), two = tmp.Join("two.rsp");
  ASSERT_TRUE(test::WriteFileText(
      one, "\xEF\xBB\xBF--old \"C:\\Games\\My Game\\v1.0\"\r\n  --company 'Sample Studio'\t@" +
               two + "\n--copyright=\"(c) 2024\" \"\"\n"));
  ASSERT_TRUE(test::WriteFileText(two, "-q\n--icon=a\\b.ico"));
  std::vector<std::string> out;
  std::string problem;
  ASSERT_TRUE(ExpandResponseFiles({"make", "@" + one, "@missing", "-f"}, &out, &problem))
      << problem;
  EXPECT_EQ(out, (std::vector<std::string>{"make", "--old", "C:\\Games\\My Game\\v1.0", "--company",
                                           "Sample Studio", "-q", "--icon=a\\b.ico",
                                           "--copyright=(c) 2024", "", "@missing", "-f"}));
  ASSERT_TRUE(test::WriteFileText(two, "--company \"open"));
  EXPECT_FALSE(ExpandResponseFiles({"@" + two}, &out, &problem));
  EXPECT_NE(problem.find("quote that is not closed"), std::string::npos) << problem;
  // A file that names itself ends after a bounded number of rounds.
  ASSERT_TRUE(test::WriteFileText(two, "x @" + two));
  EXPECT_FALSE(ExpandResponseFiles({"@" + two}, &out, &problem));
  EXPECT_NE(problem.find("nested deeper than 8"), std::string::npos) << problem;
}

}  // namespace
}  // namespace pack
}  // namespace upkeep
