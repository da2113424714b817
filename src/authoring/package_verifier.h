// Checks a mounted package the way the updater will read it: its scripts go
// through the runtime's parser, every entry a command names must be in the
// package and inflate, CreateFile checksums must match their payloads and
// deltas must be well formed.
#ifndef UPKEEP_AUTHORING_PACKAGE_VERIFIER_H_
#define UPKEEP_AUTHORING_PACKAGE_VERIFIER_H_

#include <string>
#include <vector>

namespace upkeep {

struct PackageArchive;

struct VerifyReport {
  std::vector<std::string> faults;        // the updater would fail or refuse
  std::vector<std::string> warnings;      // it would run, but not as perhaps meant
  std::vector<std::string> missing_keys;  // keys the updater uses that Strings.scr lacks
  // The parser's messages, "patch.scr:12:5: error: comma expected"; a
  // script that does not parse is also a fault.
  std::vector<std::string> script_messages;
  int script_warnings = 0;
  int sections = 0;
  int string_keys = 0;
};

// `archive` is a record of the package table (OpenPackages()).
VerifyReport VerifyPackage(const PackageArchive& archive);

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_PACKAGE_VERIFIER_H_
