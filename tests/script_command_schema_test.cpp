#include "script/command_schema.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "authoring/package_verifier.h"
#include "authoring/script_writer.h"
#include "engine/shortcut_hook.h"
#include "engine_test_util.h"
#include "package/package.h"

namespace upkeep {
namespace {

using test::ProgressRecorder;
using test::RunOptions;
using test::UpdateFixture;

std::vector<std::string> g_shortcuts_run;

void RecordShortcut(CommandContext&, const ScriptCall& call) {
  g_shortcuts_run.push_back(call.name);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// One call of `info` with arguments of its parameter types; the strings name
// nothing that exists, so every command fails or does nothing harmful.
ScriptCommand CallOf(const CommandInfo& info) {
  ScriptCommand command{info.name, {}};
  for (size_t i = 0; info.params[i]; ++i) {
    command.arguments.push_back(info.params[i] == 'n' ? Number(0)
                                                      : Text("schema-arg-" + std::to_string(i)));
  }
  return command;
}

RunOptions Recorded() {
  RunOptions o;
  o.withPrelude = false;  // the writer declares its own prototypes
  o.progress = ProgressRecorder::callback();
  return o;
}

// A script the writer makes from the schema must mean to the runtime what the
// schema says: each command parses under the declared prototypes and reaches
// a handler (which reports progress, or for shortcuts records the call), and
// the verifier knows it. A name the schema lacks must reach nothing.
TEST(ScriptCommandSchemaTest, EveryCommandWrittenFromTheSchemaParsesAndDispatches) {
  test::ShortcutHandlersGuard recorder(RecordShortcut);  // touches no desktop
  const std::string bad_script = "nieprawid";            // the runner's unreadable-script line
  size_t count = 0;
  const CommandInfo* commands = CommandTable(&count);
  ScriptSection everything;
  for (size_t c = 0; c < count; ++c) {
    const CommandInfo& info = commands[c];
    EXPECT_EQ(&GetCommandInfo(info.id), &info) << info.name;
    EXPECT_EQ(FindCommandInfo(Lower(info.name).c_str()), &info) << info.name;
    if (info.group == CommandGroup::kSection) continue;
    ScriptSection all;
    all.commands.push_back(CallOf(info));
    everything.commands.push_back(CallOf(info));
    std::string script, error;
    ASSERT_TRUE(WriteScript({all}, &script, &error)) << info.name << ": " << error;

    UpdateFixture f;
    ProgressRecorder progress;
    g_shortcuts_run.clear();
    f.Run(script, Recorded());
    EXPECT_EQ(f.log().find(bad_script), std::string::npos) << info.name << " does not parse";
    if (info.group == CommandGroup::kShortcut) {
      EXPECT_EQ(g_shortcuts_run, std::vector<std::string>{Lower(info.name)});
    } else {
      EXPECT_FALSE(progress.events.empty()) << info.name << " reached no handler";
      EXPECT_TRUE(g_shortcuts_run.empty()) << info.name;
    }
  }

  UpdateFixture unknown;
  ProgressRecorder silent;
  RunOptions o = Recorded();
  unknown.Run("!All()\r\n!Frobnicate(s)\r\nAll()\r\n{\r\n  Frobnicate(\"x\")\r\n}\r\n", o);
  EXPECT_TRUE(silent.events.empty());
  EXPECT_EQ(unknown.log(), "");

  // The verifier recognises every command of one script holding them all.
  std::string script, error;
  ASSERT_TRUE(WriteScript({everything}, &script, &error)) << error;
  UpdateFixture f;
  f.Run(script, Recorded());  // writes the package
  const size_t open = OpenPackages().size();
  OpenPackage(f.packagePath().c_str());
  ASSERT_EQ(OpenPackages().size(), open + 1);
  VerifyReport report = VerifyPackage(*OpenPackages().back());
  ClosePackage(f.packagePath().c_str());
  EXPECT_EQ(report.sections, 1);
  for (const std::string& w : report.warnings) {
    EXPECT_EQ(w.find("ignored"), std::string::npos) << w;
  }
}

}  // namespace
}  // namespace upkeep
