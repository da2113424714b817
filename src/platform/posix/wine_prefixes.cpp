#include "platform/posix/wine_prefixes.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "platform/posix/path.h"
#include "platform/registry.h"

namespace upkeep {
namespace posix {

namespace {

// A libraryfolders.vdf is a few kilobytes; anything far larger is not one.
constexpr long kMaxVdfBytes = 4L << 20;

bool IsDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) != nullptr ? std::string(buf) : path;
}

bool ReadText(const std::string& path, std::string* text) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  text->clear();
  char buf[8192];
  size_t n;
  bool ok = true;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
    text->append(buf, n);
    if (text->size() > static_cast<size_t>(kMaxVdfBytes)) {
      ok = false;
      break;
    }
  }
  fclose(f);
  return ok;
}

// Subfolders of `dir`, sorted by name, so the order does not depend on the disk.
std::vector<std::string> SubFolders(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (IsDir(dir + "/" + name)) names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

bool IsPrefix(const std::string& dir) { return IsFile(dir + "/system.reg"); }

// VDF tokens: quoted strings (with \\ \" \n \t escapes), braces; "//" comments.
struct Token {
  enum Kind { kString, kOpen, kClose } kind;
  std::string text;
};

std::vector<Token> Tokenize(const std::string& vdf) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < vdf.size()) {
    char c = vdf[i];
    if (c == '{' || c == '}') {
      tokens.push_back(Token{c == '{' ? Token::kOpen : Token::kClose, std::string()});
      ++i;
    } else if (c == '/' && i + 1 < vdf.size() && vdf[i + 1] == '/') {
      while (i < vdf.size() && vdf[i] != '\n') ++i;
    } else if (c == '"') {
      std::string text;
      ++i;
      while (i < vdf.size() && vdf[i] != '"') {
        if (vdf[i] == '\\' && i + 1 < vdf.size()) {
          char e = vdf[++i];
          text += e == 'n' ? '\n' : e == 't' ? '\t' : e;
        } else {
          text += vdf[i];
        }
        ++i;
      }
      ++i;
      tokens.push_back(Token{Token::kString, text});
    } else {
      ++i;
    }
  }
  return tokens;
}

bool IsNumber(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::vector<std::string> SteamLibraryFolders(const std::string& vdf) {
  std::vector<std::string> folders;
  std::vector<Token> tokens = Tokenize(vdf);
  // Depth 1 is inside "libraryfolders", 2 inside one numbered library.
  int depth = 0;
  for (size_t i = 0; i < tokens.size(); ++i) {
    const Token& t = tokens[i];
    if (t.kind == Token::kOpen) {
      ++depth;
    } else if (t.kind == Token::kClose) {
      if (depth > 0) --depth;
    } else if (i + 1 < tokens.size() && tokens[i + 1].kind == Token::kString) {
      const std::string& value = tokens[i + 1].text;
      if ((depth == 2 && t.text == "path") || (depth == 1 && IsNumber(t.text))) {
        if (!value.empty()) folders.push_back(value);
      }
      ++i;  // a key and its value
    }
  }
  return folders;
}

std::vector<PrefixPlace> FindPrefixPlaces(const std::string& home) {
  std::vector<PrefixPlace> places;
  std::set<std::string> seen_folders;
  std::set<std::string> seen_prefixes;
  auto add = [&](const std::string& what, const std::string& folder,
                 const std::vector<std::string>& candidates) {
    if (!IsDir(folder) || !seen_folders.insert(RealPath(folder)).second) return;
    PrefixPlace place{what, folder, {}};
    for (const std::string& candidate : candidates) {
      if (IsPrefix(candidate) && seen_prefixes.insert(RealPath(candidate)).second) {
        place.prefixes.push_back(candidate);
      }
    }
    places.push_back(place);
  };

  // Steam roots; flatpak Steam sees its own folder as the home, so paths it
  // writes below the home are found there first.
  const std::string flatpak_home = home + "/.var/app/com.valvesoftware.Steam";
  struct Root {
    std::string path;
    std::string seen_home;  // what the home is for this Steam
  };
  const Root roots[] = {{home + "/.steam/steam", home},
                        {home + "/.local/share/Steam", home},
                        {flatpak_home + "/.local/share/Steam", flatpak_home},
                        {flatpak_home + "/.steam/steam", flatpak_home},
                        {home + "/snap/steam/common/.local/share/Steam", home}};
  for (const Root& root : roots) {
    if (!IsDir(root.path)) continue;
    std::vector<std::string> libraries = {root.path};
    for (const char* vdf_path : {"/steamapps/libraryfolders.vdf", "/config/libraryfolders.vdf"}) {
      std::string text;
      if (!ReadText(root.path + vdf_path, &text)) continue;
      for (std::string folder : SteamLibraryFolders(text)) {
        if (root.seen_home != home && folder.compare(0, home.size() + 1, home + "/") == 0) {
          std::string mapped = root.seen_home + folder.substr(home.size());
          if (IsDir(mapped)) folder = mapped;
        }
        libraries.push_back(folder);
      }
    }
    for (const std::string& library : libraries) {
      const std::string compat = library + "/steamapps/compatdata";
      std::vector<std::string> candidates;
      for (const std::string& app : SubFolders(compat))
        candidates.push_back(compat + "/" + app + "/pfx");
      add("Steam library", library, candidates);
    }
  }

  // Lutris gives each game a prefix of its own below ~/Games; Bottles keeps
  // one folder per bottle.
  const std::pair<const char*, std::string> folders[] = {
      {"Lutris", home + "/Games"},
      {"Bottles", home + "/.local/share/bottles/bottles"},
      {"Bottles", home + "/.var/app/com.usebottles.bottles/data/bottles/bottles"}};
  for (const auto& folder : folders) {
    std::vector<std::string> candidates;
    for (const std::string& name : SubFolders(folder.second)) {
      candidates.push_back(folder.second + "/" + name);
    }
    add(folder.first, folder.second, candidates);
  }
  return places;
}

bool PrefixHasValue(const std::string& prefix, const std::string& key, const std::string& value) {
  const std::string saved = ChosenWinePrefix();
  UseWinePrefix(prefix);
  uint32_t size = 0;
  bool found = QueryRegistryValue(RegistryRoot::kLocalMachine, key, value, nullptr, nullptr,
                                  &size) == kRegSuccess;
  UseWinePrefix(saved);
  return found;
}

std::string DriveCFolder(const std::string& prefix) {
  char buf[PATH_MAX];
  if (realpath((prefix + "/dosdevices/c:").c_str(), buf) == nullptr) return std::string();
  return buf;
}

}  // namespace posix
}  // namespace upkeep
