#include "engine/final_content.h"

#include <map>
#include <memory>

#include "platform/text.h"
#include "script/command_schema.h"
#include "script/script_parser.h"

namespace upkeep {

namespace {

std::string Folded(std::string name) {
  for (char& c : name) {
    if (c == '/') c = '\\';
  }
  ToLowerInPlace(&name);
  return name;
}

// The files written so far, by folded name, in order of first write.
class Written {
 public:
  void Set(const char* name, const char* checksum) {
    if (name == nullptr || checksum == nullptr) return;
    const std::string key = Folded(name);
    auto it = index_.find(key);
    if (it == index_.end()) {
      index_[key] = files_.size();
      files_.push_back({{name, checksum}, true});
    } else {
      files_[it->second] = {{name, checksum}, true};
    }
  }
  void Drop(const char* name) {
    if (name == nullptr) return;
    auto it = index_.find(Folded(name));
    if (it != index_.end()) files_[it->second].live = false;
  }
  void DropUnder(const char* folder) {
    if (folder == nullptr) return;
    std::string prefix = Folded(folder);
    if (!prefix.empty() && prefix.back() != '\\') prefix += '\\';
    for (auto& entry : index_) {
      if (entry.first.compare(0, prefix.size(), prefix) == 0) files_[entry.second].live = false;
    }
  }
  void Rename(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) return;
    auto it = index_.find(Folded(from));
    const bool known = it != index_.end() && files_[it->second].live;
    const std::string checksum = known ? files_[it->second].file.checksum : std::string();
    Drop(from);
    // A file the script never wrote moves in with content nobody knows.
    if (known) {
      Set(to, checksum.c_str());
    } else {
      Drop(to);
    }
  }
  std::vector<FinalFile> Live() const {
    std::vector<FinalFile> out;
    for (const auto& f : files_) {
      if (f.live) out.push_back(f.file);
    }
    return out;
  }

 private:
  struct Entry {
    FinalFile file;
    bool live;
  };
  std::vector<Entry> files_;
  std::map<std::string, size_t> index_;
};

const char* Checksum(const ScriptCall* call, CommandId id) {
  return StringArgument(call, GetCommandInfo(id).checksum);
}

}  // namespace

bool ReadFinalContent(std::vector<FinalFile>* files) {
  files->clear();
  std::unique_ptr<ScriptReader> reader = LoadScript("patch.scr");
  if (reader == nullptr) return false;
  int error = 1;
  std::unique_ptr<ScriptProgram> program = ParseProgram(*reader, error);
  if (error != 0 || program == nullptr) return false;

  // The walk the runner takes from the oldest version the script knows.
  const char* start = nullptr;
  for (const ScriptCall* c = program->first; c != nullptr && start == nullptr; c = c->next) {
    if (CallNameIs(c, "Version")) start = StringArgument(c, 0);
  }
  std::string version = start != nullptr ? start : "";
  Written written;
  for (const ScriptCall* s = program->first; s != nullptr; s = s->next) {
    if (CallNameIs(s, "Version")) {
      const char* from = StringArgument(s, 0);
      const char* to = StringArgument(s, 1);
      if (from == nullptr || to == nullptr || version != from) continue;
      version = to;
    } else if (!CallNameIs(s, "All")) {
      continue;
    }
    for (const ScriptCall* c = s->body; c != nullptr; c = c->next) {
      const CommandInfo* info = FindCommandInfo(c->name.c_str());
      if (info == nullptr) continue;
      const char* name = StringArgument(c, 0);
      switch (info->id) {
        case CommandId::kPatchFile:
        case CommandId::kCreateFile:
        case CommandId::kIsOKFile:
          written.Set(name, Checksum(c, info->id));
          break;
        case CommandId::kDeleteFile:
          written.Drop(name);
          break;
        case CommandId::kDeleteDir:
          written.DropUnder(name);
          break;
        case CommandId::kRenameFile:
          written.Rename(name, StringArgument(c, 1));
          break;
        default:
          break;
      }
    }
  }
  *files = written.Live();
  return true;
}

}  // namespace upkeep
