// The reader of a prefix's registry hives. The first input line names the key
// to look for, the rest is the hive text. Whatever is found must hold each
// value once, and every value must copy out in exactly the size it reports.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/wine_registry_file.h"
#include "fuzz_check.h"

namespace {

using namespace upkeep;

using upkeep::fuzz::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t eol = input.find('\n');
  const std::string first = input.substr(0, eol);
  const std::string file = eol == std::string::npos ? std::string() : input.substr(eol + 1);

  std::u16string unescaped;
  const size_t end = ParseRegistryString(first, 0, '"', &unescaped);
  Check(end == std::string::npos || end <= first.size());

  std::u16string path(first.begin(), first.end());
  std::vector<std::u16string> components;
  if (!SplitRegistryPath(path, &components)) components = {u"Software", u"Fuzz"};
  std::vector<RegistryFileValue> values;
  if (!FindRegistryFileKey(file, components, &values)) return 0;
  for (size_t i = 0; i < values.size(); ++i) {
    for (size_t j = i + 1; j < values.size(); ++j) {
      Check(!RegistryNamesEqual(values[i].name, values[j].name));
    }
    uint32_t type = 0;
    uint32_t needed = 0;
    Check(CopyRegistryValueAnsi(values[i], &type, nullptr, &needed) == kRegSuccess);
    Check(type == values[i].type);
    std::vector<uint8_t> out(needed);
    uint32_t got = needed;
    Check(CopyRegistryValueAnsi(values[i], &type, out.data(), &got) == kRegSuccess);
    Check(got == needed);
    if (needed > 0) {
      uint32_t short_size = needed - 1;
      Check(CopyRegistryValueAnsi(values[i], &type, out.data(), &short_size) == kRegMoreData);
    }
  }
  return 0;
}
