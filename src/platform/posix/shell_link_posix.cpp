#include <vector>

#include "platform/code_page.h"
#include "platform/file_system.h"
#include "platform/shell_link.h"
#include "platform/shell_link_format.h"
#include "platform/system_locale.h"

namespace upkeep {

namespace {

// The link object over the file format: what the shell's object would read
// and write. Texts are handed over in the path code page; the ANSI copies in
// the file are in the machine's code page, as Wine (and Windows) write and
// read them, whatever code page a string table chose.
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
    if (!lnk::ParseLink(bytes.data(), bytes.size(), SystemDefaultCodePage(), &parsed)) {
      return false;
    }
    link_ = std::move(parsed);
    return true;
  }

  bool Save(const std::string& path) override {
    std::vector<uint8_t> bytes = lnk::SerializeLink(link_);
    std::unique_ptr<File> file = GetFileSystem()->Open(path, OpenMode::kWrite);
    if (file == nullptr) return false;
    return file->Write(bytes.data(), bytes.size()) == static_cast<int64_t>(bytes.size());
  }

  bool GetPath(std::string* path) override { return Narrow(link_.target, path); }
  bool GetArguments(std::string* arguments) override {
    return Narrow(link_.arguments.text, arguments);
  }
  bool GetIconLocation(std::string* path, int32_t* index) override {
    *index = link_.iconIndex;
    return Narrow(link_.iconLocation.text, path);
  }
  bool GetWorkingDirectory(std::string* directory) override {
    return Narrow(link_.workingDir.text, directory);
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
    return lnk::SetLinkTarget(&link_, path, facts, PathCodePage(), SystemDefaultCodePage());
  }
  bool SetArguments(const std::string& arguments) override {
    return Set(&link_.arguments, arguments);
  }
  bool SetIconLocation(const std::string& path, int32_t index) override {
    if (!Set(&link_.iconLocation, path)) return false;
    link_.iconIndex = index;
    return true;
  }
  bool SetWorkingDirectory(const std::string& directory) override {
    return Set(&link_.workingDir, directory);
  }

 private:
  // Exact both ways, as the Win32 object's texts are: a name the path code
  // page cannot spell is refused, never replaced by a stand-in.
  static bool Narrow(const std::u16string& text, std::string* out) {
    return Utf16ToAnsiExact(text, out, PathCodePage());
  }
  static bool Set(lnk::LinkString* field, const std::string& text) {
    std::u16string wide;
    if (!AnsiToUtf16Exact(text, &wide, PathCodePage())) return false;
    field->present = !text.empty();
    field->text = wide;
    return true;
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
