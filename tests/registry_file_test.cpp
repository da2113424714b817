#include "platform/wine_registry_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/code_page.h"

namespace upkeep {
namespace {

std::vector<std::u16string> Path(const std::u16string& path) {
  std::vector<std::u16string> c;
  EXPECT_TRUE(SplitRegistryPath(path, &c));
  return c;
}

bool Find(const std::string& file, const std::u16string& key, std::vector<RegistryFileValue>* v) {
  return FindRegistryFileKey(file, Path(key), v);
}

const RegistryFileValue* Value(const std::vector<RegistryFileValue>& values,
                               const std::u16string& name) {
  for (const RegistryFileValue& v : values) {
    if (RegistryNamesEqual(v.name, name)) return &v;
  }
  return nullptr;
}

std::u16string Text(const RegistryFileValue* v) {
  std::u16string s;
  if (v == nullptr) return u"<none>";
  for (size_t i = 0; i + 1 < v->data.size(); i += 2) {
    s.push_back(static_cast<char16_t>(v->data[i] | (v->data[i + 1] << 8)));
  }
  if (!s.empty() && s.back() == 0) s.pop_back();
  return s;
}

// A hive as Wine writes one, with the escapes it uses.
const char kHive[] =
    "WINE REGISTRY Version 2\n"
    ";; All keys relative to \\\\Machine\n"
    "\n"
    "#arch=win64\n"
    "\n"
    "[Software\\\\Acme\\\\Game] 1686054154\n"
    "#time=1d99826d7f6e2a0\n"
    "@=\"default text\"\n"
    "\"InstallPath\"=\"C:\\\\Games\\\\Acme \\\"Gold\\\"\"\n"
    "\"Unicode\"=\"Za\\x017c\\xf3\\x0142\\x0107 caf\\x00e9s\"\n"
    "\"Controls\"=\"tab\\there\\nnew\\rret\\\\\"\n"
    "\"Octal\"=\"\\101\\102\\0103\"\n"
    "\"Expand\"=str(2):\"%ProgramFiles%\\\\Acme\"\n"
    "\"Count\"=dword:0000002a\n"
    "\"Blob\"=hex:01,02,ff,\\\n"
    "  10,20\n"
    "\"Multi\"=hex(7):41,00,00,00,42,00,00,00,00,00\n"
    "\"Name \\\"quoted\\\"\"=\"q\"\n"
    "\n"
    "[Software\\\\Wine\\\\Deep\\\\Nested\\\\Key] 1686054154\n"
    "\"x\"=\"y\"\n"
    "\n"
    "[Software\\\\Acme\\\\Game] 1686054155\n"
    "\"Second\"=\"merged\"\n"
    "\"Count\"=dword:0000002b\n";

TEST(RegistryFile, WineEscapesAndTypes) {
  std::vector<RegistryFileValue> v;
  ASSERT_TRUE(Find(kHive, u"Software\\Acme\\Game", &v));
  EXPECT_EQ(Text(Value(v, u"")), u"default text");
  EXPECT_EQ(Text(Value(v, u"InstallPath")), u"C:\\Games\\Acme \"Gold\"");
  EXPECT_EQ(Text(Value(v, u"Unicode")), u"Za\u017c\u00f3\u0142\u0107 caf\u00e9s");
  EXPECT_EQ(Text(Value(v, u"Controls")), u"tab\there\nnew\rret\\");
  // Octal escapes take at most three digits.
  EXPECT_EQ(Text(Value(v, u"Octal")), u"AB\u00083");
  const RegistryFileValue* expand = Value(v, u"Expand");
  ASSERT_NE(expand, nullptr);
  EXPECT_EQ(expand->type, kRegExpandSz);
  EXPECT_EQ(Text(expand), u"%ProgramFiles%\\Acme");  // kept unexpanded
  const RegistryFileValue* blob = Value(v, u"Blob");
  ASSERT_NE(blob, nullptr);
  EXPECT_EQ(blob->type, kRegBinary);
  EXPECT_EQ(blob->data, (std::vector<uint8_t>{0x01, 0x02, 0xFF, 0x10, 0x20}));
  const RegistryFileValue* multi = Value(v, u"Multi");
  ASSERT_NE(multi, nullptr);
  EXPECT_EQ(multi->type, kRegMultiSz);
  EXPECT_EQ(multi->data.size(), 10u);
  EXPECT_EQ(Text(Value(v, u"Name \"quoted\"")), u"q");
  // Sections of one key merge; a later definition wins.
  EXPECT_EQ(Text(Value(v, u"Second")), u"merged");
  const RegistryFileValue* count = Value(v, u"Count");
  ASSERT_NE(count, nullptr);
  EXPECT_EQ(count->type, kRegDword);
  EXPECT_EQ(count->data, (std::vector<uint8_t>{0x2b, 0, 0, 0}));
  // Strings carry their terminator.
  EXPECT_EQ(Value(v, u"Second")->data.size(), 14u);
}

TEST(RegistryFile, NamesIgnoreCaseAndKeysExistThroughSubkeys) {
  std::vector<RegistryFileValue> v;
  ASSERT_TRUE(Find(kHive, u"SOFTWARE\\acme\\GAME", &v));
  EXPECT_NE(Value(v, u"installpath"), nullptr);
  EXPECT_NE(Value(v, u"UNICODE"), nullptr);
  // A key named only as part of a deeper one exists, with no values.
  ASSERT_TRUE(Find(kHive, u"Software\\Wine\\Deep", &v));
  EXPECT_TRUE(v.empty());
  ASSERT_TRUE(Find(kHive, u"Software\\\\Wine\\Deep\\\\", &v));  // separators collapse
  EXPECT_TRUE(Find(kHive, u"", &v));                            // the root
  EXPECT_FALSE(Find(kHive, u"Software\\Acme\\Gam", &v));
  EXPECT_FALSE(Find(kHive, u"Software\\Acme\\Game\\Sub", &v));
  EXPECT_FALSE(Find(kHive, u"Software\\Wine\\Deep\\Nested\\Key\\More", &v));
  std::vector<std::u16string> c;
  EXPECT_FALSE(SplitRegistryPath(u"\\Software", &c));
  // Letters beyond ASCII fold too.
  EXPECT_TRUE(RegistryNamesEqual(u"Za\u017c\u00f3\u0142\u0107", u"ZA\u017b\u00d3\u0141\u0106"));
  EXPECT_TRUE(RegistryNamesEqual(u"\u0438\u0433\u0440\u0430", u"\u0418\u0413\u0420\u0410"));
  EXPECT_FALSE(RegistryNamesEqual(u"a", u"b"));
}

TEST(RegistryFile, EscapedNamesInKeyPaths) {
  const std::string hive =
      "WINE REGISTRY Version 2\n"
      "[Software\\\\Gry\\\\Zab\\x00f3jcy \\[PL\\]] 1\n"
      "\"Path\"=\"C:\\\\Gry\"\n"
      // A single backslash is an escape, not a separator: this is "SoftwareX".
      "[Software\\X] 1\n"
      "\"v\"=\"1\"\n";
  std::vector<RegistryFileValue> v;
  ASSERT_TRUE(Find(hive, u"Software\\Gry\\Zab\u00f3jcy [PL]", &v));
  EXPECT_EQ(Text(Value(v, u"Path")), u"C:\\Gry");
  EXPECT_TRUE(Find(hive, u"SoftwareX", &v));
  EXPECT_FALSE(Find(hive, u"Software\\X", &v));
}

TEST(RegistryFile, HexEscapesTakeUpToFourDigits) {
  std::u16string out;
  EXPECT_NE(ParseRegistryString("\\x0041BC\"", 0, '"', &out), std::string::npos);
  EXPECT_EQ(out, u"ABC");
  EXPECT_NE(ParseRegistryString("\\xe9\"", 0, '"', &out), std::string::npos);
  EXPECT_EQ(out, u"\u00e9");
  EXPECT_NE(ParseRegistryString("\\xz\"", 0, '"', &out), std::string::npos);
  EXPECT_EQ(out, u"xz");
  EXPECT_NE(ParseRegistryString("\\q\\e\"", 0, '"', &out), std::string::npos);
  EXPECT_EQ(out, u"q\x1b");
  // Raw UTF-8 (a hand-edited hive) is read as UTF-8; stray bytes as Latin-1.
  EXPECT_NE(ParseRegistryString("caf\xc3\xa9 \xe9\"", 0, '"', &out), std::string::npos);
  EXPECT_EQ(out, u"caf\u00e9 \u00e9");
  // Unterminated texts and a lone backslash at the end are malformed.
  EXPECT_EQ(ParseRegistryString("abc", 0, '"', &out), std::string::npos);
  EXPECT_EQ(ParseRegistryString("abc\\", 0, '"', &out), std::string::npos);
  EXPECT_EQ(ParseRegistryString("abc\\\"", 0, '"', &out), std::string::npos);
}

TEST(RegistryFile, MalformedLinesAreSkippedLikeWineSkipsThem) {
  const std::string hive =
      "WINE REGISTRY Version 2\r\n"
      "\"orphan\"=\"no key yet\"\r\n"
      "[Good] 1\r\n"
      "\"a\"=\"1\"\r\n"
      "\"bad type\"=wat:12\r\n"
      "\"bad string\"=\"unterminated\r\n"
      "\"bad hex\"=hex:01,zz\r\n"
      "\"no equals\" \"x\"\r\n"
      "garbage line\r\n"
      "  \"indented\" = \"ok\"\r\n"
      "[Broken\r\n"
      "\"after broken\"=\"lost\"\r\n"
      "[Good] 2\r\n"
      "\"trailing hex\"=hex:01,\\\r\n";
  std::vector<RegistryFileValue> v;
  ASSERT_TRUE(Find(hive, u"Good", &v));
  EXPECT_EQ(Text(Value(v, u"a")), u"1");
  EXPECT_EQ(Text(Value(v, u"indented")), u"ok");
  EXPECT_EQ(Value(v, u"orphan"), nullptr);
  EXPECT_EQ(Value(v, u"after broken"), nullptr);  // not given to the key before
  EXPECT_EQ(Value(v, u"no equals"), nullptr);
  // A named value with malformed data exists, empty, as the server creates it.
  for (const char16_t* name : {u"bad type", u"bad string", u"bad hex", u"trailing hex"}) {
    const RegistryFileValue* bad = Value(v, name);
    ASSERT_NE(bad, nullptr);
    EXPECT_EQ(bad->type, kRegNone);
    EXPECT_TRUE(bad->data.empty());
  }
  EXPECT_FALSE(Find(hive, u"Broken", &v));
  // Without the exact first line nothing is a hive.
  EXPECT_FALSE(Find("WINE REGISTRY Version 1\n[Good]\n", u"Good", &v));
  EXPECT_FALSE(Find("", u"", &v));
  const char nul[] = "WINE REGISTRY\0 Version 2\n[A]\n";
  EXPECT_FALSE(Find(std::string(nul, sizeof(nul) - 1), u"A", &v));
}

TEST(RegistryFile, AnyPrefixOrDamageOfAHiveIsSafe) {
  const std::string hive = kHive;
  std::vector<RegistryFileValue> v;
  for (size_t n = 0; n <= hive.size(); ++n) {
    FindRegistryFileKey(hive.substr(0, n), Path(u"Software\\Acme\\Game"), &v);
  }
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::string damaged = hive;
    for (int k = 0; k < 8; ++k) {
      damaged[rng() % damaged.size()] = static_cast<char>(rng() % 256);
    }
    FindRegistryFileKey(damaged, Path(u"Software\\Acme\\Game"), &v);
    for (const RegistryFileValue& value : v) {
      uint8_t buf[64];
      uint32_t size = sizeof(buf);
      CopyRegistryValueAnsi(value, nullptr, buf, &size);
      EXPECT_LE(size, 4096u);
    }
  }
}

RegistryFileValue StringValue(const std::u16string& text, bool terminated = true) {
  RegistryFileValue v;
  v.type = kRegSz;
  for (char16_t c : text) {
    v.data.push_back(static_cast<uint8_t>(c));
    v.data.push_back(static_cast<uint8_t>(c >> 8));
  }
  if (terminated) v.data.insert(v.data.end(), {0, 0});
  return v;
}

TEST(RegistryFile, AnsiCopyKeepsTheQueryBufferRules) {
  RegistryFileValue v = StringValue(u"C:\\Games");  // 8 characters and a terminator
  uint8_t buf[16];
  uint32_t type = 0;
  uint32_t size = 9;
  memset(buf, 'x', sizeof(buf));
  EXPECT_EQ(CopyRegistryValueAnsi(v, &type, buf, &size), kRegSuccess);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(size, 9u);
  EXPECT_STREQ(reinterpret_cast<char*>(buf), "C:\\Games");
  size = 8;  // one byte short
  memset(buf, 'x', sizeof(buf));
  EXPECT_EQ(CopyRegistryValueAnsi(v, &type, buf, &size), kRegMoreData);
  EXPECT_EQ(size, 9u);
  EXPECT_EQ(buf[0], 'x');  // left alone
  size = 0;
  EXPECT_EQ(CopyRegistryValueAnsi(v, &type, nullptr, &size), kRegSuccess);
  EXPECT_EQ(size, 9u);

  // Stored without a terminator: one is added when there is room, not counted.
  RegistryFileValue bare = StringValue(u"abc", false);
  size = sizeof(buf);
  memset(buf, 'x', sizeof(buf));
  EXPECT_EQ(CopyRegistryValueAnsi(bare, &type, buf, &size), kRegSuccess);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(buf[3], 0);
  size = 3;
  memset(buf, 'x', sizeof(buf));
  EXPECT_EQ(CopyRegistryValueAnsi(bare, &type, buf, &size), kRegSuccess);
  EXPECT_EQ(buf[3], 'x');

  RegistryFileValue dword;
  dword.type = kRegDword;
  dword.data = {1, 2, 3, 4};
  size = 3;
  EXPECT_EQ(CopyRegistryValueAnsi(dword, &type, buf, &size), kRegMoreData);
  EXPECT_EQ(size, 4u);
  size = 4;
  EXPECT_EQ(CopyRegistryValueAnsi(dword, &type, buf, &size), kRegSuccess);
  EXPECT_EQ(type, kRegDword);
  EXPECT_EQ(buf[3], 4);
}

// Strings Wine could not write as text (no terminator) or that an imported
// .reg file gave in hex still read as strings in the ANSI code page.
TEST(RegistryFile, HexWrittenStringsReadAsText) {
  const std::string hive =
      "WINE REGISTRY Version 2\n"
      "[Software\\\\Acme] 1\n"
      "\"Expand\"=hex(2):25,00,50,00,46,00,25,00,5c,00,e9,00,00,00\n"
      "\"Plain\"=hex(1):43,00,3a,00,5c,00,47,00\n";
  std::vector<RegistryFileValue> v;
  ASSERT_TRUE(Find(hive, u"Software\\Acme", &v));
  uint8_t buf[16];
  uint32_t type = 0, size = sizeof(buf);
  memset(buf, 'x', sizeof(buf));
  ASSERT_EQ(CopyRegistryValueAnsi(*Value(v, u"Expand"), &type, buf, &size), kRegSuccess);
  EXPECT_EQ(type, kRegExpandSz);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), size), std::string("%PF%\\\xe9\0", 7));
  size = sizeof(buf);
  ASSERT_EQ(CopyRegistryValueAnsi(*Value(v, u"Plain"), &type, buf, &size), kRegSuccess);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(size, 4u);
  EXPECT_STREQ(reinterpret_cast<char*>(buf), "C:\\G");
}

}  // namespace
}  // namespace upkeep
