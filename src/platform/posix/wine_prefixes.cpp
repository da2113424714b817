#include "platform/posix/wine_prefixes.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "platform/posix/path.h"
#include "platform/registry.h"

namespace upkeep {
namespace posix {

namespace {

// A libraryfolders.vdf or an app manifest is a few kilobytes; anything far
// larger is not one.
constexpr size_t kMaxVdfBytes = 4u << 20;
// Hives beyond this are not read, as the registry reader refuses them.
constexpr size_t kMaxHiveBytes = 256u << 20;

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
  return ReadRegularFile(path, kMaxVdfBytes, text);
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

std::string Parent(const std::string& dir) {
  const size_t cut = dir.find_last_of('/');
  return cut == std::string::npos || cut == 0 ? std::string("/") : dir.substr(0, cut);
}

std::string BaseName(const std::string& dir) {
  const size_t cut = dir.find_last_of('/');
  return cut == std::string::npos ? dir : dir.substr(cut + 1);
}

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

  // Lutris gives each game a folder of its own below ~/Games, the prefix
  // itself or its "prefix" subfolder; Heroic keeps one per game below its
  // Prefixes (newer versions in "default"); Bottles one folder per bottle;
  // winetricks one per name.
  const std::string heroic = home + "/Games/Heroic/Prefixes";
  const std::pair<const char*, std::string> folders[] = {
      {"Lutris", home + "/Games"},
      {"Heroic", heroic},
      {"Heroic", heroic + "/default"},
      {"Bottles", home + "/.local/share/bottles/bottles"},
      {"Bottles", home + "/.var/app/com.usebottles.bottles/data/bottles/bottles"},
      {"winetricks", home + "/.local/share/wineprefixes"}};
  for (const auto& folder : folders) {
    std::vector<std::string> candidates;
    for (const std::string& name : SubFolders(folder.second)) {
      const std::string dir = folder.second + "/" + name;
      candidates.push_back(dir);
      candidates.push_back(dir + "/prefix");
    }
    add(folder.first, folder.second, candidates);
  }
  return places;
}

bool IsWinePrefix(const std::string& dir) { return IsPrefix(dir); }

bool HiveMayHoldKey(const std::string& hive, const std::string& key) {
  // The key's last name, as a key line of the hive ends with it: "...\\Name]".
  // Only a plain ASCII name is looked for; any other may be escaped in ways
  // a text search would miss, so such a hive is parsed.
  std::string name = key;
  while (!name.empty() && name.back() == '\\') name.pop_back();
  const size_t cut = name.find_last_of('\\');
  if (cut != std::string::npos) name.erase(0, cut + 1);
  if (name.empty()) return true;
  for (char& c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u > 0x7e || c == '\\' || c == '"' || c == '[' || c == ']') return true;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  // A hive that is not plain text is left to the parser.
  if (std::memchr(hive.data(), 0, hive.size()) != nullptr) return true;
  const char* data = hive.data();
  const size_t size = hive.size();
  // Every ']' is looked at: key lines are a small part of a hive, and the
  // search for the bracket runs at memory speed.
  for (const char* p = static_cast<const char*>(std::memchr(data, ']', size)); p != nullptr;
       p = static_cast<const char*>(std::memchr(p + 1, ']', size - (p + 1 - data)))) {
    const size_t end = static_cast<size_t>(p - data);
    if (end < name.size() + 1) continue;
    const size_t start = end - name.size();
    const char before = data[start - 1];
    if (before != '\\' && before != '[') continue;
    bool same = true;
    for (size_t i = 0; i < name.size() && same; ++i) {
      char c = data[start + i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      same = c == name[i];
    }
    if (same) return true;
  }
  return false;
}

bool PrefixHasValue(const std::string& prefix, const std::string& key, const std::string& value) {
  // Most prefixes of a large account hold other games: a look at the text
  // rules them out without building the whole tree.
  std::string hive;
  if (!ReadRegularFile(prefix + "/system.reg", kMaxHiveBytes, &hive) ||
      !HiveMayHoldKey(hive, key)) {
    return false;
  }
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

namespace {

// The value of `key` at the top level of an app manifest ("AppState").
std::string ManifestValue(const std::string& acf, const std::string& key) {
  std::vector<Token> tokens = Tokenize(acf);
  int depth = 0;
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (tokens[i].kind == Token::kOpen) {
      ++depth;
    } else if (tokens[i].kind == Token::kClose) {
      if (depth > 0) --depth;
    } else if (i + 1 < tokens.size() && tokens[i + 1].kind == Token::kString) {
      if (depth == 1 && tokens[i].text == key) return tokens[i + 1].text;
      ++i;
    }
  }
  return std::string();
}

// For a folder below <library>/steamapps/common/<game>: the Proton prefix of
// the app whose manifest installs into <game>, and its app id.
std::string ProtonPrefixOfGame(const std::string& dir, std::string* app) {
  const std::string marker = "/steamapps/common/";
  const size_t at = dir.find(marker);
  if (at == std::string::npos) return std::string();
  const std::string steamapps = dir.substr(0, at + marker.size() - strlen("common/") - 1);
  std::string game = dir.substr(at + marker.size());
  game = game.substr(0, game.find('/'));
  if (game.empty()) return std::string();
  DIR* d = opendir(steamapps.c_str());
  if (d == nullptr) return std::string();
  std::vector<std::string> manifests;
  while (struct dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.compare(0, 12, "appmanifest_") == 0 && name.size() > 16 &&
        name.compare(name.size() - 4, 4, ".acf") == 0) {
      manifests.push_back(name);
    }
  }
  closedir(d);
  std::sort(manifests.begin(), manifests.end());
  for (const std::string& name : manifests) {
    std::string acf;
    if (!ReadText(steamapps + "/" + name, &acf) || ManifestValue(acf, "installdir") != game) {
      continue;
    }
    *app = ManifestValue(acf, "appid");
    if (app->empty()) *app = name.substr(12, name.size() - 16);
    return steamapps + "/compatdata/" + *app + "/pfx";
  }
  return std::string();
}

}  // namespace

std::string MeantPrefix(const std::string& dir, std::string* why) {
  std::string note;
  std::string meant = dir;
  std::string app;
  if (IsPrefix(dir)) {
    // As given.
  } else if (IsPrefix(dir + "/pfx")) {
    meant = dir + "/pfx";
    note = "that is a Proton folder; its prefix is its pfx folder";
  } else if (IsPrefix(dir + "/prefix")) {
    meant = dir + "/prefix";
    note = "the game's prefix is its prefix folder";
  } else if (BaseName(dir) == "drive_c" && IsPrefix(Parent(dir))) {
    meant = Parent(dir);
    note = "that is the prefix's C: drive; the prefix is the folder that holds it";
  } else {
    const std::string proton = ProtonPrefixOfGame(dir, &app);
    if (!proton.empty() && IsPrefix(proton)) {
      meant = proton;
      note = "that is the game's folder; Steam keeps its prefix (app " + app + ") in compatdata";
    }
  }
  if (why != nullptr) *why = note;
  return meant;
}

}  // namespace posix
}  // namespace upkeep
