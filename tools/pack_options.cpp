#include "pack_options.h"

#include <cstring>

namespace upkeep {
namespace pack {

namespace {

const Option* Find(const std::vector<Option>& options, const std::string& name) {
  for (const auto& o : options) {
    for (const char* n : o.names) {
      if (name == n) return &o;
    }
  }
  return nullptr;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, const std::vector<Option>& options,
                  std::vector<std::string>* operands, std::string* problem) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--") {
      operands->insert(operands->end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                       args.end());
      return true;
    }
    // "-" alone names standard input or output where a command allows it.
    if (a.size() < 2 || a[0] != '-') {
      operands->push_back(a);
      continue;
    }
    std::string name = a;
    std::string value;
    bool inline_value = false;
    const size_t eq = a.find('=');
    if (a.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
      inline_value = true;
    }
    const Option* option = Find(options, name);
    if (!option) {
      *problem = "unknown option: " + name;
      return false;
    }
    if (!option->takes_value && inline_value) {
      *problem = name + " takes no value";
      return false;
    }
    if (option->takes_value && !inline_value) {
      if (i + 1 >= args.size()) {
        *problem = name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    std::string refused = option->set(value);
    if (!refused.empty()) {
      *problem = refused;
      return false;
    }
  }
  return true;
}

Option Value(std::vector<const char*> names, std::string* target) {
  return Option{std::move(names), true, [target](const std::string& v) {
                  *target = v;
                  return std::string();
                }};
}

Option Flag(std::vector<const char*> names, bool* target) {
  return Option{std::move(names), false, [target](const std::string&) {
                  *target = true;
                  return std::string();
                }};
}

}  // namespace pack
}  // namespace upkeep
