// The version reader against the system's version API on the same programs.
// tests/wine/version_resources.sh builds programs with windres, runs the
// Windows build under Wine (system answers, compared in-process with the
// portable reader and written to a dump), then the Linux build, which compares
// its reader with that dump. Skipped unless UPKEEP_VERSION_FIXTURES is set.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "install/installation.h"
#include "platform/file_system.h"
#include "platform/pe_version_reader.h"
#include "platform/version_info.h"

namespace upkeep {
namespace {

struct Answers {
  std::vector<std::pair<std::string, std::string>> lines;  // query, answer
};

std::string Hex(const uint8_t* p, size_t n) {
  std::string s;
  char b[3];
  for (size_t i = 0; i < n; ++i) {
    snprintf(b, sizeof(b), "%02x", p[i]);
    s += b;
  }
  return s;
}

std::vector<std::string> Queries() {
  std::vector<std::string> q = {"",
                                "\\",
                                "\\VarFileInfo\\Translation",
                                "\\varfileinfo\\TRANSLATION",
                                "\\VarFileInfo",
                                "\\StringFileInfo",
                                "\\StringFileInfo\\Missing"};
  for (const char* table :
       {"000004b0", "040904e4", "040904E4", "040904b0", "041504e2", "040704e4"}) {
    for (const char* name :
         {"ProductVersion", "productversion", "FileVersion", "CompanyName", "FileDescription", "A",
          "Ab", "Abc", "Empty", "Doubled", "Comments", "Missing"}) {
      q.push_back(std::string("\\StringFileInfo\\") + table + "\\" + name);
    }
  }
  return q;
}

using SizeFn = uint32_t (*)(const std::string&);
using InfoFn = bool (*)(const std::string&, uint32_t, uint8_t*);
using QueryFn = bool (*)(uint8_t*, uint32_t, const std::string&, const uint8_t**, uint32_t*);

Answers Ask(const std::string& path, SizeFn size_fn, InfoFn info_fn, QueryFn query_fn) {
  Answers a;
  uint32_t size = size_fn(path);
  a.lines.push_back({"size", std::to_string(size)});
  if (size == 0) return a;
  std::vector<uint8_t> block(size, 0);
  bool ok = info_fn(path, size, block.data());
  a.lines.push_back({"block", ok ? Hex(block.data(), block.size()) : "failed"});
  if (!ok) return a;
  for (const std::string& q : Queries()) {
    const uint8_t* v = nullptr;
    uint32_t n = 0;
    if (!query_fn(block.data(), size, q, &v, &n)) {
      a.lines.push_back({q, "-"});
    } else {
      a.lines.push_back({q, std::to_string(n) + ":" + Hex(v, n)});
    }
  }
  return a;
}

Answers AskPortable(const std::string& path) {
  return Ask(path, PeVersionInfoSize, PeVersionInfo, PeQueryVersionValue);
}

std::vector<std::string> Programs(const std::string& dir) {
  std::vector<FindEntry> entries;
  std::vector<std::string> names;
  if (!GetFileSystem()->Find(dir + "\\*.exe", &entries)) return names;
  for (const FindEntry& e : entries) names.push_back(e.name);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(VersionCross, ReaderGivesTheSystemsAnswers) {
  const char* dir = getenv("UPKEEP_VERSION_FIXTURES");
  const char* dump = getenv("UPKEEP_VERSION_DUMP");
  if (dir == nullptr || dump == nullptr) GTEST_SKIP() << "run by version_resources.sh";
  const std::vector<std::string> programs = Programs(dir);
  ASSERT_GE(programs.size(), 10u);
#ifdef _WIN32
  std::ofstream out(dump, std::ios::binary | std::ios::trunc);
  ASSERT_TRUE(out.good());
  for (const std::string& name : programs) {
    const std::string path = std::string(dir) + "\\" + name;
    Answers system = Ask(path, ReadVersionInfoSize, ReadVersionInfo, QueryVersionValue);
    Answers portable = AskPortable(path);
    ASSERT_EQ(system.lines.size(), portable.lines.size()) << name;
    for (size_t i = 0; i < system.lines.size(); ++i) {
      EXPECT_EQ(portable.lines[i], system.lines[i]) << name;
      out << name << '\t' << system.lines[i].first << '\t' << system.lines[i].second << '\n';
    }
  }
#else
  std::ifstream in(dump, std::ios::binary);
  ASSERT_TRUE(in.good());
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> expected;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t a = line.find('\t'), b = line.find('\t', a + 1);
    ASSERT_NE(b, std::string::npos);
    expected[line.substr(0, a)].push_back({line.substr(a + 1, b - a - 1), line.substr(b + 1)});
  }
  ASSERT_EQ(expected.size(), programs.size());
  for (const std::string& name : programs) {
    Answers portable = AskPortable(std::string(dir) + "/" + name);
    EXPECT_EQ(portable.lines, expected[name]) << name;
  }
  // The answers the fixtures were written for.
  auto answer = [&](const std::string& name, const std::string& query) {
    for (const auto& l : expected[name]) {
      if (l.first == query) return l.second;
    }
    return std::string("<none>");
  };
  const std::string pv = "\\StringFileInfo\\040904e4\\ProductVersion";
  EXPECT_EQ(answer("basic-64.exe", pv),
            "10:" + Hex(reinterpret_cast<const uint8_t*>("2.0.1.4en"), 10));
  EXPECT_EQ(answer("multilang-32.exe", pv), answer("basic-32.exe", pv));
  EXPECT_EQ(answer("noversion-64.exe", "size"), "0");
  EXPECT_EQ(answer("othername-64.exe", "size"), "0");
  EXPECT_EQ(answer("notranslation-64.exe", "\\VarFileInfo\\Translation"), "-");
  EXPECT_NE(answer("otherlang-64.exe", "\\StringFileInfo\\040704e4\\ProductVersion"), "-");
  const std::string commas = "11:" + Hex(reinterpret_cast<const uint8_t*>("1, 0, 0, 1"), 11);
  EXPECT_EQ(answer("unicode-32.exe", "\\StringFileInfo\\040904b0\\ProductVersion"), commas);
  EXPECT_EQ(answer("unicode-64.exe", "\\VarFileInfo\\Translation"), "8:0904b0041504e204");
  EXPECT_EQ(answer("neutral-64.exe", pv),
            "10:" + Hex(reinterpret_cast<const uint8_t*>("1.0.0.0nn"), 10));
  // The checks over those programs, 32-bit ones included.
  EXPECT_EQ(GetInstalledVersion(dir, "unicode-32.exe"), "1, 0, 0");
  EXPECT_EQ(GetInstalledLanguage(dir, "unicode-32.exe"), ", 1");
  EXPECT_TRUE(CheckGameVersion(dir, "unicode-64.exe", "2.0.0.0; 1, 0, 0 "));
  EXPECT_FALSE(CheckGameLanguage(dir, "unicode-64.exe", "1"));
  EXPECT_EQ(GetInstalledLanguage(dir, "multilang-32.exe"), "en");
  EXPECT_EQ(GetInstalledLanguage(dir, "neutral-32.exe"), "nn");
  EXPECT_EQ(GetInstalledLanguage(dir, "otherlang-32.exe"), "de");
  EXPECT_EQ(GetInstalledVersion(dir, "notranslation-32.exe"), "1.0.0.0");
  EXPECT_EQ(GetInstalledVersion(dir, "noversion-32.exe"), "");
  if (expected.count("unicode-msvc32.exe") != 0) {
    EXPECT_EQ(answer("unicode-msvc32.exe", "\\StringFileInfo\\040904b0\\ProductVersion"), commas);
  }
#endif
}

// An updater branded by make (tests/wine/shipped_update.sh passes these
// texts): the system's version API and the portable reader agree on it, and
// show the publisher's texts, none of ours. Skipped unless
// UPKEEP_BRANDED_UPDATER names it.
TEST(BrandingCross, UpdaterShowsThePublishersTexts) {
  const char* path = getenv("UPKEEP_BRANDED_UPDATER");
  if (path == nullptr) GTEST_SKIP() << "run by shipped_update.sh";
#ifdef _WIN32
  Answers system = Ask(path, ReadVersionInfoSize, ReadVersionInfo, QueryVersionValue);
  EXPECT_EQ(AskPortable(path).lines, system.lines);
  QueryFn query = QueryVersionValue;
  InfoFn info = ReadVersionInfo;
  SizeFn size_of = ReadVersionInfoSize;
#else
  QueryFn query = PeQueryVersionValue;
  InfoFn info = PeVersionInfo;
  SizeFn size_of = PeVersionInfoSize;
#endif
  const uint32_t size = size_of(path);
  ASSERT_GT(size, 0u);
  std::vector<uint8_t> block(size);
  ASSERT_TRUE(info(path, size, block.data()));
  auto text = [&](const std::string& name) {
    const uint8_t* v = nullptr;
    uint32_t n = 0;
    if (!query(block.data(), size, "\\StringFileInfo\\040904b0\\" + name, &v, &n))
      return std::string("-");
    std::string t(reinterpret_cast<const char*>(v), n);
    while (!t.empty() && t.back() == 0) t.pop_back();
    return t;
  };
  EXPECT_EQ(text("CompanyName"), "Rivet Works");
  EXPECT_EQ(text("ProductName"), "Sample Game");
  EXPECT_EQ(text("FileDescription"), "Sample Game update");
  EXPECT_EQ(text("FileVersion"), "1.0.1");
  EXPECT_EQ(text("ProductVersion"), "1.0.1");
  EXPECT_EQ(text("LegalCopyright"), "(c) 2026 Rivet Works");
  EXPECT_EQ(text("OriginalFilename"), "SampleGame-1.0.1.exe");
  EXPECT_EQ(text("InternalName"), "-");
  const uint8_t* fixed = nullptr;
  uint32_t n = 0;
  ASSERT_TRUE(query(block.data(), size, "\\", &fixed, &n));
  ASSERT_GE(n, 24u);
  EXPECT_EQ(Hex(fixed + 8, 16), "00000100000001000000010000000100");
}

}  // namespace
}  // namespace upkeep
