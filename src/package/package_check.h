// The check of a downloaded package before an update changes anything: every
// byte the run will read is compared with the digests of the package's
// manifest (package/manifest.h). Packages without a manifest have nothing to
// compare and pass.
#ifndef UPKEEP_PACKAGE_PACKAGE_CHECK_H_
#define UPKEEP_PACKAGE_PACKAGE_CHECK_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "package/package.h"

namespace upkeep {

// Told the bytes checked so far and the bytes to check in all.
using CheckProgress = std::function<void(uint64_t done, uint64_t total)>;

// One pass in file order: each volume whole against its SHA-256, and each of
// `entries` against its own digest (those in the volumes from the same
// reads). False, with the damaged file (the volume, or the program file for
// its own entries) in `damagedFile`, at the first mismatch or failed read.
bool CheckPackageData(const PackageArchive& archive,
                      const std::vector<const PackageEntry*>& entries,
                      const CheckProgress& progress, std::string* damagedFile);

// Whether the entry's stored bytes have the manifest's digest; true for an
// entry without one.
bool EntryDigestMatches(const PackageEntry& entry);

}  // namespace upkeep

#endif  // UPKEEP_PACKAGE_PACKAGE_CHECK_H_
