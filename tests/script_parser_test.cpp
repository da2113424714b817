#include "script/script_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "authoring/script_messages.h"
#include "package_test_util.h"
#include "script/script_call.h"
#include "script_test_util.h"
#include "test_util.h"

namespace upkeep {
namespace {

using test::Parsed;
using test::ParseFile;
using test::ParseText;
using test::Shape;

using Messages = std::vector<std::string>;

void ExpectOk(const Parsed& parsed, const std::string& shape) {
  EXPECT_EQ(parsed.error, 0);
  EXPECT_TRUE(parsed.messages.empty()) << parsed.messages[0];
  EXPECT_EQ(Shape(parsed.first()), shape);
}

void ExpectFails(const std::string& text, const Messages& messages) {
  Parsed parsed = ParseText(text);
  EXPECT_NE(parsed.error, 0) << text;
  EXPECT_EQ(parsed.messages, messages) << text;
}

TEST(ScriptParserStatements, SectionsAreCallsWithBodies) {
  Parsed parsed = ParseText(
      "!CheckFile(s, s)\r\n!FreeSpace(n)\r\n!all()\r\n"
      "all()\r\n{\r\n  CheckFile(\"a.dat\", \"0123ABCD\")\r\n  FREESPACE(5)\r\n}\r\n"
      "FreeSpace(100)\r\n");
  ExpectOk(parsed, "all{checkfile,freespace},freespace");
  const ScriptCall* all = parsed.first();
  EXPECT_EQ(all->arguments, nullptr);
  EXPECT_EQ(StringArgument(all->body, 0), std::string("a.dat"));
  EXPECT_EQ(StringArgument(all->body, 1), std::string("0123ABCD"));
  EXPECT_EQ(IntegerArgument(all->body->next, 0), 5);
  EXPECT_EQ(IntegerArgument(all->next, 0), 100);

  ExpectFails("all() { }", {"unknown keyword all"});
}

TEST(ScriptParserStatements, NamesMatchIgnoringCaseAndAreStoredLowerCase) {
  Parsed parsed = ParseText("!CheckFile(s, s) CHECKFILE(\"x\", \"y\") checkFile(\"x\",\"y\")");
  ExpectOk(parsed, "checkfile,checkfile");
}

TEST(ScriptParserStatements, ArgumentsMatchTheirPrototypeExactly) {
  Parsed parsed = ParseText("!f(i, f, s) f(-3, 2.5, \"t\")");
  ExpectOk(parsed, "f");
  const ScriptValue* a = parsed.first()->arguments;
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->type, ScriptValueType::Integer);
  EXPECT_EQ(a->next->type, ScriptValueType::Float);
  EXPECT_EQ(static_cast<const ScriptFloat*>(a->next)->value, 2.5f);
  EXPECT_EQ(a->next->next->type, ScriptValueType::String);
  EXPECT_EQ(a->next->next->next, nullptr);

  ExpectFails("!f(s, s) f(\"a\")", {"comma expected"});
  ExpectFails("!f(s) f(\"a\", \"b\")", {"closing bracket expected"});
  ExpectFails("!f() f(1)", {"closing bracket expected"});
  ExpectFails("!f(s) f \"a\")", {"opening bracket expected"});
  ExpectFails("!f(s) f(5)", {"unknown const name '5'"});  // never converted
  ExpectFails("!f(i) f(\"5\")", {"unknown const name ''"});
  ExpectFails("!f(i) f(", {});
}

TEST(ScriptParserStatements, BlanksAndCommentsWhereAllowed) {
  ExpectOk(ParseText("// head\r\n!f ( i , s ) /* x */ !g()\r\n"
                     "f /*a*/ ( /*b*/ 1 /*c*/ , // d\r\n \"s\" /*e*/ ) /*f*/ { g ( ) }"),
           "f{g}");
  // Not between "!" or "$" and the name, nor inside an include's "(".
  ExpectFails("! f()", {"left bracked expected in typedef"});
  ExpectFails("!include( \"x.scr\")", {"unknown const name ''"});
}

TEST(ScriptParserStatements, SemicolonIsOnlyAWarning) {
  Parsed parsed = ParseText("!String(s,s)\r\nString(\"A\", \"a\");\r\nString(\"B\", \"b\")");
  EXPECT_EQ(parsed.error, 0);
  EXPECT_EQ(parsed.messages, Messages{"its not c!"});
  EXPECT_EQ(Shape(parsed.first()), "string,string");
}

TEST(ScriptParserStatements, EndsOfInputThatAreAccepted) {
  ExpectOk(ParseText("!a() !b() a() { b() { b()"), "a{b{b}}");
  ExpectOk(ParseText("!a() a()"), "a");
  ExpectOk(ParseText("!a() a() "), "a");
  ExpectOk(ParseText(""), "");
  ExpectOk(ParseText("!a(i) $k(i, 1) // only declarations\r\n"), "");
}

TEST(ScriptParserStatements, StrayBytesAtAStatement) {
  ExpectFails("}", {"unexpected closing curly bracket"});
  ExpectFails("!a() a() { } }", {"unexpected closing curly bracket"});
  ExpectFails("{ }", {"unknown keyword "});
  ExpectFails(")", {"unknown keyword "});
  ExpectFails("#", {"unknown keyword "});
  ExpectFails("abc", {"error in call"});
  ExpectFails(std::string(32, 'x') + "()", {"word limit exceeded", "error in call"});
}

TEST(ScriptParserDeclarations, ParameterLists) {
  ExpectOk(ParseText("!f() f()"), "f");
  ExpectOk(ParseText("!f(I,N,F,S,i,n,f,s) f(1, 2, 3, \"4\", 5, 6, 7., \"8\")"), "f");
  for (const char* text : {"!f(,s)", "!f(s,)", "!f(s s)", "!f(str)", "!f(s", "!f(x)", "!f(s,,s)"}) {
    ExpectFails(text, {"unexpected characted in typedef"});
  }
  ExpectFails("!f s)", {"left bracked expected in typedef"});
  ExpectFails("!f", {"error in typedef"});
  ExpectFails("!", {"error in typedef"});
  ExpectFails("!" + std::string(32, 'p') + "()", {"word limit exceeded", "error in typedef"});
}

TEST(ScriptParserDeclarations, LaterDeclarationsHideEarlierOnes) {
  ExpectOk(ParseText("!f(i) !f(s) f(\"x\")"), "f");
  ExpectFails("!f(s) !f(i) f(\"x\")", {"unknown const name ''"});
}

TEST(ScriptParserScoping, BlockPrototypesEndWithTheirBlock) {
  ExpectOk(ParseText("!a() a() { !b() b() a() { b() } b() } a()"), "a{b,a{b},b},a");
  ExpectFails("!a() a() { !b() b() } b()", {"unknown keyword b"});
  // A shadowing declaration inside a block uncovers the outer one again.
  ExpectOk(ParseText("!a() !f(i) a() { !f(s) f(\"s\") } f(1)"), "a{f},f");
  // An unclosed block at the end of the text still ends the same way.
  ExpectOk(ParseText("!a() a() { !b() b()"), "a{b}");
}

TEST(ScriptParserConsts, DefinitionsAndReferences) {
  Parsed parsed =
      ParseText("$x(i, 5) $Name(S, \"dir\") $half(f, 0.5)\r\n!f(i, s, f)\r\nf(X, nAmE, HALF)");
  ExpectOk(parsed, "f");
  EXPECT_EQ(IntegerArgument(parsed.first(), 0), 5);
  EXPECT_EQ(StringArgument(parsed.first(), 1), std::string("dir"));

  ExpectFails("$x(i, 5) !f(s) f(X)", {"'X' const type != 'string'"});
  ExpectFails("$x(i, 5) !f(f) f(x)", {"'x' const type != 'float'"});
  ExpectFails("$x(s, \"5\") !f(i) f(x)", {"'x' const type != 'int'"});
  // A constant may be defined from an earlier one; the newest one wins.
  ExpectOk(ParseText("$a(i, 1) $b(i, a) $a(i, 2) !f(i,i) f(a, b)"), "f");
  Parsed newest = ParseText("$a(i, 1) $b(i, a) $a(i, 2) !f(i,i) f(a, b)");
  EXPECT_EQ(IntegerArgument(newest.first(), 0), 2);
  EXPECT_EQ(IntegerArgument(newest.first(), 1), 1);
  // Constants are not block-scoped; prototypes and constants are apart.
  Parsed unscoped = ParseText("!a() !f(i) a() { $k(i, 3) } f(k) $f(i, 4) f(f)");
  EXPECT_EQ(unscoped.error, 0);
  EXPECT_EQ(IntegerArgument(unscoped.first()->next, 0), 3);
  EXPECT_EQ(IntegerArgument(unscoped.first()->next->next, 0), 4);
}

TEST(ScriptParserConsts, Failures) {
  ExpectFails("$", {"error in const def"});
  ExpectFails("$" + std::string(32, 'c') + "(i,1)", {"word limit exceeded", "error in const def"});
  ExpectFails("$x i, 1)", {"left bracked expected in const def"});
  ExpectFails("$x(q, 1)", {"unexpected character in typedef"});
  ExpectFails("$x(i 1)", {"unexpected character in typedef"});
  ExpectFails("$x(i, 1 ", {"unexpected character in typedef"});
  ExpectFails("$x(i, 1", {"invalid termination of integer"});
  ExpectFails("$x(i, 1 2)", {"unexpected character in typedef"});
  ExpectFails("$x(i, \"1\")", {"unknown const name ''"});
  ExpectFails("$x(i, 1x)", {"invalid termination of integer"});
}

TEST(ScriptParserFailures, KeepWhatWasCompleteAndStop) {
  Parsed parsed = ParseText("!a() !b(i) b(1) a() { b(2) b(x) b(3) } b(4)");
  EXPECT_NE(parsed.error, 0);
  EXPECT_EQ(parsed.messages, Messages{"unknown const name 'x'"});
  EXPECT_EQ(Shape(parsed.first()), "b,a{b}");
  EXPECT_EQ(IntegerArgument(parsed.first()->next->body, 0), 2);
}

// Messages point at the offending byte, or at the start of the word or
// literal they are about, or at the end when the text ran out.
TEST(ScriptParserFailures, MessagesGiveLineAndColumn) {
  const std::string x32(32, 'x');
  const struct {
    std::string text;
    Messages lines;
  } cases[] = {
      {"!a(i)\r\na(1, 2)", {"t.scr:2:4: error: closing bracket expected"}},
      {"!a(i)\r\n  b(1)", {"t.scr:2:3: error: unknown keyword b"}},
      {"!a(s)\r\na(\"open\r\nmore", {"t.scr:2:3: error: expected ending \""}},
      {"!a(i)\r\na(1/*x*/)", {"t.scr:2:4: error: invalid termination of integer"}},
      {"!a(i)\r\na(12", {"t.scr:2:5: error: invalid termination of integer"}},
      {"!a(i) a(xyz)", {"t.scr:1:9: error: unknown const name 'xyz'"}},
      {"!a(i)\na(-q)", {"t.scr:2:4: error: expected number"}},
      {"!a()\r\na();\r\n}",
       {"t.scr:2:4: warning: its not c!", "t.scr:3:1: error: unexpected closing curly bracket"}},
      {"!a() " + x32, {"t.scr:1:6: error: word limit exceeded", "t.scr:1:6: error: error in call"}},
      {"!f(s s)", {"t.scr:1:6: error: unexpected characted in typedef"}},
      {"$c(i, 1) !a(s) a(c)", {"t.scr:1:18: error: 'c' const type != 'string'"}},
      // A quote missing at a line's end closes at the next line's first quote:
      // the string's opening is named before the fault that shows there.
      {"!a(s, s)\r\na(\"A\", \"text)\r\na(\"B\", \"x\")\r\n",
       {"t.scr:2:8: error: string not closed on its line (it runs on to a quote on a later line)",
        "t.scr:3:4: error: closing bracket expected"}},
      // A string that spans lines on purpose blames nothing further on.
      {"!a(s)\r\na(\"two\r\nlines\")\r\nb()", {"t.scr:4:1: error: unknown keyword b"}},
  };
  for (const auto& c : cases) {
    std::unique_ptr<ScriptReader> reader = ScriptFromText(c.text, "t.scr");
    ScriptMessages sink;
    reader->errorSink = &sink;
    int error = 0;
    ParseProgram(*reader, error);
    EXPECT_EQ(sink.lines, c.lines) << c.text;
  }
}

// Writes `files` (name, text) into a fresh directory.
class IncludeTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& text) {
    std::string path = dir_.Join(name);
    EXPECT_TRUE(test::WriteFileText(path, text));
    return path;
  }
  void MakeDir(const std::string& name) {
    EXPECT_EQ(DefaultFileSystem()->CreateDir(dir_.Join(name)), CreateDirResult::kCreated);
  }
  test::TempDir dir_;
};

TEST_F(IncludeTest, SplicesCallsInAtThePlaceOfTheInclude) {
  Write("sub.scr", "!b(i)\r\nb(2)\r\n");
  Parsed parsed = ParseFile(Write("main.scr", "!a(i) a(1) !include(\"sub.scr\") b(3) a(4)"));
  ExpectOk(parsed, "a,b,b,a");
  EXPECT_EQ(IntegerArgument(parsed.first()->next, 0), 2);
}

TEST_F(IncludeTest, ConstantsFlowBothWays) {
  Write("sub.scr", "!f(i) f(before) $after(i, 7)");
  Parsed parsed =
      ParseFile(Write("main.scr", "$before(i, 6) $file(s, \"sub.scr\") !include(file) f(after)"));
  ExpectOk(parsed, "f,f");
  EXPECT_EQ(IntegerArgument(parsed.first(), 0), 6);
  EXPECT_EQ(IntegerArgument(parsed.first()->next, 0), 7);
}

TEST_F(IncludeTest, IncludedTopLevelPrototypesJoinTheIncludingBlock) {
  Write("decl.scr", "!b()");
  ExpectOk(ParseFile(Write("top.scr", "!include(\"decl.scr\") b()")), "b");
  Parsed parsed = ParseFile(Write("block.scr", "!a() a() { !include(\"decl.scr\") b() } b()"));
  EXPECT_EQ(parsed.messages, Messages{"unknown keyword b"});
  EXPECT_EQ(Shape(parsed.first()), "a{b}");
}

TEST_F(IncludeTest, MissingFilesContributeNothing) {
  ExpectOk(ParseFile(Write("main.scr", "!a() !include(\"nothere.scr\") a()")), "a");
}

TEST_F(IncludeTest, IncludesResolveAgainstTheirOwnFilesDirectory) {
  MakeDir("data");
  Write("data/inner.scr", "!c() c()");
  Write("data/sub.scr", "!include(\"inner.scr\") c()");
  Write("inner.scr", "this file must not be read");
  ExpectOk(ParseFile(Write("main.scr", "!include(\"data\\\\sub.scr\")")), "c,c");
}

TEST_F(IncludeTest, FailuresInAnIncludedFileFailTheWholeParse) {
  Write("bad.scr", "!b(i) b(1) b(x)");
  Parsed parsed = ParseFile(Write("main.scr", "!a() a() !include(\"bad.scr\") a()"));
  EXPECT_NE(parsed.error, 0);
  EXPECT_EQ(parsed.messages, Messages{"unknown const name 'x'"});
  EXPECT_EQ(Shape(parsed.first()), "a,b");
  {
    // The place is in the included file, under its own name.
    std::unique_ptr<ScriptReader> reader = LoadScript(dir_.Join("main.scr").c_str());
    ScriptMessages sink;
    reader->errorSink = &sink;
    int error = 0;
    ParseProgram(*reader, error);
    EXPECT_EQ(sink.lines,
              Messages{reader->directory + "bad.scr:1:14: error: unknown const name 'x'"});
  }

  Write("brace.scr", "}");
  parsed = ParseFile(Write("main2.scr", "!include(\"brace.scr\")"));
  EXPECT_EQ(parsed.messages, Messages{"unexpected closing curly bracket"});

  ExpectFails("!include \"x\")", {"left bracked expected in include"});
  ExpectFails("!include(\"x\" ", {"right bracked expected in include"});
  ExpectFails("!INCLUDE(\"x\"", {"right bracked expected in include"});
  ExpectFails("!include(s)", {"unknown const name 's'"});  // never a prototype
}

TEST_F(IncludeTest, SelfInclusionStopsAtTheDepthBound) {
  Parsed parsed = ParseFile(Write("loop.scr", "!a() a() !include(\"loop.scr\")"));
  EXPECT_NE(parsed.error, 0);
  EXPECT_EQ(parsed.messages, Messages{"include depth exceeded"});
  EXPECT_EQ(test::CountCalls(parsed.first()), static_cast<size_t>(kMaxIncludeDepth) + 1);

  // Sixteen levels below the first file are fine.
  for (int i = 1; i <= kMaxIncludeDepth; ++i) {
    std::string next =
        i < kMaxIncludeDepth ? "!include(\"f" + std::to_string(i + 1) + ".scr\")" : "";
    Write("f" + std::to_string(i) + ".scr", "a() " + next);
  }
  ExpectOk(ParseFile(Write("f0.scr", "!a() !include(\"f1.scr\")")), [] {
    std::string s = "a";
    for (int i = 1; i < kMaxIncludeDepth; ++i) s += ",a";
    return s;
  }());
}

TEST_F(IncludeTest, OneParseLoadsABoundedNumberOfIncludes) {
  Write("leaf.scr", "");
  std::string many;
  for (int i = 0; i < kMaxIncludes; ++i) many += "!include(\"leaf.scr\")\r\n";
  ExpectOk(ParseFile(Write("ok.scr", many)), "");
  Parsed parsed = ParseFile(Write("over.scr", many + "!include(\"leaf.scr\")"));
  EXPECT_EQ(parsed.messages, Messages{"too many includes"});
  // Files that each include the next one twice would load 2^10 times.
  for (int i = 0; i < 10; ++i) {
    const std::string next = "!include(\"d" + std::to_string(i + 1) + ".scr\")";
    Write("d" + std::to_string(i) + ".scr", next + next);
  }
  parsed = ParseFile(dir_.Join("d0.scr"));
  EXPECT_EQ(parsed.messages, Messages{"too many includes"});
}

TEST_F(IncludeTest, OverlongIncludePathsFailTheParse) {
  const std::string main = Write("main.scr", "");
  const std::string directory = main.substr(0, main.size() - std::string("main.scr").size());
  const std::string name(kMaxScriptPath + 1 - directory.size(), 'n');
  Parsed parsed = ParseFile(Write("main.scr", "!include(\"" + name + "\")"));
  EXPECT_NE(parsed.error, 0);
  EXPECT_EQ(parsed.messages, Messages{"include path too long: " + directory + name});
  // One character less fits (the file does not exist, so it adds nothing).
  ExpectOk(ParseFile(Write("main.scr", "!include(\"" + name.substr(1) + "\")")), "");
}

TEST(ScriptParserPackage, IncludesAreServedFromTheMountedPackage) {
  test::TempDir dir;
  test::PackageTableGuard guard;
  const std::string package =
      test::WriteTestPackage(dir, "game.exe",
                             {test::Entry("patch.scr", "!a(s) !include(\"common.scr\") a(from)"),
                              test::Entry("common.scr", "$from(s, \"package\")", true)});
  ASSERT_NE(OpenPackage(package.c_str()), nullptr);
  Parsed parsed = ParseFile("patch.scr");
  ExpectOk(parsed, "a");
  EXPECT_EQ(StringArgument(parsed.first(), 0), std::string("package"));
}

TEST(ScriptParserScale, LongListsAndDeepBlocksNeedNoDeepStack) {
  const int kCalls = 100000;
  std::string flat = "!f(i)\r\n";
  for (int i = 0; i < kCalls; ++i) flat += "f(" + std::to_string(i) + ")\r\n";
  Parsed parsed = ParseText(flat);
  EXPECT_EQ(parsed.error, 0);
  EXPECT_EQ(test::CountCalls(parsed.first()), static_cast<size_t>(kCalls));
  parsed.program.reset();

  const int kDepth = 10000;
  std::string deep = "!a() !b()\r\n";
  for (int i = 0; i < kDepth; ++i) deep += i % 100 == 0 ? "a() { !c() " : "a() { ";
  deep += "c()";
  for (int i = 0; i < kDepth; ++i) deep += " } b()";
  parsed = ParseText(deep);
  EXPECT_EQ(parsed.error, 0);
  int depth = 0;
  const ScriptCall* call = parsed.first();
  while (call != nullptr && call->body != nullptr) {
    ASSERT_EQ(call->name, "a");
    ASSERT_NE(call->next, nullptr);
    EXPECT_EQ(call->next->name, "b");
    call = call->body;
    ++depth;
  }
  EXPECT_EQ(depth, kDepth);
  EXPECT_EQ(call->name, "c");
  parsed.program.reset();

  // Unclosed, and failing at the bottom: every level is left on the way out.
  std::string open = "!a()\r\n";
  for (int i = 0; i < kDepth; ++i) {
    open += "a() { " + (i % 100 == 0 ? "!p" + std::to_string(i % 7) + "() " : std::string());
  }
  parsed = ParseText(open);
  EXPECT_EQ(parsed.error, 0);
  parsed = ParseText(open + "p1(1)");
  EXPECT_EQ(parsed.messages, Messages{"closing bracket expected"});
}

TEST(ScriptParserScale, ManyDeclarationsAndConstants) {
  std::string text;
  for (int i = 0; i < 50000; ++i) {
    text += "!p" + std::to_string(i) + "() $c" + std::to_string(i) + "(i, " + std::to_string(i) +
            ")\r\n";
  }
  text += "!f(i) f(c49999) p0()";
  ExpectOk(ParseText(text), "f,p0");
}

// Whatever the bytes, a parse ends and reads nothing outside the text.
TEST(ScriptParserRobustness, ArbitraryInput) {
  const std::string pieces[] = {"!",  "$",    "f",       "(", ")", "{",    "}",
                                ",",  "\"",   "\\",      "/", "*", "//",   "/*",
                                "*/", "\r\n", "\n",      " ", "-", "1",    ".",
                                "i",  "s",    "include", "x", ";", "\xff", std::string(1, '\0')};
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  for (int round = 0; round < 2000; ++round) {
    std::string text = (round % 2 == 0) ? "!f(i,s) !g() $k(s, \"v\")" : "";
    size_t n = next() % 60;
    for (size_t i = 0; i < n; ++i) text += pieces[next() % (sizeof pieces / sizeof pieces[0])];
    Parsed parsed = ParseText(text);
    EXPECT_TRUE(parsed.error == 0 || parsed.error == 1);
  }
  for (uint32_t s = 0; s < 300; ++s) {
    std::vector<uint8_t> bytes = test::RandomBytes(s, s);
    Parsed parsed = ParseText(std::string(bytes.begin(), bytes.end()));
    (void)parsed;
  }
}

}  // namespace
}  // namespace upkeep
