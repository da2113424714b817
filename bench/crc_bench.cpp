// Checksum benchmark: the updater's own file checksum (CRC-32 through read
// buffers of the run's window, as CheckFile runs it), and for comparison the
// same through a mapping of the whole file (as it once ran), of one file,
// best of N runs, in GB/s. Builds for Linux and Windows, so the same file can
// be measured natively and under Wine.
// Usage: crc_bench FILE [RUNS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/checksum.h"
#include "engine/command_context.h"
#include "engine/mapped_file.h"
#include "platform/file_system.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: crc_bench FILE [RUNS]\n");
    return 2;
  }
  const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  double best = 0;
  uint32_t crc = 0;
  uint64_t size = 0;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    upkeep::MappedFile mapped = upkeep::OpenMappedFile(argv[1]);
    if (!mapped.usable()) {
      std::fprintf(stderr, "crc_bench: cannot map %s\n", argv[1]);
      return 1;
    }
    size = mapped.size;
    crc = upkeep::ComputeFileCrc(mapped, argv[1], nullptr, 0, "");
    upkeep::CloseMappedFile(&mapped);
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (best == 0 || s < best) best = s;
  }
  std::printf("mapped:   %08X %llu bytes %.3f s %.2f GB/s\n", static_cast<unsigned>(crc),
              static_cast<unsigned long long>(size), best, size / best / 1e9);
  best = 0;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (upkeep::ComputeStreamedFileCrc(upkeep::GetFileSystem(), argv[1], upkeep::kDefaultReadWindow,
                                       argv[1], nullptr, 0, "",
                                       &crc) != upkeep::FileCrcResult::kDone) {
      std::fprintf(stderr, "crc_bench: cannot read %s\n", argv[1]);
      return 1;
    }
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (best == 0 || s < best) best = s;
  }
  std::printf("streamed: %08X %llu bytes %.3f s %.2f GB/s\n", static_cast<unsigned>(crc),
              static_cast<unsigned long long>(size), best, size / best / 1e9);
  return 0;
}
