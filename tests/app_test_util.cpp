#include "app_test_util.h"

#include <cstring>

#include "authoring/version_resource_writer.h"
#include "engine_test_util.h"
#include "package/package.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "script/string_table.h"

namespace upkeep {
namespace test {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

class FakeKey : public RegistryKey {
 public:
  explicit FakeKey(const std::map<std::string, std::vector<uint8_t>>& values) : values_(values) {}
  int32_t QueryValue(const std::string& name, uint32_t* type, uint8_t* data,
                     uint32_t* size) override {
    auto it = values_.find(Lower(name));
    if (it == values_.end()) return kRegNotFound;
    if (type != nullptr) *type = kRegSz;
    const uint32_t needed = static_cast<uint32_t>(it->second.size());
    if (data != nullptr && needed > *size) {
      *size = needed;
      return kRegMoreData;
    }
    if (data != nullptr && needed > 0) memcpy(data, it->second.data(), needed);
    *size = needed;
    return kRegSuccess;
  }

 private:
  std::map<std::string, std::vector<uint8_t>> values_;
};

// The program path the fixture names, and waits that are only recorded.
class FixtureProcess : public ProcessWrapper {
 public:
  FixtureProcess(const std::string& programPath, std::vector<uint32_t>* sleeps)
      : ProcessWrapper(DefaultProcess()), programPath_(programPath), sleeps_(sleeps) {
    SetProcess(this);
  }
  ~FixtureProcess() override { SetProcess(nullptr); }
  std::string ProgramPath() override { return programPath_; }
  void Sleep(uint32_t ms) override { sleeps_->push_back(ms); }

 private:
  std::string programPath_;
  std::vector<uint32_t>* sleeps_;
};

}  // namespace

FakeRegistry::FakeRegistry() { SetRegistry(this); }
FakeRegistry::~FakeRegistry() { SetRegistry(nullptr); }

void FakeRegistry::SetString(const std::string& key, const std::string& name,
                             const std::string& value) {
  std::vector<uint8_t> bytes(value.begin(), value.end());
  bytes.push_back(0);
  keys_[Lower(key)][Lower(name)] = bytes;
}

int32_t FakeRegistry::OpenKey(RegistryRoot root, const std::string& path,
                              std::unique_ptr<RegistryKey>* key) {
  if (root != RegistryRoot::kLocalMachine) return kRegNotFound;
  auto it = keys_.find(Lower(path));
  if (it == keys_.end()) return kRegNotFound;
  key->reset(new FakeKey(it->second));
  return kRegSuccess;
}

int FakeHost::ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon,
                          MessageButtons buttons) {
  Box box{text, caption, icon, buttons};
  boxes.push_back(box);
  events.push_back("box");
  if (onBox) onBox(box);
  if (buttons == MessageButtons::Ok) return kIdOk;
  if (answers.empty()) return buttons == MessageButtons::YesNo ? kIdNo : kIdCancel;
  int answer = answers.front();
  answers.pop_front();
  return answer;
}

void FakeHost::Finished(UpdateOutcome outcome) {
  if (onFinished) onFinished();
  finished.push_back(outcome);
  events.push_back("finished");
}

void FakeHost::LogWritten(const std::string& path) {
  logs.push_back(path);
  events.push_back("log");
}

void FakeHost::ShellOpen(const std::string& path) {
  opened.push_back(path);
  events.push_back("open");
}

void FakeHost::SetProgress(int32_t overall, int32_t step, const char* operationText,
                           const char* fileName) {
  progress.push_back(Progress{overall, step, fileName, operationText});
}

std::vector<std::string> FakeHost::Operations() const {
  std::vector<std::string> out;
  for (const Progress& p : progress) out.push_back(p.operation);
  return out;
}

std::map<std::string, std::string> DefaultStrings() {
  return {
      {"PROGRAM_NAME", "New Game"},
      {"PROGRAM_NAME_OLD", "Old Game"},
      {"REG_KEY", DriverFixture::kRegKey},
      {"REG_DESTINATION", DriverFixture::kRegValue},
      {"SRC_EXE", "game.exe"},
      {"GAME_VERSION", "1.0.0.0; 1.0.0.1"},
      {"LANG_VERSION", "en"},
      {"PATCH_VERSION", "1.0.0.2"},
      {"SHOW_README", "1"},
      {"UPDATE_TITLE", "%s %s -> %s"},
      {"UPDATE_TITLE_NO_VER", "%s -> %s"},
      {"IDS_TITLE", "%1 update"},
      {"IDS_UPDATE", "Update now?"},
      {"IDS_UPDATE_ALREADY_RUNNING", "already running [%1]"},
      {"IDS_INFO_BEGIN", "notes [%1|%2|%3|%4]"},
      {"IDS_INFO_SUCCES", "succeeded [%1]"},
      {"IDS_INFO_FAILED", "failed [%1|%2]"},
      {"IDS_INFO_SKIP", "skipped [%1]"},
      {"IDS_ERR_NO_REG_KEY", "no registry entry [%1|%2|%3]"},
      {"IDS_ERR_NO_GAME_DIR", "no directory [%1|%2]"},
      {"IDS_ERR_NO_GAME", "no program [%1|%2]"},
      {"IDS_ERR_GAME_RUNNING", "running [%1|%2]"},
      {"IDS_ERR_GAME_STILL_RUNNING", "still running [%1]"},
      {"IDS_ALREADY_UP_TO_DATE", "up to date [%1]"},
      {"IDS_UPDATE_STOPPED", "stopped"},
      {"IDS_ERR_WRONG_LANG", "wrong language for %1. "},
      {"IDS_YOUR_GAME_LANG_VER_IS", "Yours: "},
      {"IDS_THIS_PATCH_IS_FOR_LANG_VER", ", this is for: "},
      {"IDS_ERROR_WRONG_VERSION", "wrong version, need [%1]"},
      {"IDS_UPDATE_SUCCESSFUL", "success"},
      {"IDS_ERR_UPDATE_FAILED_DUE_SPACE", "no space"},
      {"IDS_ERR_GENERIC", "generic failure"},
      {"IDS_ERR_WRONG_CRC", "wrong checksum"},
      {"IDS_PROGRESS_INIT", "init"},
      {"IDS_PROGRESS_INIT_DONE", "init done"},
      {"IDS_PROGRESS_UPDATING_DATA", "updating"},
      {"IDS_PROGRESS_UPDATE_DONE", "done"},
      {"IDS_PROGRESS_STORING_UPDATE_INFO", "storing"},
  };
}

ScopedStrings::ScopedStrings(const std::map<std::string, std::string>& strings) {
  ClearStringTable();
  for (const auto& kv : strings) AddString(kv.first.c_str(), kv.second.c_str());
}

ScopedStrings::~ScopedStrings() { ClearStringTable(); }

std::vector<uint8_t> GameExecutable(const std::string& productVersion) {
  VersionResource resource;
  resource.tables.push_back({"040904e4", {{"ProductVersion", productVersion}}});
  resource.translations.push_back(0x0409u | (1252u << 16));
  return WriteVersionedPe(resource);
}

const char DriverFixture::kRegKey[] = "Software\\Upkeep Tests\\Game";
const char DriverFixture::kRegValue[] = "Install Path";

DriverFixture::DriverFixture() : strings(DefaultStrings()) {
  package_path_ = package_dir_.Join("update.exe");
  programPath = package_path_;
  SetInstallPath(game());
  WriteFileBytes(Native("game.exe"), GameExecutable("1.0.0.0en"));
}

DriverFixture::~DriverFixture() = default;

void DriverFixture::Write(const std::string& relative, const std::string& text) {
  WriteFileText(Native(relative), text);
}

void DriverFixture::MakeDir(const std::string& relative) {
  GetFileSystem()->CreateDir(Native(relative));
}

bool DriverFixture::Exists(const std::string& relative) const {
  return PathExists(Native(relative));
}

std::string DriverFixture::Read(const std::string& relative) const {
  return ReadFileText(Native(relative));
}

void DriverFixture::SetInstallPath(const std::string& path) {
  registry.SetString(kRegKey, kRegValue, path);
}

void DriverFixture::AddEntry(const std::string& name, const std::vector<uint8_t>& data) {
  ArchiveEntry entry;
  entry.name = name;
  entry.data = data;
  entries_.push_back(entry);
}

void DriverFixture::Run(const std::string& script) {
  std::vector<ArchiveEntry> entries = entries_;
  ArchiveEntry scr;
  scr.name = "patch.scr";
  const std::string text = std::string(kPatchScriptPrelude) + script;
  scr.data.assign(text.begin(), text.end());
  entries.push_back(scr);
  WritePackage(package_path_, RandomBytes(512, 9), entries);

  ScopedStrings table(strings);
  OpenPackage(package_path_.c_str());
  {
    FixtureProcess process(programPath, &sleeps);
    UpdateDriver(&host);
  }
  while (ClosePackage(package_path_.c_str()) == 0) {
  }
}

std::string FinalLine(const std::string& text) {
  return "\r\nFinal update state:\r\n" + text + "\r\n";
}

}  // namespace test
}  // namespace upkeep
