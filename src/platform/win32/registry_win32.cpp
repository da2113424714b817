#include <windows.h>

#include "platform/code_page.h"
#include "platform/registry.h"
#include "platform/wine_registry_file.h"

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

  // The value is read whole through the wide API and its strings converted
  // to the ANSI code page here, so they follow the string table's locale
  // rather than the system's.
  int32_t QueryValue(const std::string& name, uint32_t* type, uint8_t* data,
                     uint32_t* size) override {
    std::u16string wide_name;
    if (!AnsiToUtf16Exact(name, &wide_name)) return kRegNotFound;
    const wchar_t* wname = reinterpret_cast<const wchar_t*>(wide_name.c_str());
    RegistryFileValue value;
    DWORD t = 0;
    DWORD n = 0;
    LONG status = RegQueryValueExW(key_, wname, nullptr, &t, nullptr, &n);
    // The value may grow between the two calls; ask again until it fits.
    for (int tries = 0; status == ERROR_SUCCESS && tries < 8; ++tries) {
      value.data.resize(n);
      DWORD got = n;
      status =
          RegQueryValueExW(key_, wname, nullptr, &t, n != 0 ? value.data.data() : nullptr, &got);
      if (status == ERROR_MORE_DATA) {
        n = got;
        status = ERROR_SUCCESS;
        continue;
      }
      value.data.resize(got);
      break;
    }
    if (status != ERROR_SUCCESS) return static_cast<int32_t>(status);
    value.type = t;
    return CopyRegistryValueAnsi(value, type, data, size);
  }

 private:
  HKEY key_;
};

class Win32Registry : public Registry {
 public:
  int32_t OpenKey(RegistryRoot root, const std::string& path,
                  std::unique_ptr<RegistryKey>* key) override {
    HKEY h = nullptr;
    std::u16string wide;
    if (!AnsiToUtf16Exact(path, &wide)) return kRegNotFound;
    const wchar_t* wpath = reinterpret_cast<const wchar_t*>(wide.c_str());
    LONG status = RegOpenKeyExW(RootHandle(root), wpath, 0, KEY_READ, &h);
    if (status == ERROR_FILE_NOT_FOUND) {
      status = RegOpenKeyExW(RootHandle(root), wpath, 0, KEY_READ | kOtherView, &h);
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
