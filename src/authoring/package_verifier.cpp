#include "authoring/package_verifier.h"

#include <cstring>
#include <memory>
#include <map>
#include <set>

#include "authoring/payload_writer.h"
#include "authoring/script_messages.h"
#include "authoring/string_keys.h"
#include "engine/checksum.h"
#include "engine/delta.h"
#include "package/delta_extended.h"
#include "package/delta_predicted.h"
#include "package/delta_format.h"
#include "package/delta_redeflate.h"
#include "package/delta_stream.h"
#include "package/package.h"
#include "package/package_check.h"
#include "package/payload_stream.h"
#include "script/command_schema.h"
#include "script/script_call.h"
#include "script/script_parser.h"
#include "script/script_reader.h"

namespace upkeep {

namespace {

class Checker {
 public:
  Checker(const PackageArchive& archive, VerifyReport* report)
      : archive_(archive), report_(report) {}

  void Fault(const std::string& text) { report_->faults.push_back(text); }
  void Warn(const std::string& text) { report_->warnings.push_back(text); }

  bool HasEntry(const char* name) const {
    std::string key = name;
    NormalizePackagePath(&key);
    for (const auto& e : archive_.entries) {
      if (e->name == key) return true;
    }
    return false;
  }

  // Parses a script that must be an entry of the package.
  std::unique_ptr<ScriptProgram> Parse(const char* name) {
    if (!HasEntry(name)) {
      Fault(std::string("missing entry ") + name);
      return nullptr;
    }
    std::unique_ptr<ScriptReader> reader = LoadScript(name);
    if (!reader) {
      Fault(std::string(name) + ": cannot be read");
      return nullptr;
    }
    ScriptMessages sink;
    reader->errorSink = &sink;
    int error = 0;
    std::unique_ptr<ScriptProgram> program = ParseProgram(*reader, error);
    // Some reports ("its not c!") do not fail the parse.
    for (const auto& m : sink.lines) report_->script_messages.push_back(m);
    report_->script_warnings += static_cast<int>(sink.warnings);
    if (error) {
      Fault(std::string(name) + " does not parse, so the updater uses none of it");
      return nullptr;
    }
    return program;
  }

  void Script(const ScriptProgram& program) {
    if (!program.first) Fault("patch.scr has no top-level call: the updater refuses it");
    for (const ScriptCall* top = program.first; top; top = top->next) {
      bool version = CallNameIs(top, "Version");
      if (!version && !CallNameIs(top, "All")) {
        Warn("top-level call " + top->name + " is outside any section and ignored");
        continue;
      }
      ++report_->sections;
      if (version) {
        const char* from = StringArgument(top, 0);
        const char* to = StringArgument(top, 1);
        if (!from || !to) {
          Fault("Version section without two version texts");
        } else if (std::strlen(from) > kMaxVersionText || std::strlen(to) > kMaxVersionText) {
          Fault("version text longer than " + std::to_string(kMaxVersionText) +
                " characters: " + from + " / " + to);
        }
      }
      for (const ScriptCall* call = top->body; call; call = call->next) Command(call);
    }
  }

  void Strings(const ScriptProgram& program) {
    const std::map<std::string, std::string> keys = StringTexts(program);
    report_->string_keys = static_cast<int>(keys.size());
    size_t count = 0;
    const StringKey* used = RuntimeStringKeys(&count);
    for (size_t i = 0; i < count; ++i) {
      if (!keys.count(used[i].key)) report_->missing_keys.push_back(used[i].key);
    }
  }

 private:
  // The entry a command names; a fault when the package lacks it (the loader
  // would fall back to a disk file of that name).
  const PackageEntry* Entry(const std::string& command, const char* entry) {
    if (!entry) {
      Fault(command + " without an entry name");
      return nullptr;
    }
    const PackageEntry* e = FindPackageEntry(archive_, entry);
    if (!e) Fault(command + " names missing entry " + entry);
    return e;
  }

  void CheckChecksumText(const std::string& what, const char* text) {
    uint32_t v;
    bool exact = false;
    if (!ParseChecksumText(text, &v, &exact)) {
      Fault(what + ": checksum does not start with a hexadecimal digit; it never matches");
    } else if (!exact) {
      Warn(what + ": checksum " + text + " is not eight hexadecimal digits; read as " +
           ChecksumText(v));
    }
  }

  void Command(const ScriptCall* call) {
    const char* name = StringArgument(call, 0);
    std::string what = call->name + "(" + (name ? name : "") + ")";
    const CommandInfo* info = FindCommandInfo(call->name.c_str());
    if (!info) {
      Warn("command " + call->name + " is not one the updater runs; it is ignored");
      return;
    }
    if (info->group == CommandGroup::kSection) {
      Warn("section " + call->name + " inside a section is ignored");
      return;
    }
    if (info->group == CommandGroup::kFreeSpace) {
      if (!GetArgument(call, 0)) Warn("FreeSpace without an integer requires nothing");
      return;
    }
    if (!name) {
      Fault(what + " without its name argument");
      return;
    }
    const char* checksum = info->checksum >= 0 ? StringArgument(call, info->checksum) : nullptr;
    if (info->checksum >= 0) CheckChecksumText(what, checksum);
    if (info->entry < 0) return;
    const char* name_of_entry = StringArgument(call, info->entry);
    const PackageEntry* entry = Entry(what, name_of_entry);
    if (!entry) return;
    // Streamed, whatever the size: a whole file is decoded and checksummed,
    // a delta's every record read.
    if (info->id == CommandId::kPatchFile) {
      ExtendedDeltaInfo shape;
      if (DeltaFormOf(entry->name.c_str()) != DeltaForm::kBasic) {
        if (!InspectDeltaEntry(*entry, &shape))
          Fault(std::string("delta ") + name_of_entry + " is malformed");
        return;
      }
      if (!DecodeFileEntry(*entry, [](const uint8_t*, size_t) { return true; })) {
        Fault(std::string("entry ") + name_of_entry + " does not inflate");
      } else if (!InspectDeltaEntry(*entry, &shape)) {
        Fault(std::string("delta ") + name_of_entry + " ends inside a record");
      }
      return;
    }
    uint32_t crc = 0;
    if (!DecodeFileEntry(*entry, [&crc](const uint8_t* p, size_t n) {
          crc = ContinueCrc(crc, p, n);
          return true;
        })) {
      Fault(std::string("entry ") + name_of_entry + " does not inflate");
      return;
    }
    uint32_t want;
    if (info->id == CommandId::kCreateFile && ParseChecksumText(checksum, &want) && crc != want) {
      Fault(what + ": checksum " + checksum + " does not match entry " + name_of_entry);
    }
  }

  const PackageArchive& archive_;
  VerifyReport* report_;
};

}  // namespace

VerifyReport VerifyPackage(const PackageArchive& archive) {
  VerifyReport report;
  Checker checker(archive, &report);
  // Every byte against the manifest first: a damaged download is the fault
  // that explains every other.
  if (archive.hasManifest) {
    std::vector<const PackageEntry*> all;
    for (const auto& e : archive.entries) all.push_back(e.get());
    std::string damaged;
    if (!CheckPackageData(archive, all, nullptr, &damaged)) {
      checker.Fault("the package's data is damaged: " + damaged +
                    " differs from what its manifest lists");
    }
  }
  if (std::unique_ptr<ScriptProgram> script = checker.Parse("patch.scr")) checker.Script(*script);
  if (std::unique_ptr<ScriptProgram> strings = checker.Parse("Strings.scr")) {
    checker.Strings(*strings);
  }
  return report;
}

}  // namespace upkeep
