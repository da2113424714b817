#include "authoring/tree_program.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "install/file_version_info.h"
#include "install/installation.h"
#include "platform/file_system.h"
#include "platform/fs_path.h"
#include "platform/pe_version_reader.h"

namespace upkeep {

namespace {

// The updater reads an installed version as this many characters.
constexpr size_t kInstalledVersionBytes = 7;

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

}  // namespace

namespace {

// A version resource's string, as the updater's version API gives it (the
// portable reader answers as the system does) from a path of any length:
// the trees may lie deeper than the updater's own paths reach.
class VersionStrings {
 public:
  explicit VersionStrings(const std::string& path) {
    const uint32_t size = PeVersionInfoSize(path);
    if (size == 0) return;
    block_.assign(size, 0);
    const uint8_t* value = nullptr;
    uint32_t length = 0;
    if (!PeVersionInfo(path, size, block_.data()) ||
        !PeQueryVersionValue(block_.data(), size, "\\", &value, &length) || length < 4 ||
        (static_cast<uint32_t>(value[0]) | value[1] << 8 | value[2] << 16 |
         static_cast<uint32_t>(value[3]) << 24) != kFixedInfoSignature) {
      block_.clear();
      return;
    }
    if (PeQueryVersionValue(block_.data(), size, "\\VarFileInfo\\Translation", &value, &length) &&
        length >= 4) {
      language_ = static_cast<uint16_t>(value[0] | (value[1] << 8));
      code_page_ = static_cast<uint16_t>(value[2] | (value[3] << 8));
    }
  }

  std::string Get(const std::string& name) {
    if (block_.empty()) return std::string();
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "\\StringFileInfo\\%04x%04x\\", language_, code_page_);
    const uint8_t* value = nullptr;
    uint32_t length = 0;
    if (!PeQueryVersionValue(block_.data(), static_cast<uint32_t>(block_.size()), prefix + name,
                             &value, &length))
      return std::string();
    const char* text = reinterpret_cast<const char*>(value);
    size_t n = 0;
    while (n < length && text[n] != 0) ++n;
    return std::string(text, n);
  }

 private:
  std::vector<uint8_t> block_;
  uint16_t language_ = kDefaultVersionLanguage;
  uint16_t code_page_ = kDefaultVersionCodePage;
};

}  // namespace

TreeProgram ReadTreeProgram(const std::string& dir, const std::string& candidates) {
  TreeProgram p;
  p.dir = FsAbsolute(dir);
  while (p.dir.size() > 1 && (p.dir.back() == '/' || p.dir.back() == '\\') &&
         p.dir[p.dir.size() - 2] != ':')
    p.dir.pop_back();
  std::string name;
  // The updater takes the first name present (letter case ignored) and stops
  // at a blank one.
  std::vector<FindEntry> found;
  for (int i = 0; i < CountExecutableNames(candidates) && GetExecutableName(candidates, i, &name);
       ++i) {
    if (GetFileSystem()->Find(p.dir + "\\" + name, &found) && !found.empty() &&
        !(found[0].attributes & kAttrDirectory)) {
      p.name = name;
      break;
    }
  }
  if (p.name.empty()) return p;
  VersionStrings strings(p.dir + "\\" + p.name);
  p.product_version = strings.Get("ProductVersion");
  p.product_name = strings.Get("ProductName");
  // The first 7 characters are the version, the rest the language.
  if (p.product_version.size() > kInstalledVersionBytes) {
    p.version = p.product_version.substr(0, kInstalledVersionBytes);
    p.language = p.product_version.substr(kInstalledVersionBytes);
  }
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
  if (!LanguageAccepted(program.language, lang_version)) {
    *why = "LANG_VERSION " + Quoted(lang_version) + " is not the language " +
           Quoted(program.language) + " the updater sees";
    return false;
  }
  if (!VersionAccepted(program.version, game_version)) {
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
