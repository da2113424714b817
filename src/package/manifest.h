// The manifest `make` puts into every package it writes: one entry of the
// program file's own archive (kManifestEntryName, the last before the
// directory) that lists every other entry with its place, size and SHA-256,
// and the package's data volumes with theirs. The program file's signature
// covers the manifest, so it vouches for every byte the updater reads.
//
//   "UKM1"
//   u32 volumeCount, then per volume:
//     u16 nameLength, the file name (no folder), u64 size, 32-byte SHA-256
//   u32 entryCount, then per entry, in the directory's order, then the
//   volumes' entries:
//     u8 flags (bit 0: in the volumes), u16 nameLength, the stored name,
//     u64 offset (in the program file, or in the volumes' concatenation),
//     u64 size, u32 packedSize, 32-byte SHA-256 of the stored bytes
//   32-byte SHA-256 of everything above
//   u32 length of the whole manifest, "UKMF"
// All integers are little-endian. The footer ends the entry, so a reader
// finds the manifest from the directory's end whatever the directory says.
#ifndef UPKEEP_PACKAGE_MANIFEST_H_
#define UPKEEP_PACKAGE_MANIFEST_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "package/sha256.h"

namespace upkeep {

constexpr char kManifestEntryName[] = "UPKEEP.MANIFEST";
constexpr char kManifestMagic[4] = {'U', 'K', 'M', '1'};
constexpr char kManifestFooterMagic[4] = {'U', 'K', 'M', 'F'};
constexpr size_t kManifestFooterSize = 32 + 4 + 4;
constexpr uint64_t kMaxManifestSize = uint64_t{64} << 20;
constexpr size_t kMaxVolumeName = 255;
// Data volumes are named after the program file: NAME-1.upkd, NAME-2.upkd...
constexpr char kVolumeSuffix[] = ".upkd";

struct ManifestVolume {
  std::string name;
  uint64_t size = 0;
  Sha256Digest digest = {};
};

struct ManifestEntry {
  std::string name;
  bool inVolumes = false;
  uint64_t offset = 0;
  uint64_t size = 0;
  uint32_t packedSize = 0;
  Sha256Digest digest = {};
};

struct Manifest {
  std::vector<ManifestVolume> volumes;
  std::vector<ManifestEntry> entries;
};

// False when the bytes are not one whole manifest whose digest holds, or a
// name is empty, too long or (for a volume) names a folder.
bool ParseManifest(const uint8_t* bytes, size_t size, Manifest* out);
void WriteManifest(const Manifest& manifest, std::vector<uint8_t>* out);

// The file name of volume `index` (from 0) of the program file `program`
// (a file name or path; the folder and the last extension are dropped).
std::string VolumeFileName(const std::string& program, size_t index);

}  // namespace upkeep

#endif  // UPKEEP_PACKAGE_MANIFEST_H_
