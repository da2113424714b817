#include <windows.h>

#include "platform/version_info.h"
#include "platform/win32/system_dll.h"
#include "platform/win32/wide_path.h"

namespace upkeep {

namespace {

// version.dll is loaded on first use, so the program links against nothing
// more than the system's core libraries.
struct VersionApi {
  using SizeFn = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
  using InfoFn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
  using QueryFn = BOOL(WINAPI*)(LPCVOID, LPCSTR, LPVOID*, PUINT);
  SizeFn size = nullptr;
  InfoFn info = nullptr;
  QueryFn query = nullptr;

  VersionApi() {
    // Never from the program's own folder, where a planted copy may wait.
    HMODULE dll = LoadSystemLibrary("version.dll");
    if (dll == nullptr) return;
    size = reinterpret_cast<SizeFn>(
        reinterpret_cast<void*>(GetProcAddress(dll, "GetFileVersionInfoSizeW")));
    info = reinterpret_cast<InfoFn>(
        reinterpret_cast<void*>(GetProcAddress(dll, "GetFileVersionInfoW")));
    query =
        reinterpret_cast<QueryFn>(reinterpret_cast<void*>(GetProcAddress(dll, "VerQueryValueA")));
  }
};

const VersionApi& Api() {
  static const VersionApi api;
  return api;
}

}  // namespace

uint32_t ReadVersionInfoSize(const std::string& path) {
  if (Api().size == nullptr) return 0;
  std::wstring wide;
  if (!win32::WidePath(path, &wide)) return 0;
  DWORD handle = 0;
  return Api().size(wide.c_str(), &handle);
}

bool ReadVersionInfo(const std::string& path, uint32_t size, uint8_t* data) {
  if (Api().info == nullptr) return false;
  std::wstring wide;
  if (!win32::WidePath(path, &wide)) return false;
  return Api().info(wide.c_str(), 0, size, data) != FALSE;
}

bool QueryVersionValue(uint8_t* block, uint32_t block_size, const std::string& sub_block,
                       const uint8_t** value, uint32_t* length) {
  (void)block_size;
  if (Api().query == nullptr) return false;
  void* p = nullptr;
  UINT n = 0;
  if (!Api().query(block, sub_block.c_str(), &p, &n)) return false;
  *value = static_cast<const uint8_t*>(p);
  if (length != nullptr) *length = n;
  return true;
}

}  // namespace upkeep
