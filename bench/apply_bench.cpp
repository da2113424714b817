// Applies one delta entry of a package to an old file, as PatchFile does (the
// delta's shape checked first, the old file read through the run's window,
// the new content written through the content writer with its CRC-32), and
// times it; best and median of RUNS. --flush also flushes the new file to
// the disk as the updater does before it takes the game's name.
// Usage: apply_bench PACKAGE ENTRY OLD OUT [RUNS] [--flush]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/checksum.h"
#include "engine/command_context.h"
#include "engine/delta.h"
#include "package/byte_sources.h"
#include "package/package.h"
#include "platform/file_system.h"

int main(int argc, char** argv) {
  using namespace upkeep;
  std::vector<std::string> args;
  bool flush = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--flush") == 0) {
      flush = true;
    } else {
      args.push_back(argv[i]);
    }
  }
  if (args.size() < 4) {
    std::fprintf(stderr, "usage: apply_bench PACKAGE ENTRY OLD OUT [RUNS] [--flush]\n");
    return 2;
  }
  const int runs = args.size() > 4 ? std::atoi(args[4].c_str()) : 5;
  PackageArchive* archive = OpenPackage(args[0].c_str());
  const PackageEntry* entry = archive ? FindPackageEntry(*archive, args[1].c_str()) : nullptr;
  if (entry == nullptr) {
    std::fprintf(stderr, "apply_bench: no entry %s in %s\n", args[1].c_str(), args[0].c_str());
    return 1;
  }
  FileSystem* fs = GetFileSystem();
  std::vector<double> times;
  WrittenContent written;
  for (int r = 0; r < runs; ++r) {
    const auto start = std::chrono::steady_clock::now();
    ExtendedDeltaInfo shape;
    if (!InspectDeltaEntry(*entry, &shape)) {
      std::fprintf(stderr, "apply_bench: %s is malformed\n", args[1].c_str());
      return 1;
    }
    std::unique_ptr<File> old = fs->Open(args[2], OpenMode::kRead);
    if (old == nullptr) return 1;
    WindowedOldSource source(old.get(), static_cast<uint64_t>(old->Size()), kDefaultReadWindow);
    const int applied = ApplyDeltaEntry(*entry, shape, source, fs, args[3], nullptr, 0, "",
                                        flush ? &written : nullptr);
    times.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (applied != kApplyDone) {
      std::fprintf(stderr, "apply_bench: the delta does not apply\n");
      return 1;
    }
  }
  std::sort(times.begin(), times.end());
  std::printf("%s: best %.3f s, median %.3f s (%d runs%s)\n", args[1].c_str(), times.front(),
              times[times.size() / 2], runs, flush ? ", flushed" : "");
  return 0;
}
