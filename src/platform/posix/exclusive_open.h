#ifndef UPKEEP_PLATFORM_POSIX_EXCLUSIVE_OPEN_H_
#define UPKEEP_PLATFORM_POSIX_EXCLUSIVE_OPEN_H_

#include <string>

namespace upkeep {
namespace posix {

// Opens an existing regular file for writing only when no other process has it
// open, the way a share mode of 0 refuses on Windows. A write lease is granted
// only to the sole opener. Returns the descriptor, or -1.
int OpenExclusive(const std::string& native_path);

// The fallback used where leases are unavailable: another process has the
// file open or mapped.
bool OpenedElsewhereForTesting(const std::string& native_path);

}  // namespace posix
}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_POSIX_EXCLUSIVE_OPEN_H_
