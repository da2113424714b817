#include "authoring/tree_program.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "install/file_version_info.h"
#include "platform/fs_path.h"
#include "install/installation.h"

namespace upkeep {

namespace {

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

}  // namespace

TreeProgram ReadTreeProgram(const std::string& dir, const std::string& candidates) {
  TreeProgram p;
  std::error_code ec;
  p.dir = FsText(std::filesystem::absolute(FsPath(dir), ec).lexically_normal());
  while (p.dir.size() > 1 && (p.dir.back() == '/' || p.dir.back() == '\\') &&
         p.dir[p.dir.size() - 2] != ':')
    p.dir.pop_back();
  std::string name;
  // The updater takes the first name present and stops at a blank one.
  for (int i = 0; i < CountExecutableNames(candidates) && GetExecutableName(candidates, i, &name);
       ++i) {
    if (InstalledFileExists(p.dir, name)) {
      p.name = name;
      break;
    }
  }
  if (p.name.empty()) return p;
  FileVersionInfo info;
  if (info.Load(p.dir + "\\" + p.name)) {
    p.product_version = info.GetVersionString("ProductVersion");
    p.product_name = info.GetVersionString("ProductName");
  }
  p.version = GetInstalledVersion(p.dir, p.name);
  p.language = GetInstalledLanguage(p.dir, p.name);
  return p;
}

std::string TreeProgram::Describe() const {
  if (name.empty()) return dir + ": none of the SRC_EXE programs";
  std::string line = dir + ": " + name + ", ProductVersion " + Quoted(product_version) + ": ";
  if (version.empty()) {
    return line +
           "the updater sees no version (it needs 8 characters or more: the first 7 are "
           "the version, the rest the language)";
  }
  return line + "the updater sees version " + Quoted(version) + ", language " + Quoted(language);
}

bool TreePassesChecks(const TreeProgram& program, const std::string& game_version,
                      const std::string& lang_version, std::string* why) {
  if (!CheckGameLanguage(program.dir, program.name, lang_version)) {
    *why = "LANG_VERSION " + Quoted(lang_version) + " is not the language " +
           Quoted(program.language) + " the updater sees";
    return false;
  }
  if (!CheckGameVersion(program.dir, program.name, game_version)) {
    *why = "GAME_VERSION " + Quoted(game_version) + " does not list the version " +
           Quoted(program.version) + " the updater sees";
    return false;
  }
  return true;
}

namespace {

std::vector<uint64_t> VersionNumbers(const std::string& text) {
  std::vector<uint64_t> numbers;
  for (size_t i = 0; i < text.size();) {
    if (text[i] < '0' || text[i] > '9') {
      ++i;
      continue;
    }
    uint64_t n = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      n = std::min<uint64_t>(n * 10 + static_cast<uint64_t>(text[i] - '0'), UINT32_MAX);
    }
    numbers.push_back(n);
  }
  return numbers;
}

}  // namespace

int CompareVersionTexts(const std::string& a, const std::string& b) {
  std::vector<uint64_t> x = VersionNumbers(a), y = VersionNumbers(b);
  if (x.empty() || y.empty()) return 0;
  const size_t n = std::max(x.size(), y.size());
  x.resize(n, 0);
  y.resize(n, 0);
  for (size_t i = 0; i < n; ++i) {
    if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
  }
  return 0;
}

}  // namespace upkeep
