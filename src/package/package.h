// The package archive appended to the program file, the process-wide table of
// open packages, and the package-aware file layer: a name that is an entry of
// an open package reads that entry, any other name reaches the disk.
//
// Archive layout (u32 little-endian, absolute offsets): entry data from offset
// 0 (the first entry is the program image itself), then the directory
// (u32 entryCount; per entry u32 offset, u32 size, u32 packedSize,
// u32 nameLength, nameLength bytes of NUL-terminated name), then the u32
// directory offset as the file's last four bytes.
#ifndef UPKEEP_PACKAGE_PACKAGE_H_
#define UPKEEP_PACKAGE_PACKAGE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "package/sha256.h"
#include "platform/file_system.h"
#include "platform/stream.h"

namespace upkeep {

constexpr uint32_t kPackageEntryTag = 0x10293847;
// Paths and entry names are at most this long; longer ones are refused.
constexpr size_t kMaxPackagePath = 1023;
// Bounds that make a malformed directory a refusal rather than a huge allocation.
constexpr uint32_t kMaxPackageEntries = 1u << 20;
constexpr uint32_t kMaxEntryNameLength = kMaxPackagePath + 1;  // with the NUL
// Neither the stored nor the inflated bytes of a payload loaded whole into
// memory (LoadPayloadEntry) may exceed this; streamed decoding
// (package/payload_stream.h) has no such bound.
constexpr uint32_t kMaxPayloadSize = 1u << 30;

// Positional reads over the bytes a package's entries live in: the program
// file, or the concatenation of its data volumes. Reads share no cursor, so
// any number of readers (threads too) may use one source at once.
class PackageSource {
 public:
  virtual ~PackageSource() = default;
  // Exactly `n` bytes from `offset`, or false.
  virtual bool ReadAt(uint64_t offset, void* dst, size_t n) = 0;
  virtual uint64_t size() const = 0;
};

// Handle of the layer: a PackageEntry (tag == kPackageEntryTag) or a disk stream.
struct PackageFile {
  uint32_t tag = 0;
};

struct PackageArchive;

struct PackageEntry : PackageFile {
  std::string name;
  uint64_t offset = 0;  // in `source`
  uint64_t size = 0;
  int64_t position = 0;  // always within 0..size
  // Null, or the private "rt" stream of an entry opened in text mode.
  Stream* stream = nullptr;
  uint32_t packedSize = 0;
  std::unique_ptr<Stream> text_stream;
  PackageArchive* archive = nullptr;
  // Where the stored bytes are: the archive's own file or its volumes.
  PackageSource* source = nullptr;
  bool inVolumes = false;
  // The SHA-256 of the stored bytes, from the package's manifest.
  bool hasDigest = false;
  Sha256Digest digest = {};
  // The source of an entry that belongs to no package (OpenLooseEntry).
  std::unique_ptr<PackageSource> own_source;

  // Stored bytes (packed ones as stored) on the disk.
  uint64_t storedSize() const { return packedSize != 0 ? packedSize : size; }
};

// A data volume of a package, as its manifest lists it.
struct PackageVolume {
  std::string name;  // the file name make gave it
  std::string path;  // where it was found
  uint64_t size = 0;
  Sha256Digest digest = {};
};

struct PackageArchive {
  std::string name;                        // upper-cased path: what ClosePackage matches
  std::string path;                        // the path as given: what reaches the disk again
  std::unique_ptr<PackageSource> source;   // the archive's own file
  std::unique_ptr<PackageSource> volumes;  // their concatenation; null without any
  int32_t entryCount = 0;                  // directory records
  // The directory's records in order, then the entries that live in volumes.
  std::vector<std::unique_ptr<PackageEntry>> entries;
  // The package carries a manifest: every entry has its digest, and the
  // directory was found to agree with it.
  bool hasManifest = false;
  std::vector<PackageVolume> volumeList;
};

// Why OpenPackage refused a file.
struct PackageProblem {
  enum Kind {
    kNone,
    kCannotOpen,       // the file does not open
    kMalformed,        // no well-formed archive at its end
    kManifestDamaged,  // the manifest or the directory it vouches for is damaged
    kVolumeMissing,    // a data volume is not beside the program
    kVolumeWrongSize,  // a data volume is shorter or longer than listed
    kNoMemory,
  };
  Kind kind = kNone;
  std::string file;  // the file concerned: the package or a volume
};

// Adds the archive at `path` to the table: its record, or null when the file
// cannot be opened, is not a well-formed archive or the table cannot grow (the
// reason in `problem`, when given). An archive without entries is a success.
// A package with a manifest is taken only when its directory agrees with the
// manifest and its volumes are there with their listed sizes (their contents
// are checked later, see package/package_check.h). Opening a path that is
// already open adds a second record. The record lives until ClosePackage
// removes it.
PackageArchive* OpenPackage(const char* path, PackageProblem* problem = nullptr);
// Closes the first record whose name is the upper-cased path: 0, or -1 when
// none is open under it.
int ClosePackage(const char* path);
// '/' to '\' and "..\" segments resolved, letter case kept; in place.
void ResolvePackagePath(std::string* path);
// ResolvePackagePath, then upper-cased: the form entry names are compared with.
void NormalizePackagePath(std::string* path);

// An entry of an open package (first match in opening and directory order),
// else the disk file of the resolved name with `mode` ("rb", "rt", "r", "wb",
// "wt"). Null when neither opens, the name is longer than kMaxPackagePath, or a
// packed entry is asked for in text mode ('t'). Reading a name that no package
// holds reaches the disk only while loose files are allowed (below).
PackageFile* OpenPackageFile(const char* name, const char* mode);
// Whether OpenPackageFile may read a name from the disk when no open package
// holds it; on until turned off. The shipped updater turns it off: files
// planted beside it must never stand in for its package's. Opens for writing
// always reach the disk.
void AllowLooseFileReads(bool allow);
bool LooseFileReadsAllowed();
// 0 for an entry (it stays valid until its package closes); for a disk
// stream the result of closing it.
int ClosePackageFile(PackageFile* file);
// Origin 0 start, 1 current, 2 end. On an entry the position is clamped to
// 0..size and the result is 0; on a disk stream the stream's result.
int SeekPackageFile(PackageFile* file, int32_t offset, int origin);
// -1 for a null handle or a disk position beyond INT32_MAX.
int32_t TellPackageFile(PackageFile* file);
// Whole elements read. A packed entry reads only whole, from position 0.
size_t ReadPackageFile(void* dest, size_t elemSize, size_t count, PackageFile* file);
// Writes to a disk stream; entries are read-only (0).
size_t WritePackageFile(const void* src, size_t elemSize, size_t count, PackageFile* file);
// Pushes what a disk stream has buffered to the file and the file to the disk;
// 0 on success, -1 for an entry or a failed write.
int FlushPackageFile(PackageFile* file);
// Pushes what a disk stream has buffered to the file only, where it outlives
// the process but not a power cut; 0 on success, -1 as FlushPackageFile.
int PushPackageFile(PackageFile* file);
// printf to a disk stream opened for writing; -1 for an entry.
int PrintfPackageFile(PackageFile* file, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Decodes the packed form (8-byte header, coded stream) of `stored_size` bytes
// into `dest` of `dest_size` bytes. Never reads past the stored bytes nor writes
// past dest; false when the coded stream ends early, a match reaches before the
// start of the output, or the header's unpacked length is not dest_size.
bool DecodePackedEntry(const uint8_t* stored, size_t stored_size, uint8_t* dest, size_t dest_size);

struct Payload {
  std::vector<uint8_t> data;
};
// The inflated bytes of a payload entry (zlib stream, u32 Adler-32, u32
// length); null unless the stream inflates completely to exactly the declared
// length, or when either size exceeds kMaxPayloadSize.
std::unique_ptr<Payload> LoadPayloadEntry(const char* name);

// The first entry of `archive` named `name` once normalised (as
// OpenPackageFile compares names), or null; never a disk file.
PackageEntry* FindPackageEntry(const PackageArchive& archive, const char* name);
// The entry's whole content (a packed entry decoded) into `out`; false when it
// cannot be read. Leaves the entry at its end, as a whole read does.
bool ReadPackageEntry(PackageEntry* entry, std::vector<uint8_t>* out);
// `n` stored bytes of the entry from `at` on, by a positional read that moves
// nothing; false unless they are all inside the entry and read.
bool ReadEntryAt(const PackageEntry& entry, uint64_t at, void* dst, size_t n);
// The entry of a name the package lacks, read from the disk file of that name
// while loose file reads are allowed (AllowLooseFileReads); null otherwise.
// It belongs to no package and is the caller's.
std::unique_ptr<PackageEntry> OpenLooseEntry(const char* name);
// LoadPayloadEntry on this very entry, whatever else is open under its name.
std::unique_ptr<Payload> LoadPayload(PackageEntry* entry);

// The first open package mounted under `path` (compared as ClosePackage
// compares), or null.
PackageArchive* FindOpenPackage(const std::string& path);

// Read-only view of the package table, for tools and tests.
const std::vector<std::unique_ptr<PackageArchive>>& OpenPackages();

}  // namespace upkeep

#endif  // UPKEEP_PACKAGE_PACKAGE_H_
