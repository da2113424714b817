// Helpers for the script language tests: parse a text or a file and keep
// every message the parse reported.
#ifndef UPKEEP_TESTS_SCRIPT_TEST_UTIL_H_
#define UPKEEP_TESTS_SCRIPT_TEST_UTIL_H_

#include <memory>
#include <string>
#include <vector>

#include "script/script_call.h"
#include "script/script_parser.h"
#include "script/script_reader.h"

namespace upkeep {
namespace test {

class MessageLog : public ScriptErrorSink {
 public:
  void OnScriptError(const char* message) override { messages.push_back(message); }
  std::vector<std::string> messages;
};

struct Parsed {
  std::unique_ptr<ScriptProgram> program;
  int error = 0;
  std::vector<std::string> messages;
  const ScriptCall* first() const { return program->first; }
};

inline Parsed ParseReader(ScriptReader& reader) {
  MessageLog log;
  reader.errorSink = &log;
  Parsed parsed;
  parsed.program = ParseProgram(reader, parsed.error);
  reader.errorSink = nullptr;
  parsed.messages = log.messages;
  return parsed;
}

inline Parsed ParseText(const std::string& text, const char* path = "") {
  std::unique_ptr<ScriptReader> reader = ScriptFromText(text, path);
  return ParseReader(*reader);
}

inline Parsed ParseFile(const std::string& path) {
  std::unique_ptr<ScriptReader> reader = LoadScript(path.c_str());
  return ParseReader(*reader);
}

// The names of a list of calls, a body in braces after its call:
// "all{checkfile,patchfile},freespace". For shallow lists only.
inline std::string Shape(const ScriptCall* call) {
  std::string out;
  for (; call != nullptr; call = call->next) {
    if (!out.empty()) out += ',';
    out += call->name;
    if (call->body != nullptr) out += '{' + Shape(call->body) + '}';
  }
  return out;
}

inline size_t CountCalls(const ScriptCall* call) {
  size_t n = 0;
  for (; call != nullptr; call = call->next) ++n;
  return n;
}

}  // namespace test
}  // namespace upkeep

#endif  // UPKEEP_TESTS_SCRIPT_TEST_UTIL_H_
