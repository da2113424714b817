#include "authoring/tree_diff.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

namespace upkeep {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxScriptName = 255;

char Fold(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

std::string Folded(const std::string& s) {
  std::string r = s;
  for (char& c : r) c = Fold(c);
  return r;
}

// Characters the game's file system refuses, and '\' which would split the name.
bool UsableComponent(const std::string& name) {
  if (name.empty()) return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) return false;
    if (std::string("\\:*?\"<>|").find(static_cast<char>(c)) != std::string::npos) return false;
  }
  return true;
}

std::string ParentOf(const std::string& name) {
  size_t cut = name.rfind('\\');
  return cut == std::string::npos ? std::string() : name.substr(0, cut);
}

bool SameContent(const std::string& a, const std::string& b, bool* same) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  if (!fa || !fb) return false;
  std::vector<char> ba(1 << 16), bb(1 << 16);
  for (;;) {
    fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
    fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
    std::streamsize na = fa.gcount(), nb = fb.gcount();
    if (na != nb || std::memcmp(ba.data(), bb.data(), static_cast<size_t>(na)) != 0) {
      *same = false;
      return true;
    }
    if (na == 0) {
      *same = true;
      return fa.eof() && fb.eof();
    }
  }
}

}  // namespace

int CompareNames(const std::string& a, const std::string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(Fold(a[i]));
    unsigned char y = static_cast<unsigned char>(Fold(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::string NativePath(const std::string& root, const std::string& relative) {
  std::string r = relative;
  std::replace(r.begin(), r.end(), '\\', '/');
  return (fs::path(root) / fs::path(r)).string();
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  in.seekg(0, std::ios::end);
  std::streamoff n = in.tellg();
  if (n < 0) return false;
  in.seekg(0);
  bytes->resize(static_cast<size_t>(n));
  if (n > 0) in.read(reinterpret_cast<char*>(bytes->data()), n);
  return in.good() || (n == 0 && !in.bad());
}

bool ReadTree(const std::string& root, Tree* tree, std::string* error) {
  tree->root = root;
  tree->dirs.clear();
  tree->files.clear();
  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    *error = "not a directory: " + root;
    return false;
  }
  std::vector<std::string> pending = {std::string()};
  std::set<std::string> seen;  // folded names, to catch names that differ only in case
  while (!pending.empty()) {
    std::string rel = pending.back();
    pending.pop_back();
    fs::directory_iterator it(NativePath(root, rel), ec), end;
    if (ec) {
      *error = "cannot list " + NativePath(root, rel) + ": " + ec.message();
      return false;
    }
    for (; it != end; it.increment(ec)) {
      std::string leaf = it->path().filename().string();
      std::string name = rel.empty() ? leaf : rel + "\\" + leaf;
      if (!UsableComponent(leaf)) {
        *error = "name not usable in an update: " + it->path().string();
        return false;
      }
      if (name.size() > kMaxScriptName) {
        *error = "name longer than 255 characters: " + name;
        return false;
      }
      if (!seen.insert(Folded(name)).second) {
        *error = "two names differ only in letter case: " + name;
        return false;
      }
      fs::file_status st = it->symlink_status(ec);
      if (fs::is_directory(st)) {
        tree->dirs.push_back(name);
        pending.push_back(name);
      } else if (fs::is_regular_file(st)) {
        uint64_t size = it->file_size(ec);
        if (ec) break;
        tree->files.push_back({name, size});
      } else {
        *error = "neither a file nor a directory: " + it->path().string();
        return false;
      }
    }
    if (ec) {
      *error = "cannot read " + NativePath(root, rel) + ": " + ec.message();
      return false;
    }
  }
  auto by_name = [](const std::string& a, const std::string& b) { return CompareNames(a, b) < 0; };
  std::sort(tree->dirs.begin(), tree->dirs.end(), by_name);
  std::sort(tree->files.begin(), tree->files.end(),
            [&](const TreeFile& a, const TreeFile& b) { return by_name(a.name, b.name); });
  return true;
}

namespace {

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// A file the updater's bank clean-up deletes before the script runs.
bool IsStaleBank(const std::string& folded) {
  static const char* const kFolders[] = {"DATA\\LEVELS\\", "DATA\\LEVELSNET\\", "DATA\\FILMS\\",
                                         "DATA\\LEVELSCUSTOM\\"};
  for (const char* folder : kFolders) {
    if (!StartsWith(folded, folder)) continue;
    std::string rest = folded.substr(std::strlen(folder));
    size_t cut = rest.rfind('\\');
    std::string leaf = cut == std::string::npos ? rest : rest.substr(cut + 1);
    if (!StartsWith(leaf, "BANK")) return false;
    // Subfolders whose names begin with a dot are never entered.
    for (size_t at = 0; cut != std::string::npos && at <= cut;) {
      if (rest[at] == '.') return false;
      size_t next = rest.find('\\', at);
      if (next == std::string::npos || next >= cut) break;
      at = next + 1;
    }
    return true;
  }
  return false;
}

}  // namespace

bool IsStaleBankName(const std::string& name) { return IsStaleBank(Folded(name)); }

void LeaveOutRunFiles(Tree* tree, bool installed, std::vector<std::string>* left_out) {
  std::vector<TreeFile> kept;
  for (auto& f : tree->files) {
    std::string folded = Folded(f.name);
    if (folded == "PATCH.LOG" || folded == "MYA$$.TMP" || (installed && IsStaleBank(folded))) {
      left_out->push_back(f.name);
    } else {
      kept.push_back(std::move(f));
    }
  }
  tree->files = std::move(kept);
}

bool DiffTrees(const Tree& from, const Tree& to, TreeChanges* changes, std::string* error) {
  *changes = TreeChanges();
  std::set<std::string> old_dirs, new_dirs;
  std::map<std::string, const TreeFile*> old_files, new_files;
  for (const auto& d : from.dirs) old_dirs.insert(Folded(d));
  for (const auto& d : to.dirs) new_dirs.insert(Folded(d));
  for (const auto& f : from.files) old_files[Folded(f.name)] = &f;
  for (const auto& f : to.files) new_files[Folded(f.name)] = &f;
  auto kept_dir = [&](const std::string& folded) {
    return folded.empty() || (new_dirs.count(folded) && old_dirs.count(folded));
  };

  for (const auto& d : to.dirs) {
    std::string key = Folded(d);
    if (old_dirs.count(key)) continue;
    changes->created_dirs.push_back(d);
    auto of = old_files.find(key);
    if (of != old_files.end() && kept_dir(ParentOf(key))) {
      changes->replaced_files.push_back(of->second->name);
      changes->check_files.push_back(of->second->name);
    }
  }
  for (const auto& d : from.dirs) {
    std::string key = Folded(d);
    if (new_dirs.count(key) || !kept_dir(ParentOf(key))) continue;
    if (new_files.count(key)) {
      changes->replaced_dirs.push_back(d);
    } else {
      changes->deleted_dirs.push_back(d);
    }
  }
  for (const auto& f : to.files) {
    std::string key = Folded(f.name);
    auto of = old_files.find(key);
    if (of == old_files.end()) {
      changes->created_files.push_back(f);
      continue;
    }
    const TreeFile& old_file = *of->second;
    bool same = false;
    if (old_file.size == f.size &&
        !SameContent(NativePath(from.root, old_file.name), NativePath(to.root, f.name), &same)) {
      *error = "cannot read " + NativePath(from.root, old_file.name) + " or " +
               NativePath(to.root, f.name);
      return false;
    }
    if (same) {
      ++changes->unchanged_files;
    } else {
      changes->changed_files.push_back({f.name, old_file.name, old_file.size, f.size});
      changes->check_files.push_back(old_file.name);
    }
  }
  for (const auto& f : from.files) {
    std::string key = Folded(f.name);
    if (new_files.count(key) || new_dirs.count(key) || !kept_dir(ParentOf(key))) continue;
    changes->deleted_files.push_back(f);
    changes->check_files.push_back(f.name);
  }
  std::sort(changes->check_files.begin(), changes->check_files.end(),
            [](const std::string& a, const std::string& b) { return CompareNames(a, b) < 0; });
  return true;
}

}  // namespace upkeep
