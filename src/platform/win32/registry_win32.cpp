#include <windows.h>

#include "platform/registry.h"

namespace upkeep {

namespace {

HKEY RootHandle(RegistryRoot root) {
  return root == RegistryRoot::kLocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

// The view a build does not see by default: a 64-bit build looks into the
// 32-bit one (Wow6432Node) and the other way round.
constexpr REGSAM kOtherView = sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;

class Win32Key : public RegistryKey {
 public:
  explicit Win32Key(HKEY key) : key_(key) {}
  ~Win32Key() override { RegCloseKey(key_); }

  int32_t QueryValue(const std::string& name, uint32_t* type, uint8_t* data,
                     uint32_t* size) override {
    DWORD t = 0;
    DWORD n = *size;
    LONG status = RegQueryValueExA(key_, name.c_str(), nullptr, &t, data, &n);
    *size = n;
    if (type != nullptr) *type = t;
    return static_cast<int32_t>(status);
  }

 private:
  HKEY key_;
};

class Win32Registry : public Registry {
 public:
  int32_t OpenKey(RegistryRoot root, const std::string& path,
                  std::unique_ptr<RegistryKey>* key) override {
    HKEY h = nullptr;
    LONG status = RegOpenKeyExA(RootHandle(root), path.c_str(), 0, KEY_READ, &h);
    if (status == ERROR_FILE_NOT_FOUND) {
      status = RegOpenKeyExA(RootHandle(root), path.c_str(), 0, KEY_READ | kOtherView, &h);
      if (status != ERROR_SUCCESS) status = ERROR_FILE_NOT_FOUND;
    }
    if (status != ERROR_SUCCESS) return static_cast<int32_t>(status);
    key->reset(new Win32Key(h));
    return kRegSuccess;
  }
};

}  // namespace

Registry* DefaultRegistry() {
  static Win32Registry registry;
  return &registry;
}

}  // namespace upkeep
