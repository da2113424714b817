// libFuzzer target for the script language and the texts built from it: the
// input is parsed as a script, then expanded and formatted as a message
// template with the texts of the calls it parsed as arguments.
// Includes resolve under a directory that does not exist, so nothing is read.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/format_message.h"
#include "script/format_text.h"
#include "script/script_call.h"
#include "script/script_parser.h"
#include "script/script_reader.h"
#include "script/string_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace upkeep;
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<ScriptReader> reader = ScriptFromText(
      "!String(s,s) !f(i,f,s)\r\n$k(s, \"v\")\r\n" + text, "/nonexistent-fuzz/x.scr");
  int error = 0;
  std::unique_ptr<ScriptProgram> program = ParseProgram(*reader, error);
  std::vector<std::string> args;
  for (const ScriptCall* call = program->first; call != nullptr && args.size() < 8;
       call = call->next) {
    if (const char* s = StringArgument(call, 0)) args.push_back(s);
    if (CallNameIs(call, "String")) AddString(StringArgument(call, 0), StringArgument(call, 1));
  }
  const std::string templ(text.c_str());
  FormatText(ExpandText(templ.c_str()), args);
  std::string out;
  const char* argv[kMaxMessageInserts];
  for (const char*& a : argv) a = "x";
  EmulateFormatMessage(SafeMessageTemplate(templ.c_str()).c_str(), argv, &out);
  EmulateFormatMessage(templ.c_str(), argv, &out);
  ClearStringTable();
  return 0;
}
