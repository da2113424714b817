// Checksum benchmark: the updater's own file checksum (mapping and CRC-32, as
// CheckFile runs it) of one file, best of N runs, in GB/s. Builds for Linux and
// Windows, so the same file can be measured natively and under Wine.
// Usage: crc_bench FILE [RUNS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/checksum.h"
#include "engine/mapped_file.h"

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
  std::printf("%08X %llu bytes %.3f s %.2f GB/s\n", static_cast<unsigned>(crc),
              static_cast<unsigned long long>(size), best, size / best / 1e9);
  return 0;
}
