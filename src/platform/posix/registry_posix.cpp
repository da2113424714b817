#include <string>
#include <vector>

#include "platform/code_page.h"
#include "platform/posix/path.h"
#include "platform/registry.h"
#include "platform/wine_registry_file.h"

namespace upkeep {

namespace {

// Hives beyond this are not read; a real prefix holds a few megabytes.
constexpr size_t kMaxHiveBytes = 256u << 20;

bool ReadHive(const std::string& path, std::string* text) {
  return posix::ReadRegularFile(path, kMaxHiveBytes, text);
}

class HiveKey : public RegistryKey {
 public:
  explicit HiveKey(std::vector<RegistryFileValue> values) : values_(std::move(values)) {}

  int32_t QueryValue(const std::string& name, uint32_t* type, uint8_t* data,
                     uint32_t* size) override {
    std::u16string wide = AnsiToUtf16(name);
    for (const RegistryFileValue& v : values_) {
      if (RegistryNamesEqual(v.name, wide)) return CopyRegistryValueAnsi(v, type, data, size);
    }
    return kRegNotFound;
  }

 private:
  std::vector<RegistryFileValue> values_;
};

bool IsWow64Node(const std::u16string& name) { return RegistryNamesEqual(name, u"Wow6432Node"); }

class HiveRegistry : public Registry {
 public:
  int32_t OpenKey(RegistryRoot root, const std::string& path,
                  std::unique_ptr<RegistryKey>* key) override {
    std::vector<std::u16string> components;
    if (!SplitRegistryPath(AnsiToUtf16(path), &components)) return kRegBadPathname;
    std::string hive =
        posix::WinePrefix() + (root == RegistryRoot::kLocalMachine ? "/system.reg" : "/user.reg");
    std::string text;
    if (!ReadHive(hive, &text)) return kRegNotFound;
    std::vector<RegistryFileValue> values;
    bool found = FindRegistryFileKey(text, components, &values);
    // 32-bit installers in a 64-bit prefix write below Software\Wow6432Node.
    if (!found && root == RegistryRoot::kLocalMachine && !components.empty() &&
        RegistryNamesEqual(components[0], u"Software") &&
        !(components.size() > 1 && IsWow64Node(components[1]))) {
      components.insert(components.begin() + 1, u"Wow6432Node");
      found = FindRegistryFileKey(text, components, &values);
    }
    if (!found) return kRegNotFound;
    key->reset(new HiveKey(std::move(values)));
    return kRegSuccess;
  }
};

}  // namespace

Registry* DefaultRegistry() {
  static HiveRegistry registry;
  return &registry;
}

}  // namespace upkeep
