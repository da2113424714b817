// Loading DLLs from the system directory only. An updater is often started
// from a Downloads folder, where a planted DLL of a well-known name (version.dll
// is the classic) would otherwise be loaded from beside the program.
#ifndef UPKEEP_PLATFORM_WIN32_SYSTEM_DLL_H_
#define UPKEEP_PLATFORM_WIN32_SYSTEM_DLL_H_

#include <windows.h>

#include <string>

namespace upkeep {

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

// Whether the loader knows the LOAD_LIBRARY_SEARCH_* flags (Windows 8, or 7
// with its loader update): recognised by the export that came with them.
inline bool SystemSearchFlagsSupported() {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  return kernel != nullptr && GetProcAddress(kernel, "SetDefaultDllDirectories") != nullptr;
}

// Makes the system directory the only default place the loader looks, for
// every later load of this process, including those system DLLs make on their
// own. Call first thing; static imports are resolved before it can run, so
// import only DLLs the loader takes from the system anyway (KnownDLLs).
inline void RestrictDllSearchToSystem() {
  // Also takes the current directory out of the search on loaders without the
  // flags below.
  SetDllDirectoryA("");
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return;
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  auto set_default = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (set_default != nullptr) set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// Loads `name` (a bare file name such as "version.dll") from the system
// directory, never from the program's folder or the current directory.
inline HMODULE LoadSystemLibrary(const char* name) {
  if (SystemSearchFlagsSupported()) {
    return LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  char dir[MAX_PATH];
  UINT n = GetSystemDirectoryA(dir, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return nullptr;
  std::string path(dir, n);
  if (path.back() != '\\') path += '\\';
  path += name;
  if (path.size() >= MAX_PATH) return nullptr;
  // The altered search path makes the DLL's own imports start in its folder.
  return LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// A function of a system DLL, loaded from the system directory at its first
// use and kept; null when the DLL or the function is missing. DLLs whose own
// imports reach beyond the system's protected set (shell32, ole32) are taken
// this way instead of being imported, since the loader resolves static
// imports before any of our code can restrict where it looks.
template <typename Fn>
Fn SystemProc(const char* dll, const char* name) {
  HMODULE module = LoadSystemLibrary(dll);
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_WIN32_SYSTEM_DLL_H_
