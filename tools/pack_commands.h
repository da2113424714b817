// The commands of upkeep-pack; each returns the process exit code.
#ifndef UPKEEP_TOOLS_PACK_COMMANDS_H_
#define UPKEEP_TOOLS_PACK_COMMANDS_H_

#include <string>
#include <vector>

#include "authoring/package_builder.h"
#include "pack_options.h"

namespace upkeep {

struct PackageArchive;

namespace pack {

using Args = std::vector<std::string>;

// Exit codes: 0 done, 1 the work failed (or verify found faults), 2 bad usage.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The whole tool: `args` are the arguments after the program's name, UTF-8.
int RunPack(const Args& args);

int Make(const Args& args);
int InitStrings(const Args& args);
int List(const Args& args);
int Extract(const Args& args);
int Cat(const Args& args);
int Verify(const Args& args);
int Apply(const Args& args);

// What make is asked: the package and the tool's own settings.
struct MakeRequest {
  MakeOptions options;
  std::string out;
  bool force = false;
  bool quiet = false;
  // Run on the finished update: {in} the unsigned file, {out} the one to write
  // (without {out}, {in} is signed where it is).
  std::string sign;
  std::string sign_dir;  // where the command runs; empty: the current folder
};

// make's options, each storing into `request`; project files take their
// long names.
std::vector<Option> MakeOptionTable(MakeRequest* request);

// Shared helpers.
bool IsHelp(const Args& args);
int Usage(const char* text, const std::string& problem);
// Mounts a package file (a bare archive or an updater with one appended):
// its record in the package table, or null with a message on stderr.
const PackageArchive* MountPackage(const std::string& path, std::string* mounted_as);

}  // namespace pack
}  // namespace upkeep

#endif  // UPKEEP_TOOLS_PACK_COMMANDS_H_
