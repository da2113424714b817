#include "authoring/package_verifier.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <map>
#include <set>

#include "authoring/payload_writer.h"
#include "authoring/string_keys.h"
#include "package/package.h"
#include "script/script_call.h"
#include "script/script_parser.h"
#include "script/script_reader.h"

namespace upkeep {

namespace {

constexpr size_t kMaxVersion = 9;

class CollectMessages : public ScriptErrorSink {
 public:
  void OnScriptError(const char* message) override { messages.push_back(message); }
  std::vector<std::string> messages;
};

int HexValue(char c) {
  return c >= '0' && c <= '9'   ? c - '0'
         : c >= 'a' && c <= 'f' ? c - 'a' + 10
         : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                : -1;
}

// The value the updater reads ("%08X": up to eight digits from the first
// character on); false when the text gives it none. `exact` tells whether the
// text is the eight digits and nothing more, the form the tool writes.
bool ParseChecksum(const char* text, uint32_t* value, bool* exact = nullptr) {
  if (!text || HexValue(text[0]) < 0) return false;
  uint32_t v = 0;
  size_t i = 0;
  for (; i < 8 && HexValue(text[i]) >= 0; ++i)
    v = v << 4 | static_cast<uint32_t>(HexValue(text[i]));
  *value = v;
  if (exact) *exact = i == 8 && text[8] == '\0';
  return true;
}

// The commands the updater runs; any other name inside a section is skipped.
const char* const kKnownCommands[] = {"checkdir",
                                      "checkfile",
                                      "createdir",
                                      "deletedir",
                                      "deletefile",
                                      "createfile",
                                      "isokdir",
                                      "isokfile",
                                      "patchfile",
                                      "renamefile",
                                      "freespace",
                                      "updatestartmenulink",
                                      "updatestartmenulinktofile",
                                      "updatedesktoplink",
                                      "updatedesktoplinktofile",
                                      "addstartmenulink",
                                      "adddesktoplink"};

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
    CollectMessages sink;
    reader->errorSink = &sink;
    int error = 0;
    std::unique_ptr<ScriptProgram> program = ParseProgram(*reader, error);
    for (const auto& m : sink.messages) {
      // Some reports ("its not c!") do not fail the parse.
      if (error) {
        Fault(std::string(name) + ": " + m);
      } else {
        Warn(std::string(name) + ": " + m);
      }
    }
    if (error) {
      if (sink.messages.empty()) Fault(std::string(name) + ": does not parse");
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
        } else if (std::strlen(from) > kMaxVersion || std::strlen(to) > kMaxVersion) {
          Fault(std::string("version text longer than 9 characters: ") + from + " / " + to);
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
  std::unique_ptr<Payload> LoadEntry(const std::string& command, const char* entry) {
    if (!entry) {
      Fault(command + " without an entry name");
      return nullptr;
    }
    // Checked first: the loader would fall back to a disk file of that name.
    if (!HasEntry(entry)) {
      Fault(command + " names missing entry " + entry);
      return nullptr;
    }
    std::unique_ptr<Payload> p = LoadPayloadEntry(entry);
    if (!p) Fault(std::string("entry ") + entry + " does not inflate");
    return p;
  }

  void CheckChecksumText(const std::string& what, const char* text) {
    uint32_t v;
    bool exact = false;
    if (!ParseChecksum(text, &v, &exact)) {
      Fault(what + ": checksum does not start with a hexadecimal digit; it never matches");
    } else if (!exact) {
      Warn(what + ": checksum " + text + " is not eight hexadecimal digits; read as " + HexText(v));
    }
  }

  static std::string HexText(uint32_t v) {
    char buffer[9];
    std::snprintf(buffer, sizeof buffer, "%08X", v);
    return buffer;
  }

  void CheckDelta(const char* entry, const std::vector<uint8_t>& d) {
    size_t at = 0;
    while (d.size() - at >= 4) {
      uint32_t h = static_cast<uint32_t>(d[at]) | static_cast<uint32_t>(d[at + 1]) << 8 |
                   static_cast<uint32_t>(d[at + 2]) << 16 | static_cast<uint32_t>(d[at + 3]) << 24;
      at += 4;
      uint64_t body = (h & 0x80000000u) ? 4 : h;
      if (d.size() - at < body) {
        at = d.size() + 1;
        break;
      }
      at += static_cast<size_t>(body);
    }
    if (at != d.size()) Fault(std::string("delta ") + entry + " ends inside a record");
  }

  void Command(const ScriptCall* call) {
    const char* name = StringArgument(call, 0);
    std::string what = call->name + "(" + (name ? name : "") + ")";
    bool known = false;
    for (const char* k : kKnownCommands) known |= call->name == k;
    if (!known) {
      if (CallNameIs(call, "Version") || CallNameIs(call, "All")) {
        Warn("section " + call->name + " inside a section is ignored");
      } else {
        Warn("command " + call->name + " is not one the updater runs; it is ignored");
      }
      return;
    }
    if (CallNameIs(call, "FreeSpace")) {
      if (!GetArgument(call, 0)) Warn("FreeSpace without an integer requires nothing");
      return;
    }
    if (!name) {
      Fault(what + " without its name argument");
      return;
    }
    if (CallNameIs(call, "CreateFile")) {
      const char* crc = StringArgument(call, 2);
      CheckChecksumText(what, crc);
      std::unique_ptr<Payload> p = LoadEntry(what, StringArgument(call, 1));
      uint32_t want;
      if (p && ParseChecksum(crc, &want) && Crc32(p->data) != want) {
        Fault(what + ": checksum " + crc + " does not match entry " + StringArgument(call, 1));
      }
    } else if (CallNameIs(call, "PatchFile")) {
      CheckChecksumText(what, StringArgument(call, 3));
      std::unique_ptr<Payload> p = LoadEntry(what, StringArgument(call, 1));
      if (p) CheckDelta(StringArgument(call, 1), p->data);
    } else if (CallNameIs(call, "CheckFile") || CallNameIs(call, "IsOKFile")) {
      CheckChecksumText(what, StringArgument(call, 1));
    }
  }

  const PackageArchive& archive_;
  VerifyReport* report_;
};

}  // namespace

VerifyReport VerifyPackage(const PackageArchive& archive) {
  VerifyReport report;
  Checker checker(archive, &report);
  if (std::unique_ptr<ScriptProgram> script = checker.Parse("patch.scr")) checker.Script(*script);
  if (std::unique_ptr<ScriptProgram> strings = checker.Parse("Strings.scr")) {
    checker.Strings(*strings);
  }
  return report;
}

}  // namespace upkeep
