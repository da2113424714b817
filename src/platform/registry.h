// Read-only access to the system's settings store, with the status codes of
// the registry API so callers keep its buffer rules: 0 success, 2 not found,
// 234 when the value does not fit the capacity given.
//
// Win32 uses RegOpenKeyExA / RegQueryValueExA / RegCloseKey. POSIX reads the
// text hives of the Wine prefix ($WINEPREFIX, or ~/.wine): system.reg for the
// local machine, user.reg for the current user. Nothing ever writes.
//
// Views: on 64-bit Windows a 32-bit program reads HKLM\Software through
// Wow6432Node. Every build reads its own view first and, when the key is not
// there, the other one, so a game set up by a 32-bit installer is found by the
// x86_64 build and the Linux build alike.
#ifndef UPKEEP_PLATFORM_REGISTRY_H_
#define UPKEEP_PLATFORM_REGISTRY_H_

#include <cstdint>
#include <memory>
#include <string>

namespace upkeep {

enum class RegistryRoot { kLocalMachine, kCurrentUser };

// Win32 error codes the registry reports.
enum : int32_t {
  kRegSuccess = 0,
  kRegNotFound = 2,       // ERROR_FILE_NOT_FOUND
  kRegAccessDenied = 5,   // ERROR_ACCESS_DENIED
  kRegBadPathname = 161,  // ERROR_BAD_PATHNAME
  kRegMoreData = 234,     // ERROR_MORE_DATA
};

// Value types with their Win32 numbers.
enum : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegMultiSz = 7,
};

class RegistryKey {
 public:
  virtual ~RegistryKey() = default;
  // RegQueryValueExA: an empty name is the key's default value. String values
  // arrive in the ANSI code page with the terminator they were stored with;
  // expandable strings are not expanded. On entry *size is the capacity of
  // `data` (which may be null to ask for the size only); on return it is the
  // number of bytes stored, or needed when the status is kRegMoreData. `type`
  // may be null.
  virtual int32_t QueryValue(const std::string& name, uint32_t* type, uint8_t* data,
                             uint32_t* size) = 0;
};

class Registry {
 public:
  virtual ~Registry() = default;
  // RegOpenKeyExA(root, path, 0, KEY_READ). Path components are separated by
  // '\' and compared without regard to case.
  virtual int32_t OpenKey(RegistryRoot root, const std::string& path,
                          std::unique_ptr<RegistryKey>* key) = 0;
};

// The process-wide registry; the platform default unless a test set another.
Registry* GetRegistry();
// Null restores the default. Not thread-safe: tests set it before they run code.
void SetRegistry(Registry* registry);
Registry* DefaultRegistry();

// Open, query, close: the status of the first step that failed.
int32_t QueryRegistryValue(RegistryRoot root, const std::string& path, const std::string& name,
                           uint32_t* type, uint8_t* data, uint32_t* size);

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_REGISTRY_H_
