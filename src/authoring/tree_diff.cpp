#include "authoring/tree_diff.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "install/bank_files.h"
#include "platform/fs_path.h"

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

std::string ParentOf(const std::string& name) {
  size_t cut = name.rfind('\\');
  return cut == std::string::npos ? std::string() : name.substr(0, cut);
}

bool SameContent(const std::string& a, const std::string& b, bool* same) {
  std::ifstream fa(FsPath(a), std::ios::binary), fb(FsPath(b), std::ios::binary);
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

bool IsWindowsName(const std::string& name, std::string* why) {
  if (name.empty() || name == "." || name == "..") {
    *why = "not a name";
    return false;
  }
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) {
      *why = "control character";
      return false;
    }
    if (std::strchr("<>:\"/\\|?*", c) != nullptr) {
      *why = std::string("reserved character ") + static_cast<char>(c);
      return false;
    }
  }
  if (name.back() == '.' || name.back() == ' ') {
    *why = "Windows drops a trailing dot or space";
    return false;
  }
  // Device names stay devices whatever extension follows them.
  std::string stem = Folded(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
  bool device = false;
  for (const char* d : kDevices) device = device || stem == d;
  if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
      stem[3] >= '1' && stem[3] <= '9') {
    device = true;
  }
  if (device) {
    *why = "a device name on Windows";
    return false;
  }
  return true;
}

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
  std::replace(r.begin(), r.end(), '\\', static_cast<char>(fs::path::preferred_separator));
  return FsText(FsPath(root) / FsPath(r));
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes) {
  std::ifstream in(FsPath(path), std::ios::binary);
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
  if (!FsIsFolder(root)) {
    *error = "not a directory: " + root;
    return false;
  }
  std::vector<std::string> pending = {std::string()};
  std::set<std::string> seen;  // folded names, to catch names that differ only in case
  std::vector<FolderEntry> entries;
  while (!pending.empty()) {
    std::string rel = pending.back();
    pending.pop_back();
    if (!ListFolder(NativePath(root, rel), &entries, error)) return false;
    for (const FolderEntry& entry : entries) {
      const std::string& leaf = entry.name;
      std::string name = rel.empty() ? leaf : rel + "\\" + leaf;
      std::string why;
      if (!IsWindowsName(leaf, &why)) {
        *error = "name not usable in an update: " + NativePath(root, name) + " (" + why + ")";
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
      if (entry.kind == FolderEntry::Kind::kFolder) {
        tree->dirs.push_back(name);
        pending.push_back(name);
      } else if (entry.kind == FolderEntry::Kind::kFile) {
        tree->files.push_back({name, entry.size});
      } else {
        *error = "neither a file nor a directory: " + NativePath(root, name);
        return false;
      }
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
// The updater's own test, so the two never disagree.
bool IsStaleBank(const std::string& folded) { return IsStaleBankFile(folded); }

}  // namespace

bool IsStaleBankName(const std::string& name) { return IsStaleBank(Folded(name)); }

void LeaveOutRunFiles(Tree* tree, bool installed, std::vector<TreeFile>* left_out) {
  std::vector<TreeFile> kept;
  for (auto& f : tree->files) {
    std::string folded = Folded(f.name);
    if (folded == "PATCH.LOG" || folded == "MYA$$.TMP" || (installed && IsStaleBank(folded))) {
      left_out->push_back(f);
    } else {
      kept.push_back(std::move(f));
    }
  }
  tree->files = std::move(kept);
}

namespace {
bool FindMoves(const Tree& from, const Tree& to, TreeChanges* changes, std::string* error);
}  // namespace

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
  return FindMoves(from, to, changes, error);
}

namespace {

bool Below(const std::string& folded, const std::vector<std::string>& dirs) {
  for (const auto& d : dirs) {
    std::string prefix = Folded(d) + "\\";
    if (StartsWith(folded, prefix)) return true;
  }
  return false;
}

std::string Leaf(const std::string& folded) {
  size_t cut = folded.rfind('\\');
  return cut == std::string::npos ? folded : folded.substr(cut + 1);
}

bool FindMoves(const Tree& from, const Tree& to, TreeChanges* changes, std::string* error) {
  std::set<std::string> kept;  // folded names of both trees' files and folders
  for (const auto& f : to.files) kept.insert(Folded(f.name));
  for (const auto& d : to.dirs) kept.insert(Folded(d));
  // Files that leave: those deleted, and those inside deleted folders (their
  // folder goes only after the moves). Inside a folder that becomes a file
  // they are gone before the moves run.
  std::vector<const TreeFile*> gone;
  for (const auto& f : from.files) {
    std::string key = Folded(f.name);
    if (kept.count(key) || Below(key, changes->replaced_dirs)) continue;
    if (f.size > 0) gone.push_back(&f);
  }
  if (gone.empty()) return true;
  std::vector<bool> used(gone.size(), false);
  std::set<std::string> moved_from, moved_to;
  for (const auto& c : changes->created_files) {
    if (c.size == 0) continue;
    for (size_t i = 0; i < gone.size(); ++i) {
      if (used[i] || gone[i]->size != c.size) continue;
      bool same = false;
      if (!SameContent(NativePath(from.root, gone[i]->name), NativePath(to.root, c.name), &same)) {
        *error = "cannot read " + NativePath(from.root, gone[i]->name) + " or " +
                 NativePath(to.root, c.name);
        return false;
      }
      if (!same) continue;
      used[i] = true;
      changes->renamed_files.push_back({gone[i]->name, c.name});
      moved_from.insert(Folded(gone[i]->name));
      moved_to.insert(Folded(c.name));
      break;
    }
  }
  // A changed file that moved keeps its leaf name; only a pairing with one
  // candidate on each side is taken as a move.
  std::map<std::string, std::vector<size_t>> gone_by_leaf;
  std::map<std::string, std::vector<const TreeFile*>> new_by_leaf;
  for (size_t i = 0; i < gone.size(); ++i) {
    if (!used[i]) gone_by_leaf[Leaf(Folded(gone[i]->name))].push_back(i);
  }
  for (const auto& c : changes->created_files) {
    if (c.size > 0 && !moved_to.count(Folded(c.name)))
      new_by_leaf[Leaf(Folded(c.name))].push_back(&c);
  }
  for (const auto& entry : new_by_leaf) {
    auto g = gone_by_leaf.find(entry.first);
    if (entry.second.size() != 1 || g == gone_by_leaf.end() || g->second.size() != 1) continue;
    const TreeFile& old_file = *gone[g->second[0]];
    const TreeFile& new_file = *entry.second[0];
    changes->changed_files.push_back({new_file.name, old_file.name, old_file.size, new_file.size});
    moved_from.insert(Folded(old_file.name));
    moved_to.insert(Folded(new_file.name));
  }
  auto keep_created = [&](const TreeFile& f) { return !moved_to.count(Folded(f.name)); };
  auto keep_deleted = [&](const TreeFile& f) { return !moved_from.count(Folded(f.name)); };
  std::vector<TreeFile> created, deleted;
  std::copy_if(changes->created_files.begin(), changes->created_files.end(),
               std::back_inserter(created), keep_created);
  std::copy_if(changes->deleted_files.begin(), changes->deleted_files.end(),
               std::back_inserter(deleted), keep_deleted);
  changes->created_files = std::move(created);
  changes->deleted_files = std::move(deleted);
  return true;
}

}  // namespace

}  // namespace upkeep
