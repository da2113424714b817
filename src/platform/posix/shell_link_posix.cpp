#include <vector>

#include "platform/file_system.h"
#include "platform/shell_link.h"
#include "platform/shell_link_format.h"
#include "platform/code_page.h"

namespace upkeep {

namespace {

// The link object over the file format: what the shell's object would read
// and write, with the process's ANSI code page for every text.
class PosixShellLink : public ShellLink {
 public:
  bool Load(const std::string& path) override {
    std::unique_ptr<File> file = GetFileSystem()->Open(path, OpenMode::kRead);
    if (file == nullptr) return false;
    int64_t size = file->Size();
    if (size < 0 || static_cast<uint64_t>(size) > lnk::kMaxLinkFileSize) return false;
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    if (file->Read(bytes.data(), bytes.size()) != size) return false;
    lnk::LinkData parsed;
    if (!lnk::ParseLink(bytes.data(), bytes.size(), kAnsiCodePage, &parsed)) return false;
    link_ = std::move(parsed);
    return true;
  }

  bool Save(const std::string& path) override {
    std::vector<uint8_t> bytes = lnk::SerializeLink(link_);
    std::unique_ptr<File> file = GetFileSystem()->Open(path, OpenMode::kWrite);
    if (file == nullptr) return false;
    return file->Write(bytes.data(), bytes.size()) == static_cast<int64_t>(bytes.size());
  }

  bool GetPath(std::string* path) override {
    *path = Ansi(link_.target);
    return true;
  }
  bool GetArguments(std::string* arguments) override {
    *arguments = Ansi(link_.arguments.text);
    return true;
  }
  bool GetIconLocation(std::string* path, int32_t* index) override {
    *path = Ansi(link_.iconLocation.text);
    *index = link_.iconIndex;
    return true;
  }
  bool GetWorkingDirectory(std::string* directory) override {
    *directory = Ansi(link_.workingDir.text);
    return true;
  }

  bool SetPath(const std::string& path) override {
    lnk::TargetFacts facts;
    FileSystem* fs = GetFileSystem();
    uint32_t attributes = path.empty() ? kInvalidAttributes : fs->GetAttributes(path);
    if (attributes != kInvalidAttributes) {
      facts.exists = true;
      facts.attributes = attributes;
      facts.isDirectory = (attributes & kAttrDirectory) != 0;
      std::vector<FindEntry> found;
      if (!facts.isDirectory && fs->Find(path, &found) && found.size() == 1) {
        facts.size =
            found[0].size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(found[0].size);
      }
    }
    return lnk::SetLinkTarget(&link_, path, facts, kAnsiCodePage);
  }
  bool SetArguments(const std::string& arguments) override {
    Set(&link_.arguments, arguments);
    return true;
  }
  bool SetIconLocation(const std::string& path, int32_t index) override {
    Set(&link_.iconLocation, path);
    link_.iconIndex = index;
    return true;
  }
  bool SetWorkingDirectory(const std::string& directory) override {
    Set(&link_.workingDir, directory);
    return true;
  }

 private:
  static std::string Ansi(const std::u16string& text) { return Utf16ToAnsi(text, kAnsiCodePage); }
  static void Set(lnk::LinkString* field, const std::string& text) {
    field->present = !text.empty();
    field->text = AnsiToUtf16(text, kAnsiCodePage);
  }

  lnk::LinkData link_;
};

class PosixShellLinks : public ShellLinks {
 public:
  bool Begin() override { return true; }
  void End() override {}
  std::unique_ptr<ShellLink> Create() override {
    return std::unique_ptr<ShellLink>(new PosixShellLink());
  }
};

}  // namespace

ShellLinks* DefaultShellLinks() {
  static PosixShellLinks links;
  return &links;
}

}  // namespace upkeep
