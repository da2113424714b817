#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "package/package.h"
#include "package/package_internal.h"
#include "platform/text.h"

namespace upkeep {

namespace package_internal {

std::vector<std::unique_ptr<PackageArchive>>& Table() {
  static std::vector<std::unique_ptr<PackageArchive>> table;
  return table;
}

}  // namespace package_internal

namespace {

using package_internal::LoadU32;

constexpr int64_t kRecordHeaderSize = 16;
// A record is its 16-byte header and at least the name's terminating NUL.
constexpr int64_t kMinRecordSize = kRecordHeaderSize + 1;

bool ReadExact(Stream* stream, void* dst, size_t n) { return stream->Read(dst, n) == n; }

bool ReadAt(Stream* stream, int64_t at, void* dst, size_t n) {
  return stream->Seek(at, SeekOrigin::kBegin) == 0 && ReadExact(stream, dst, n);
}

uint16_t LoadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// A signer may pad the file to 8 bytes before it adds the certificate table.
constexpr int64_t kMaxSignerPadding = 7;
// Headers further in than this are not taken for a program's.
constexpr int64_t kMaxHeaderOffset = 1 << 20;

enum class Signature { kNone, kAtEnd, kMalformed };

// Finds the certificate table of a signed program (data directory 4 of a PE
// image; its address is a file offset). A table must end the file: bytes
// after it lie outside what the signature vouches for, a known way to smuggle
// data into a signed file, so such a file is refused. Anything that is not a
// PE image with a security directory counts as unsigned.
Signature FindCertificateTable(Stream* stream, int64_t file_size, int64_t* table) {
  uint8_t dos[64];
  if (file_size < static_cast<int64_t>(sizeof dos) || !ReadAt(stream, 0, dos, sizeof dos) ||
      dos[0] != 'M' || dos[1] != 'Z') {
    return Signature::kNone;
  }
  const int64_t nt = LoadU32(dos + 0x3C);
  uint8_t head[24];
  if (nt > kMaxHeaderOffset || nt + 24 > file_size || !ReadAt(stream, nt, head, sizeof head) ||
      head[0] != 'P' || head[1] != 'E' || head[2] != 0 || head[3] != 0) {
    return Signature::kNone;
  }
  const int64_t optional_size = LoadU16(head + 20);
  uint8_t optional[240] = {};
  const int64_t got = optional_size < 240 ? optional_size : 240;
  if (got < 2 || nt + 24 + got > file_size ||
      !ReadAt(stream, nt + 24, optional, static_cast<size_t>(got))) {
    return Signature::kNone;
  }
  const uint16_t magic = LoadU16(optional);
  const int64_t count_at = magic == 0x20B ? 108 : magic == 0x10B ? 92 : -1;
  if (count_at < 0) return Signature::kNone;
  const int64_t security_at = count_at + 4 + 4 * 8;
  if (got < security_at + 8 || LoadU32(optional + count_at) <= 4) return Signature::kNone;
  const int64_t offset = LoadU32(optional + security_at);
  const int64_t size = LoadU32(optional + security_at + 4);
  if (size == 0) return Signature::kNone;
  if (offset < 8 || offset + size != file_size) return Signature::kMalformed;
  *table = offset;
  return Signature::kAtEnd;
}

enum class DirectoryResult { kOk, kMalformed, kNoMemory };

DirectoryResult ParseDirectory(PackageArchive* archive, int64_t archive_end, bool exact,
                               int64_t* size_sum);

// Reads the trailer and directory, checking every offset and length against
// the file before it is used, so a malformed archive is refused without a read
// outside the file. The archive ends the file, or, in a signed program, the
// bytes below its certificate table (after at most 7 zero bytes of padding);
// there its directory must also end right at the trailer, so that padding is
// never mistaken for part of one.
DirectoryResult ReadDirectory(PackageArchive* archive, int64_t* size_sum) {
  Stream* stream = archive->stream.get();
  if (stream->Seek(0, SeekOrigin::kEnd) != 0) return DirectoryResult::kMalformed;
  const int64_t file_size = stream->Tell();
  if (file_size < 8) return DirectoryResult::kMalformed;
  int64_t table = 0;
  switch (FindCertificateTable(stream, file_size, &table)) {
    case Signature::kNone:
      return ParseDirectory(archive, file_size, false, size_sum);
    case Signature::kMalformed:
      return DirectoryResult::kMalformed;
    case Signature::kAtEnd:
      break;
  }
  uint8_t below[kMaxSignerPadding] = {};
  const int64_t padding_room = table - 8 < kMaxSignerPadding ? table - 8 : kMaxSignerPadding;
  if (padding_room > 0 &&
      !ReadAt(stream, table - padding_room, below + kMaxSignerPadding - padding_room,
              static_cast<size_t>(padding_room))) {
    return DirectoryResult::kMalformed;
  }
  for (int64_t padding = 0; padding <= padding_room; ++padding) {
    if (padding > 0 && below[kMaxSignerPadding - padding] != 0) break;
    const DirectoryResult result = ParseDirectory(archive, table - padding, true, size_sum);
    if (result != DirectoryResult::kMalformed) return result;
    archive->entries.clear();
  }
  return DirectoryResult::kMalformed;
}

// The archive whose trailer is the last four of its `archive_end` bytes;
// `exact` also asks that the directory end right at the trailer.
DirectoryResult ParseDirectory(PackageArchive* archive, int64_t archive_end, bool exact,
                               int64_t* size_sum) {
  Stream* stream = archive->stream.get();
  const int64_t file_size = archive_end;  // nothing of the archive lies beyond it
  if (file_size < 8) return DirectoryResult::kMalformed;
  const int64_t dir_end = file_size - 4;  // the trailer follows the directory

  uint8_t word[4];
  if (stream->Seek(dir_end, SeekOrigin::kBegin) != 0 || !ReadExact(stream, word, 4)) {
    return DirectoryResult::kMalformed;
  }
  const int64_t dir_offset = LoadU32(word);
  if (dir_offset + 4 > dir_end) return DirectoryResult::kMalformed;
  if (stream->Seek(dir_offset, SeekOrigin::kBegin) != 0 || !ReadExact(stream, word, 4)) {
    return DirectoryResult::kMalformed;
  }
  const uint32_t count = LoadU32(word);
  if (count > kMaxPackageEntries) return DirectoryResult::kMalformed;
  int64_t pos = dir_offset + 4;
  if (static_cast<int64_t>(count) * kMinRecordSize > dir_end - pos) {
    return DirectoryResult::kMalformed;
  }

  std::vector<char> name(kMaxEntryNameLength);
  int64_t sum = 0;
  try {
    archive->entries.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
      uint8_t record[kRecordHeaderSize];
      if (pos + kRecordHeaderSize > dir_end || !ReadExact(stream, record, sizeof record)) {
        return DirectoryResult::kMalformed;
      }
      pos += kRecordHeaderSize;
      const uint32_t offset = LoadU32(record);
      const uint32_t size = LoadU32(record + 4);
      const uint32_t packed_size = LoadU32(record + 8);
      const uint32_t name_length = LoadU32(record + 12);
      if (name_length == 0 || name_length > kMaxEntryNameLength || pos + name_length > dir_end ||
          !ReadExact(stream, name.data(), name_length) || name[name_length - 1] != 0) {
        return DirectoryResult::kMalformed;
      }
      pos += name_length;
      // A packed entry holds at least its 8-byte header, and its coded bytes
      // yield at most 6 bytes each (a 9-byte match costs one byte and four
      // flag bits): a larger claim would only size readers' buffers.
      if (packed_size != 0 && packed_size < 8) return DirectoryResult::kMalformed;
      if (packed_size != 0 && size > (uint64_t{packed_size} - 8) * 6 + 9) {
        return DirectoryResult::kMalformed;
      }
      const int64_t stored = packed_size != 0 ? packed_size : size;
      if (static_cast<int64_t>(offset) + stored > file_size) return DirectoryResult::kMalformed;

      auto entry = std::make_unique<PackageEntry>();
      entry->tag = kPackageEntryTag;
      entry->name.assign(name.data());  // up to the first NUL, as the lookup compares
      entry->offset = offset;
      entry->size = size;
      entry->packedSize = packed_size;
      entry->position = 0;
      entry->stream = stream;
      entry->archive = archive;
      archive->entries.push_back(std::move(entry));
      sum += size;
    }
  } catch (const std::bad_alloc&) {
    return DirectoryResult::kNoMemory;
  }
  if (exact && pos != dir_end) return DirectoryResult::kMalformed;
  archive->entryCount = static_cast<int32_t>(count);
  *size_sum = sum;
  return DirectoryResult::kOk;
}

}  // namespace

PackageArchive* OpenPackage(const char* path) {
  if (path == nullptr) return nullptr;
  const size_t length = package_internal::BoundedLength(path, kMaxPackagePath);
  if (length > kMaxPackagePath) return nullptr;
  std::unique_ptr<Stream> stream = Stream::Open(std::string(path, length), "rb");
  if (stream == nullptr) return nullptr;

  auto& table = package_internal::Table();
  int64_t size_sum = 0;
  try {
    auto archive = std::make_unique<PackageArchive>();
    archive->path.assign(path, length);
    archive->name = archive->path;
    ToUpperInPlace(&archive->name);
    archive->stream = std::move(stream);
    if (ReadDirectory(archive.get(), &size_sum) != DirectoryResult::kOk) return nullptr;
    table.push_back(std::move(archive));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return table.back().get();
}

int ClosePackage(const char* path) {
  if (path == nullptr) return -1;
  std::string name(path);
  ToUpperInPlace(&name);
  auto& table = package_internal::Table();
  for (auto it = table.begin(); it != table.end(); ++it) {
    if ((*it)->name == name) {
      // Entries (with their text streams) and the package stream go with it.
      table.erase(it);
      return 0;
    }
  }
  return -1;
}

const std::vector<std::unique_ptr<PackageArchive>>& OpenPackages() {
  return package_internal::Table();
}

}  // namespace upkeep
