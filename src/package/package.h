// The package archive appended to the program file, the process-wide table of
// open packages, and the package-aware file layer: a name that is an entry of
// an open package reads that entry, any other name reaches the disk.
#ifndef UPKEEP_PACKAGE_PACKAGE_H_
#define UPKEEP_PACKAGE_PACKAGE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/stream.h"

namespace upkeep {

constexpr uint32_t kPackageEntryTag = 0x10293847;

// Handle of the layer: a PackageEntry (tag == kPackageEntryTag) or a disk stream.
struct PackageFile {
  uint32_t tag = 0;
};

struct PackageArchive;

struct PackageEntry : PackageFile {
  std::string name;
  uint32_t offset = 0;
  uint32_t size = 0;
  int32_t position = 0;
  Stream* stream = nullptr;  // the package's shared stream, or text_stream
  uint32_t packedSize = 0;
  std::unique_ptr<Stream> text_stream;  // private "rt" stream while opened in text mode
};

struct PackageArchive {
  std::string name;  // upper-cased path
  std::unique_ptr<Stream> stream;
  int32_t entryCount = 0;
  std::vector<std::unique_ptr<PackageEntry>> entries;
};

// Sum of entry sizes on success, 0 when the file cannot be opened (or is not a
// well-formed archive), -1 when the table cannot grow.
int32_t OpenPackage(const char* path);
// 0 when a package of that name was closed, -1 when none is open under it.
int ClosePackage(const char* path);
// '/' to '\', "..\" segments resolved, upper-cased; in place.
void NormalizePackagePath(std::string* path);

PackageFile* OpenPackageFile(const char* name, const char* mode);
int ClosePackageFile(PackageFile* file);
int SeekPackageFile(PackageFile* file, int32_t offset, int origin);
int32_t TellPackageFile(PackageFile* file);
size_t ReadPackageFile(void* dest, size_t elemSize, size_t count, PackageFile* file);
// Writes to a disk stream; entries are read-only (0).
size_t WritePackageFile(const void* src, size_t elemSize, size_t count, PackageFile* file);
// printf to a disk stream opened for writing; -1 for an entry.
int PrintfPackageFile(PackageFile* file, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Decodes the packed form (8-byte header, coded stream) of `stored_size` bytes
// into `dest` of `dest_size` bytes. Never reads past the stored bytes nor writes
// past dest; false when the coded stream ends early or its header disagrees
// with dest_size.
bool DecodePackedEntry(const uint8_t* stored, size_t stored_size, uint8_t* dest,
                       size_t dest_size);

struct Payload {
  std::vector<uint8_t> data;
};
// The inflated bytes of a payload entry (zlib stream, u32 Adler-32, u32
// length); null unless the stream inflates completely to the declared length.
std::unique_ptr<Payload> LoadPayloadEntry(const char* name);

// Read-only view of the package table, for tools and tests.
const std::vector<std::unique_ptr<PackageArchive>>& OpenPackages();

}  // namespace upkeep

#endif  // UPKEEP_PACKAGE_PACKAGE_H_
