// The commands of upkeep-pack; each returns the process exit code.
#ifndef UPKEEP_TOOLS_PACK_COMMANDS_H_
#define UPKEEP_TOOLS_PACK_COMMANDS_H_

#include <string>
#include <vector>

namespace upkeep {

struct PackageArchive;

namespace pack {

using Args = std::vector<std::string>;

// Exit codes: 0 done, 1 the work failed (or verify found faults), 2 bad usage.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int Make(const Args& args);
int InitStrings(const Args& args);
int List(const Args& args);
int Extract(const Args& args);
int Cat(const Args& args);
int Verify(const Args& args);
int Apply(const Args& args);

// Shared helpers.
bool IsHelp(const Args& args);
int Usage(const char* text, const std::string& problem);
// Mounts a package file (a bare archive or an updater with one appended):
// its record in the package table, or null with a message on stderr.
const PackageArchive* MountPackage(const std::string& path, std::string* mounted_as);

}  // namespace pack
}  // namespace upkeep

#endif  // UPKEEP_TOOLS_PACK_COMMANDS_H_
