#include "script/script_call.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "script_test_util.h"

namespace upkeep {
namespace {

using test::Parsed;
using test::ParseText;

TEST(ScriptCallNames, CompareIgnoringCase) {
  Parsed parsed = ParseText("!CheckDir(s) CheckDir(\"x\")");
  ASSERT_NE(parsed.first(), nullptr);
  EXPECT_EQ(parsed.first()->name, "checkdir");
  for (const char* name : {"CheckDir", "checkdir", "CHECKDIR"}) {
    EXPECT_TRUE(CallNameIs(parsed.first(), name)) << name;
  }
  EXPECT_FALSE(CallNameIs(parsed.first(), "CheckDirs"));
  EXPECT_FALSE(CallNameIs(parsed.first(), "Check"));
  EXPECT_FALSE(CallNameIs(parsed.first(), nullptr));
  EXPECT_FALSE(CallNameIs(nullptr, "CheckDir"));
}

TEST(ScriptCallArguments, MissingOrOtherTypesReadAsAbsent) {
  // The script declares fewer and other parameters than a handler may read.
  Parsed parsed = ParseText("!CreateFile(i, s) CreateFile(7, \"name\")");
  const ScriptCall* call = parsed.first();
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(IntegerArgument(call, 0), 7);
  EXPECT_STREQ(StringArgument(call, 1), "name");
  EXPECT_EQ(StringArgument(call, 0), nullptr);  // an integer is no text
  EXPECT_EQ(IntegerArgument(call, 1), 0);       // a text is no integer
  EXPECT_EQ(StringArgument(call, 2), nullptr);  // beyond the list
  EXPECT_EQ(IntegerArgument(call, 2), 0);
  EXPECT_EQ(GetArgument(call, 2), nullptr);
  EXPECT_EQ(GetArgument(call, -1), nullptr);
  EXPECT_EQ(GetArgument(nullptr, 0), nullptr);

  Parsed floats = ParseText("!f(f) f(1.5)");
  EXPECT_EQ(IntegerArgument(floats.first(), 0), 0);
  EXPECT_EQ(StringArgument(floats.first(), 0), nullptr);
  ASSERT_NE(GetArgument(floats.first(), 0), nullptr);
  EXPECT_EQ(GetArgument(floats.first(), 0)->type, ScriptValueType::Float);
}

TEST(ScriptCallLifetime, ProgramAndReaderReleaseInEitherOrder) {
  const std::string text = "$t(s, \"constant text\") !f(s) f(t) f(\"literal\")";
  {
    std::unique_ptr<ScriptReader> reader = ScriptFromText(text);
    int error = 0;
    std::unique_ptr<ScriptProgram> program = ParseProgram(*reader, error);
    reader.reset();  // the program owns copies of every text
    ASSERT_EQ(error, 0);
    EXPECT_STREQ(StringArgument(program->first, 0), "constant text");
    EXPECT_STREQ(StringArgument(program->first->next, 0), "literal");
  }
  {
    std::unique_ptr<ScriptReader> reader = ScriptFromText(text);
    int error = 0;
    std::unique_ptr<ScriptProgram> program = ParseProgram(*reader, error);
    program.reset();
    ASSERT_NE(reader->consts, nullptr);
    EXPECT_EQ(reader->consts->name, "t");
  }
}

TEST(ScriptCallLifetime, DeletingTheFirstCallReleasesTheWholeTree) {
  // A hand-built tree wider and deeper than any stack would take recursively.
  ScriptCall* first = new ScriptCall();
  ScriptCall* at = first;
  for (int i = 0; i < 200000; ++i) {
    ScriptCall* c = new ScriptCall();
    c->arguments = new ScriptString("argument");
    c->arguments->next = new ScriptInteger(i);
    if (i % 2 == 0) {
      at->body = c;
    } else {
      at->next = c;
    }
    at = c;
  }
  delete first;
}

}  // namespace
}  // namespace upkeep
