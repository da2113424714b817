#include "script/script_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "authoring/archive_writer.h"
#include "package/package.h"
#include "platform/file_system.h"
#include "package_test_util.h"
#include "script_test_util.h"
#include "test_util.h"

namespace upkeep {
namespace {

using test::MessageLog;

// A reader over `text` whose messages go to `log`.
std::unique_ptr<ScriptReader> Reader(const std::string& text, MessageLog* log) {
  std::unique_ptr<ScriptReader> reader = ScriptFromText(text);
  reader->errorSink = log;
  return reader;
}

struct Value {
  std::unique_ptr<ScriptValue> value;
  int error = 0;
  std::vector<std::string> messages;
  size_t position = 0;
};

enum class Kind { Integer, Float, String };

Value Read(Kind kind, const std::string& text) {
  MessageLog log;
  std::unique_ptr<ScriptReader> reader = Reader(text, &log);
  Value result;
  ScriptValue* value = nullptr;
  switch (kind) {
    case Kind::Integer:
      value = reader->ParseInteger(result.error);
      break;
    case Kind::Float:
      value = reader->ParseFloat(result.error);
      break;
    case Kind::String:
      value = reader->ParseString(result.error);
      break;
  }
  result.value.reset(value);
  result.messages = log.messages;
  result.position = reader->position;
  return result;
}

int32_t IntegerOf(const Value& v) {
  EXPECT_NE(v.value, nullptr);
  if (v.value == nullptr || v.value->type != ScriptValueType::Integer) return -12345;
  return static_cast<const ScriptInteger*>(v.value.get())->value;
}

float FloatOf(const Value& v) {
  EXPECT_NE(v.value, nullptr);
  if (v.value == nullptr || v.value->type != ScriptValueType::Float) return -12345.0f;
  return static_cast<const ScriptFloat*>(v.value.get())->value;
}

std::string StringOf(const Value& v) {
  EXPECT_NE(v.value, nullptr);
  if (v.value == nullptr || v.value->type != ScriptValueType::String) return "<none>";
  return static_cast<const ScriptString*>(v.value.get())->value;
}

// Fails with exactly one message, or none when `message` is null.
void ExpectFailure(const Value& v, const char* message) {
  EXPECT_EQ(v.value, nullptr);
  EXPECT_NE(v.error, 0);
  if (message == nullptr) {
    EXPECT_TRUE(v.messages.empty());
  } else {
    EXPECT_EQ(v.messages, std::vector<std::string>{message});
  }
}

TEST(ScriptReaderBytes, GetCharGivesEveryByteAndStaysAtTheEnd) {
  std::unique_ptr<ScriptReader> reader = ScriptFromText(std::string("\xff\0a", 3));
  EXPECT_EQ(reader->size, 3u);
  EXPECT_EQ(reader->GetChar(), 255);
  EXPECT_EQ(reader->GetChar(), 0);
  EXPECT_EQ(reader->GetChar(), 'a');
  EXPECT_EQ(reader->GetChar(), kEndOfInput);
  EXPECT_EQ(reader->GetChar(), kEndOfInput);
  EXPECT_EQ(reader->position, 3u);
  reader->UngetChar();
  EXPECT_EQ(reader->GetChar(), 'a');
  reader->position = 0;
  reader->UngetChar();
  EXPECT_EQ(reader->position, 0u);
}

TEST(ScriptReaderBlanks, SkipsWhiteSpaceAndComments) {
  struct Case {
    const char* text;
    const char* rest;  // what follows the blanks; empty at the end
  };
  const Case cases[] = {
      {" \t\r\n X", "X"},
      {"// line\r\nX", "X"},
      {"// a lone CR\r or LF\n does not end it\r\nX", "X"},
      {"//x\r\r\nX", "X"},
      {"// LF-only files\nX\nY\n", ""},
      {"// ends in CR\r", ""},
      {"/* block */X", "X"},
      {"/* a * b **/X", "X"},
      {"/* never closed", ""},
      {"/* never closed *", ""},
      {"/* /* not nested */ */", "*/"},
      {"/x", "/x"},
      {"/", "/"},
      {"a", "a"},
      {"", ""},
  };
  for (const Case& c : cases) {
    std::unique_ptr<ScriptReader> reader = ScriptFromText(c.text);
    bool at_end = reader->SkipBlanks();
    std::string rest(reader->text.begin() + static_cast<std::ptrdiff_t>(reader->position),
                     reader->text.end());
    EXPECT_EQ(rest, c.rest) << c.text;
    EXPECT_EQ(at_end, rest.empty()) << c.text;
  }
}

TEST(ScriptReaderWords, ReadsWordBytesAndStopsBeforeOthers) {
  MessageLog log;
  char word[kWordCapacity];
  std::unique_ptr<ScriptReader> reader = Reader("abc_19 9lives(", &log);
  EXPECT_EQ(reader->ReadWord(word, sizeof word), kWordOk);
  EXPECT_STREQ(word, "abc_19");
  EXPECT_EQ(reader->GetChar(), ' ');
  EXPECT_EQ(reader->ReadWord(word, sizeof word), kWordOk);
  EXPECT_STREQ(word, "9lives");
  EXPECT_EQ(reader->ReadWord(word, sizeof word), kWordOk);  // "(" gives an empty word
  EXPECT_STREQ(word, "");
  EXPECT_EQ(reader->GetChar(), '(');
  EXPECT_EQ(reader->ReadWord(word, sizeof word), kWordEnd);

  reader = Reader("tail", &log);
  EXPECT_EQ(reader->ReadWord(word, sizeof word), kWordEnd);
  EXPECT_STREQ(word, "tail");
  EXPECT_TRUE(log.messages.empty());
}

TEST(ScriptReaderWords, ThirtyOneCharactersAtMost) {
  MessageLog log;
  char word[kWordCapacity];
  const std::string name31(31, 'n');
  std::unique_ptr<ScriptReader> reader = Reader(name31 + "(", &log);
  EXPECT_EQ(reader->ReadWord(word, sizeof word), kWordOk);
  EXPECT_EQ(std::string(word), name31);
  EXPECT_TRUE(log.messages.empty());

  reader = Reader(name31 + "xy(", &log);
  EXPECT_EQ(reader->ReadWord(word, sizeof word), kWordTooLong);
  EXPECT_EQ(std::string(word), name31);
  EXPECT_EQ(log.messages, std::vector<std::string>{"word limit exceeded"});
  EXPECT_EQ(reader->GetChar(), 'x');  // the 32nd byte is pushed back
}

TEST(ScriptReaderIntegers, Literals) {
  EXPECT_EQ(IntegerOf(Read(Kind::Integer, "42)")), 42);
  EXPECT_EQ(IntegerOf(Read(Kind::Integer, "-  7,")), -7);
  EXPECT_EQ(IntegerOf(Read(Kind::Integer, "- /* c */ 7 ")), -7);
  EXPECT_EQ(IntegerOf(Read(Kind::Integer, "007\r\n")), 7);
  EXPECT_EQ(IntegerOf(Read(Kind::Integer, "2147483648 ")), INT32_MIN);
  EXPECT_EQ(IntegerOf(Read(Kind::Integer, "4294967297\t")), 1);
  EXPECT_EQ(IntegerOf(Read(Kind::Integer, "-2147483648 ")), INT32_MIN);
  Value v = Read(Kind::Integer, "12,");
  EXPECT_EQ(v.position, 2u);  // the terminator is left for the parser
  EXPECT_EQ(v.error, 0);
}

TEST(ScriptReaderIntegers, Failures) {
  ExpectFailure(Read(Kind::Integer, "5/*x*/"), "invalid termination of integer");
  ExpectFailure(Read(Kind::Integer, "5"), "invalid termination of integer");
  ExpectFailure(Read(Kind::Integer, "5x "), "invalid termination of integer");
  ExpectFailure(Read(Kind::Integer, "-x "), "expected number");
  ExpectFailure(Read(Kind::Integer, "-"), "expected number");
  ExpectFailure(Read(Kind::Integer, "+7 "), "unknown const name ''");
  ExpectFailure(Read(Kind::Integer, "0x10 "), "invalid termination of integer");
  ExpectFailure(Read(Kind::Integer, ""), nullptr);
}

TEST(ScriptReaderFloats, Literals) {
  EXPECT_EQ(FloatOf(Read(Kind::Float, "1.25 ")), 1.25f);
  EXPECT_EQ(FloatOf(Read(Kind::Float, "7)")), 7.0f);
  EXPECT_EQ(FloatOf(Read(Kind::Float, "7.,")), 7.0f);
  EXPECT_EQ(FloatOf(Read(Kind::Float, "- 2.5\n")), -2.5f);
  EXPECT_EQ(FloatOf(Read(Kind::Float, "0.1 ")), 0.1f);
  EXPECT_EQ(FloatOf(Read(Kind::Float, std::string(400, '9') + " ")),
            std::numeric_limits<float>::infinity());
}

TEST(ScriptReaderFloats, Failures) {
  ExpectFailure(Read(Kind::Float, "1e5 "), "invalid termination of float");
  ExpectFailure(Read(Kind::Float, "1.2.3 "), "invalid termination of float");
  ExpectFailure(Read(Kind::Float, "1."), "invalid termination of float");
  ExpectFailure(Read(Kind::Float, "1"), "invalid termination of float");
  ExpectFailure(Read(Kind::Float, "2.5/**/ "), "invalid termination of float");
  ExpectFailure(Read(Kind::Float, "- x"), "expected number");
  ExpectFailure(Read(Kind::Float, ".5 "), "unknown const name ''");
  ExpectFailure(Read(Kind::Float, ""), nullptr);
}

TEST(ScriptReaderStrings, EscapesAndLineBreaks) {
  EXPECT_EQ(StringOf(Read(Kind::String, "\"a\\\\b\"")), "a\\b");
  EXPECT_EQ(StringOf(Read(Kind::String, "\"x\\ny\"")), "x\r\ny");
  EXPECT_EQ(StringOf(Read(Kind::String, "\"\\t\"")), "\t");
  EXPECT_EQ(StringOf(Read(Kind::String, "\"say \\\"hi\\\"\"")), "say \"hi\"");
  EXPECT_EQ(StringOf(Read(Kind::String, "\"\\r\\0\\q\"")), "r0q");
  EXPECT_EQ(StringOf(Read(Kind::String, "\"two\r\nlines\"")), "two\r\nlines");
  EXPECT_EQ(StringOf(Read(Kind::String, "\"a\\\r\nb\"")), "a\nb");
  EXPECT_EQ(StringOf(Read(Kind::String, "\"a\\\n\rb\"")), "a\rb");
  // A lone break after a backslash stands for itself; what follows is read once.
  EXPECT_EQ(StringOf(Read(Kind::String, "\"a\\\rb\"")), "a\rb");
  EXPECT_EQ(StringOf(Read(Kind::String, "\"a\\\nb\"")), "a\nb");
  EXPECT_EQ(StringOf(Read(Kind::String, "\"a\\\r\"")), "a\r");
  EXPECT_EQ(StringOf(Read(Kind::String, "\"\"")), "");
  Value v = Read(Kind::String, std::string("\"a\0b\"", 5));
  EXPECT_EQ(StringOf(v), std::string("a\0b", 3));
  EXPECT_STREQ(static_cast<const ScriptString*>(v.value.get())->value.c_str(), "a");
}

TEST(ScriptReaderStrings, UnterminatedLiterals) {
  ExpectFailure(Read(Kind::String, "\"open"), "expected ending \"");
  ExpectFailure(Read(Kind::String, "\"open\\"), "expected ending \"");
  ExpectFailure(Read(Kind::String, "\"open\\\""), "expected ending \"");
  ExpectFailure(Read(Kind::String, "\"a\\\r"), "expected ending \"");
  ExpectFailure(Read(Kind::String, ""), nullptr);
  ExpectFailure(Read(Kind::String, "5"), nullptr);  // a word at the end: status end
  ExpectFailure(Read(Kind::String, "5 "), "unknown const name '5'");
}

TEST(ScriptReaderConsts, ReferencesFindTheNewestOfTheRightType) {
  MessageLog log;
  std::unique_ptr<ScriptReader> reader = Reader("MyDir)n)n)n)nope)", &log);
  auto add = [&](const char* name, ScriptValue* value) {
    ScriptConst* c = new ScriptConst();
    c->name = name;
    c->value = value;
    c->next = reader->consts;
    reader->consts = c;
  };
  add("mydir", new ScriptString("old"));
  add("mydir", new ScriptString("new"));
  add("n", new ScriptInteger(5));
  int error = 0;
  std::unique_ptr<ScriptValue> s(reader->ParseString(error));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(static_cast<ScriptString*>(s.get())->value, "new");
  EXPECT_EQ(reader->GetChar(), ')');
  std::unique_ptr<ScriptValue> i(reader->ParseInteger(error));
  ASSERT_NE(i, nullptr);
  EXPECT_EQ(static_cast<ScriptInteger*>(i.get())->value, 5);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(reader->GetChar(), ')');

  EXPECT_EQ(reader->ParseString(error), nullptr);
  EXPECT_NE(error, 0);
  EXPECT_EQ(reader->GetChar(), ')');
  error = 0;
  EXPECT_EQ(reader->ParseFloat(error), nullptr);
  EXPECT_EQ(reader->GetChar(), ')');
  EXPECT_EQ(reader->ParseInteger(error), nullptr);
  EXPECT_EQ(log.messages,
            (std::vector<std::string>{"'n' const type != 'string'", "'n' const type != 'float'",
                                      "unknown const name 'nope'"}));
}

TEST(ScriptReaderMessages, ReachOnlyAnAttachedSink) {
  std::unique_ptr<ScriptReader> reader = ScriptFromText("");
  reader->ReportError("no sink %s", "attached");  // must simply do nothing
  MessageLog log;
  reader->errorSink = &log;
  const std::string long_text(5000, 'z');
  reader->ReportError("long %s", long_text.c_str());
  ASSERT_EQ(log.messages.size(), 1u);
  EXPECT_EQ(log.messages[0], "long " + long_text);
}

TEST(ScriptReaderLoad, ReadsAWholeDiskFile) {
  test::TempDir dir;
  const std::string path = dir.Join("patch.scr");
  const std::string content("!a()\r\na()\xff", 11);
  ASSERT_TRUE(test::WriteFileText(path, content));
  std::unique_ptr<ScriptReader> reader = LoadScript(path.c_str());
  EXPECT_FALSE(reader->readFailed);
  EXPECT_EQ(std::string(reader->text.begin(), reader->text.end()), content);
  EXPECT_EQ(reader->size, content.size());
  EXPECT_EQ(reader->path, path);
  EXPECT_EQ(reader->directory, path.substr(0, path.size() - std::strlen("patch.scr")));
  EXPECT_EQ(reader->position, 0u);
  EXPECT_EQ(reader->consts, nullptr);
}

TEST(ScriptReaderLoad, DirectoryIsUpToTheLastBackslashElseSlash) {
  EXPECT_EQ(ScriptFromText("", "a\\b/c\\d.scr")->directory, "a\\b/c\\");
  EXPECT_EQ(ScriptFromText("", "a\\b/c.scr")->directory, "a\\");
  EXPECT_EQ(ScriptFromText("", "a/b/c.scr")->directory, "a/b/");
  EXPECT_EQ(ScriptFromText("", "c.scr")->directory, "");
}

TEST(ScriptReaderLoad, UnopenableFilesAreEmptyAndOverlongPathsRefused) {
  test::TempDir dir;
  std::unique_ptr<ScriptReader> reader = LoadScript(dir.Join("missing.scr").c_str());
  EXPECT_EQ(reader->size, 0u);
  EXPECT_FALSE(reader->readFailed);
  EXPECT_EQ(reader->GetChar(), kEndOfInput);
  test::Parsed parsed = test::ParseReader(*reader);
  EXPECT_EQ(parsed.error, 0);
  EXPECT_EQ(parsed.first(), nullptr);

  const std::string name(256 - dir.path().size() - 1, 'l');
  const std::string long_path = dir.Join(name);
  ASSERT_EQ(long_path.size(), 256u);
  ASSERT_TRUE(test::WriteFileText(long_path, "!a() a()"));
  reader = LoadScript(long_path.c_str());
  EXPECT_EQ(reader->size, 0u);
  EXPECT_TRUE(reader->readFailed);
  EXPECT_NE(test::ParseReader(*reader).error, 0);
  EXPECT_EQ(LoadScript(nullptr)->size, 0u);
}

// Files that report their size but whose reads deliver nothing.
class ShortReadFileSystem : public FileSystemWrapper {
 public:
  ShortReadFileSystem() : FileSystemWrapper(DefaultFileSystem()) { SetFileSystem(this); }
  ~ShortReadFileSystem() override { SetFileSystem(nullptr); }
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    std::unique_ptr<File> inner = target()->Open(path, mode);
    if (inner == nullptr) return inner;
    return std::unique_ptr<File>(new Short(std::move(inner)));
  }

 private:
  class Short : public File {
   public:
    explicit Short(std::unique_ptr<File> inner) : inner_(std::move(inner)) {}
    int64_t Read(void*, size_t) override { return 0; }
    int64_t Write(const void* src, size_t n) override { return inner_->Write(src, n); }
    int64_t Seek(int64_t offset, SeekOrigin origin) override {
      return inner_->Seek(offset, origin);
    }
    int64_t Size() override { return inner_->Size(); }

   private:
    std::unique_ptr<File> inner_;
  };
};

TEST(ScriptReaderLoad, AFileThatCannotBeReadWholeFailsTheParse) {
  test::TempDir dir;
  const std::string path = dir.Join("patch.scr");
  ASSERT_TRUE(test::WriteFileText(path, "!a()\r\na()\r\na()\r\n"));
  std::unique_ptr<ScriptReader> reader;
  {
    ShortReadFileSystem fs;
    reader = LoadScript(path.c_str());
  }
  EXPECT_TRUE(reader->readFailed);
  EXPECT_EQ(reader->size, 0u);
  test::Parsed parsed = test::ParseReader(*reader);
  EXPECT_NE(parsed.error, 0);
  EXPECT_EQ(parsed.first(), nullptr);
  EXPECT_EQ(parsed.messages, std::vector<std::string>{"cannot read script " + path});
}

TEST(ScriptReaderLoad, ReadsPackagedEntriesBeforeTheDisk) {
  test::TempDir dir;
  test::PackageTableGuard guard;
  const std::string stored = "!String(s,s)\r\nString(\"K\", \"stored\")\r\n";
  const std::string packed = "!String(s,s)\r\n" + std::string(2000, ' ') + "String(\"K\",\"p\")";
  const std::string package = test::WriteTestPackage(
      dir, "game.exe",
      {test::Entry("Strings.scr", stored), test::Entry("Sub\\patch.scr", packed, true)});
  ASSERT_NE(OpenPackage(package.c_str()), nullptr);
  std::unique_ptr<ScriptReader> reader = LoadScript("strings.scr");
  EXPECT_EQ(std::string(reader->text.begin(), reader->text.end()), stored);
  reader = LoadScript("sub/patch.scr");
  EXPECT_EQ(std::string(reader->text.begin(), reader->text.end()), packed);
  EXPECT_EQ(reader->directory, "sub/");
  EXPECT_EQ(ClosePackage(package.c_str()), 0);
}

}  // namespace
}  // namespace upkeep
