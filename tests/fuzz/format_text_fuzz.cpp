// Message formatting of untrusted templates (every template comes from the
// package's string table). The input is a template, then NUL-separated
// arguments. Making a template safe must be idempotent, and a safe template
// must always format.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/format_message.h"
#include "script/format_text.h"
#include "fuzz_check.h"

namespace {

using namespace upkeep;

using upkeep::fuzz::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  size_t end = input.find('\0');
  const std::string templ = input.substr(0, end);
  std::vector<std::string> args;
  while (end != std::string::npos && args.size() < 120) {
    const size_t next = input.find('\0', end + 1);
    args.push_back(input.substr(end + 1, next == std::string::npos ? next : next - end - 1));
    end = next;
  }
  const std::string safe = SafeMessageTemplate(templ.c_str());
  Check(SafeMessageTemplate(safe.c_str()) == safe);
  const char* argv[kMaxMessageInserts];
  for (int i = 0; i < kMaxMessageInserts; ++i) {
    argv[i] = static_cast<size_t>(i) < args.size() ? args[i].c_str() : "";
  }
  std::string out;
  Check(EmulateFormatMessage(safe.c_str(), argv, &out));
  FormatText(templ, args);
  return 0;
}
