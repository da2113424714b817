#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "package/manifest.h"
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

bool ReadAt(PackageSource* source, int64_t at, void* dst, size_t n) {
  return at >= 0 && source->ReadAt(static_cast<uint64_t>(at), dst, n);
}

uint16_t LoadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Reads [at, end) of a source in order through a buffer: a directory of many
// records costs a few reads, not one per field.
class SequentialReader {
 public:
  SequentialReader(PackageSource* source, int64_t at, int64_t end)
      : source_(source), at_(at), end_(end) {}
  bool Read(void* dst, size_t n) {
    uint8_t* out = static_cast<uint8_t*>(dst);
    while (n > 0) {
      if (pos_ == have_) {
        const int64_t left = end_ - at_;
        if (left <= 0) return false;
        have_ = static_cast<size_t>(std::min<int64_t>(left, sizeof buffer_));
        pos_ = 0;
        if (!ReadAt(source_, at_, buffer_, have_)) return false;
        at_ += static_cast<int64_t>(have_);
      }
      const size_t k = std::min(n, have_ - pos_);
      std::memcpy(out, buffer_ + pos_, k);
      pos_ += k;
      out += k;
      n -= k;
    }
    return true;
  }

 private:
  PackageSource* source_;
  int64_t at_;
  int64_t end_;
  uint8_t buffer_[65536];
  size_t pos_ = 0, have_ = 0;
};

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
Signature FindCertificateTable(PackageSource* source, int64_t file_size, int64_t* table) {
  uint8_t dos[64];
  if (file_size < static_cast<int64_t>(sizeof dos) || !ReadAt(source, 0, dos, sizeof dos) ||
      dos[0] != 'M' || dos[1] != 'Z') {
    return Signature::kNone;
  }
  const int64_t nt = LoadU32(dos + 0x3C);
  uint8_t head[24];
  if (nt > kMaxHeaderOffset || nt + 24 > file_size || !ReadAt(source, nt, head, sizeof head) ||
      head[0] != 'P' || head[1] != 'E' || head[2] != 0 || head[3] != 0) {
    return Signature::kNone;
  }
  const int64_t optional_size = LoadU16(head + 20);
  uint8_t optional[240] = {};
  const int64_t got = optional_size < 240 ? optional_size : 240;
  if (got < 2 || nt + 24 + got > file_size ||
      !ReadAt(source, nt + 24, optional, static_cast<size_t>(got))) {
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
                               int64_t* dir_offset);

// Reads the trailer and directory, checking every offset and length against
// the file before it is used, so a malformed archive is refused without a read
// outside the file. The archive ends the file, or, in a signed program, the
// bytes below its certificate table (after at most 7 zero bytes of padding);
// there its directory must also end right at the trailer, so that padding is
// never mistaken for part of one.
DirectoryResult ReadDirectory(PackageArchive* archive, int64_t* dir_offset) {
  PackageSource* source = archive->source.get();
  const int64_t file_size = static_cast<int64_t>(source->size());
  if (file_size < 8) return DirectoryResult::kMalformed;
  int64_t table = 0;
  switch (FindCertificateTable(source, file_size, &table)) {
    case Signature::kNone:
      return ParseDirectory(archive, file_size, false, dir_offset);
    case Signature::kMalformed:
      return DirectoryResult::kMalformed;
    case Signature::kAtEnd:
      break;
  }
  uint8_t below[kMaxSignerPadding] = {};
  const int64_t padding_room = table - 8 < kMaxSignerPadding ? table - 8 : kMaxSignerPadding;
  if (padding_room > 0 &&
      !ReadAt(source, table - padding_room, below + kMaxSignerPadding - padding_room,
              static_cast<size_t>(padding_room))) {
    return DirectoryResult::kMalformed;
  }
  for (int64_t padding = 0; padding <= padding_room; ++padding) {
    if (padding > 0 && below[kMaxSignerPadding - padding] != 0) break;
    const DirectoryResult result = ParseDirectory(archive, table - padding, true, dir_offset);
    if (result != DirectoryResult::kMalformed) return result;
    archive->entries.clear();
  }
  return DirectoryResult::kMalformed;
}

// The archive whose trailer is the last four of its `archive_end` bytes;
// `exact` also asks that the directory end right at the trailer.
DirectoryResult ParseDirectory(PackageArchive* archive, int64_t archive_end, bool exact,
                               int64_t* dir_offset_out) {
  PackageSource* source = archive->source.get();
  const int64_t file_size = archive_end;  // nothing of the archive lies beyond it
  if (file_size < 8) return DirectoryResult::kMalformed;
  const int64_t dir_end = file_size - 4;  // the trailer follows the directory

  uint8_t word[4];
  if (!ReadAt(source, dir_end, word, 4)) return DirectoryResult::kMalformed;
  const int64_t dir_offset = LoadU32(word);
  if (dir_offset + 4 > dir_end || !ReadAt(source, dir_offset, word, 4)) {
    return DirectoryResult::kMalformed;
  }
  const uint32_t count = LoadU32(word);
  if (count > kMaxPackageEntries) return DirectoryResult::kMalformed;
  int64_t pos = dir_offset + 4;
  if (static_cast<int64_t>(count) * kMinRecordSize > dir_end - pos) {
    return DirectoryResult::kMalformed;
  }

  std::unique_ptr<SequentialReader> reader(new (std::nothrow)
                                               SequentialReader(source, pos, dir_end));
  if (reader == nullptr) return DirectoryResult::kNoMemory;
  std::vector<char> name(kMaxEntryNameLength);
  try {
    archive->entries.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
      uint8_t record[kRecordHeaderSize];
      if (pos + kRecordHeaderSize > dir_end || !reader->Read(record, sizeof record)) {
        return DirectoryResult::kMalformed;
      }
      pos += kRecordHeaderSize;
      const uint32_t offset = LoadU32(record);
      const uint32_t size = LoadU32(record + 4);
      const uint32_t packed_size = LoadU32(record + 8);
      const uint32_t name_length = LoadU32(record + 12);
      if (name_length == 0 || name_length > kMaxEntryNameLength || pos + name_length > dir_end ||
          !reader->Read(name.data(), name_length) || name[name_length - 1] != 0) {
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
      entry->archive = archive;
      entry->source = source;
      archive->entries.push_back(std::move(entry));
    }
  } catch (const std::bad_alloc&) {
    return DirectoryResult::kNoMemory;
  }
  if (exact && pos != dir_end) return DirectoryResult::kMalformed;
  archive->entryCount = static_cast<int32_t>(count);
  *dir_offset_out = dir_offset;
  return DirectoryResult::kOk;
}

enum class ManifestResult { kNone, kFound, kDamaged, kNoMemory };

// The manifest that ends right before the directory (after at most 7 zero
// bytes of padding), found by its footer whatever the directory says: a
// damaged record cannot make a package with a manifest pass for one without.
ManifestResult FindManifest(PackageArchive* archive, int64_t dir_offset, Manifest* manifest,
                            int64_t* start) {
  PackageSource* source = archive->source.get();
  uint8_t tail[8 + 7] = {};
  const int64_t room = std::min<int64_t>(dir_offset, sizeof tail);
  if (room > 0 &&
      !ReadAt(source, dir_offset - room, tail + sizeof tail - room, static_cast<size_t>(room))) {
    return ManifestResult::kDamaged;
  }
  for (int64_t padding = 0; padding <= 7 && padding + 8 <= room; ++padding) {
    if (padding > 0 && tail[sizeof tail - padding] != 0) break;
    const uint8_t* end = tail + sizeof tail - padding;
    if (std::memcmp(end - 4, kManifestFooterMagic, 4) != 0) continue;
    const int64_t length = LoadU32(end - 8);
    *start = dir_offset - padding - length;
    if (length < static_cast<int64_t>(kManifestFooterSize) ||
        length > static_cast<int64_t>(kMaxManifestSize) || *start < 0) {
      return ManifestResult::kDamaged;
    }
    std::vector<uint8_t> bytes;
    try {
      bytes.resize(static_cast<size_t>(length));
    } catch (const std::bad_alloc&) {
      return ManifestResult::kNoMemory;
    }
    if (!ReadAt(source, *start, bytes.data(), bytes.size()) ||
        !ParseManifest(bytes.data(), bytes.size(), manifest)) {
      return ManifestResult::kDamaged;
    }
    return ManifestResult::kFound;
  }
  // A record named as the manifest without one: the footer was damaged.
  for (const auto& e : archive->entries) {
    if (e->name == kManifestEntryName) return ManifestResult::kDamaged;
  }
  return ManifestResult::kNone;
}

bool SameRecord(const PackageEntry& e, const ManifestEntry& m) {
  return !m.inVolumes && e.name == m.name && e.offset == m.offset && e.size == m.size &&
         e.packedSize == m.packedSize;
}

// The directory must be exactly the stub, the manifest's own entries in its
// order, and the manifest itself: anything else is damage.
bool DirectoryAgrees(const PackageArchive& archive, const Manifest& manifest,
                     int64_t manifest_start, int64_t dir_offset) {
  const auto& records = archive.entries;
  size_t in_archive = 0;
  for (const ManifestEntry& m : manifest.entries) in_archive += m.inVolumes ? 0 : 1;
  if (records.size() != in_archive + 2 || records.front()->offset != 0) return false;
  size_t i = 1;
  for (const ManifestEntry& m : manifest.entries) {
    if (m.inVolumes) continue;
    if (!SameRecord(*records[i++], m)) return false;
  }
  const PackageEntry& own = *records.back();
  return own.name == kManifestEntryName && own.packedSize == 0 &&
         static_cast<int64_t>(own.offset) == manifest_start &&
         static_cast<int64_t>(own.offset + own.size) <= dir_offset &&
         dir_offset - static_cast<int64_t>(own.offset + own.size) <= 7;
}

std::string FolderOf(const std::string& path) {
  const size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

// Opens the volumes beside the program: by the name make gave each, else by
// the program's own name (a download saved under another name).
bool MountVolumes(PackageArchive* archive, const Manifest& manifest, PackageProblem* problem) {
  FileSystem* fs = GetFileSystem();
  auto set = std::make_unique<package_internal::VolumeSet>();
  const std::string folder = FolderOf(archive->path);
  for (size_t i = 0; i < manifest.volumes.size(); ++i) {
    const ManifestVolume& v = manifest.volumes[i];
    PackageVolume mounted;
    mounted.name = v.name;
    mounted.size = v.size;
    mounted.digest = v.digest;
    mounted.path = folder + v.name;
    std::unique_ptr<File> file = fs->Open(mounted.path, OpenMode::kRead);
    if (file == nullptr) {
      const std::string renamed = folder + VolumeFileName(archive->path, i);
      file = fs->Open(renamed, OpenMode::kRead);
      if (file != nullptr) mounted.path = renamed;
    }
    if (file == nullptr) {
      problem->kind = PackageProblem::kVolumeMissing;
      problem->file = mounted.path;
      return false;
    }
    const int64_t size = file->Size();
    if (size < 0 || static_cast<uint64_t>(size) != v.size) {
      problem->kind = PackageProblem::kVolumeWrongSize;
      problem->file = mounted.path;
      return false;
    }
    set->Add(std::move(file), v.size);
    archive->volumeList.push_back(std::move(mounted));
  }
  archive->volumes = std::move(set);
  return true;
}

// Checks the manifest against the directory, mounts the volumes and gives
// every entry its digest; the volumes' entries join the list.
bool TakeManifest(PackageArchive* archive, const Manifest& manifest, int64_t manifest_start,
                  int64_t dir_offset, PackageProblem* problem) {
  problem->file = archive->path;
  if (!DirectoryAgrees(*archive, manifest, manifest_start, dir_offset)) {
    problem->kind = PackageProblem::kManifestDamaged;
    return false;
  }
  uint64_t volume_bytes = 0;
  for (const ManifestVolume& v : manifest.volumes) {
    if (v.size > UINT64_MAX - volume_bytes) {
      problem->kind = PackageProblem::kManifestDamaged;
      return false;
    }
    volume_bytes += v.size;
  }
  for (const ManifestEntry& m : manifest.entries) {
    std::string normalized = m.name;
    NormalizePackagePath(&normalized);
    if (m.inVolumes && (m.packedSize != 0 || m.offset > volume_bytes ||
                        m.size > volume_bytes - m.offset || normalized != m.name)) {
      problem->kind = PackageProblem::kManifestDamaged;
      return false;
    }
  }
  if (!MountVolumes(archive, manifest, problem)) return false;
  size_t i = 1;
  for (const ManifestEntry& m : manifest.entries) {
    PackageEntry* entry;
    if (m.inVolumes) {
      auto added = std::make_unique<PackageEntry>();
      added->tag = kPackageEntryTag;
      added->name = m.name;
      added->offset = m.offset;
      added->size = m.size;
      added->archive = archive;
      added->source = archive->volumes.get();
      added->inVolumes = true;
      entry = added.get();
      archive->entries.push_back(std::move(added));
    } else {
      entry = archive->entries[i++].get();
    }
    entry->hasDigest = true;
    entry->digest = m.digest;
  }
  archive->hasManifest = true;
  problem->kind = PackageProblem::kNone;
  problem->file.clear();
  return true;
}

}  // namespace

PackageArchive* OpenPackage(const char* path, PackageProblem* problem) {
  PackageProblem ignored;
  if (problem == nullptr) problem = &ignored;
  *problem = PackageProblem();
  if (path == nullptr) {
    problem->kind = PackageProblem::kCannotOpen;
    return nullptr;
  }
  const size_t length = package_internal::BoundedLength(path, kMaxPackagePath);
  problem->file.assign(path, std::min(length, kMaxPackagePath));
  problem->kind = PackageProblem::kCannotOpen;
  if (length > kMaxPackagePath) return nullptr;
  std::unique_ptr<File> file = GetFileSystem()->Open(std::string(path, length), OpenMode::kRead);
  const int64_t size = file != nullptr ? file->Size() : -1;
  if (size < 0) return nullptr;

  auto& table = package_internal::Table();
  try {
    auto archive = std::make_unique<PackageArchive>();
    archive->path.assign(path, length);
    archive->name = archive->path;
    ToUpperInPlace(&archive->name);
    archive->source = std::make_unique<package_internal::FileSource>(std::move(file),
                                                                     static_cast<uint64_t>(size));
    int64_t dir_offset = 0;
    const DirectoryResult read = ReadDirectory(archive.get(), &dir_offset);
    if (read != DirectoryResult::kOk) {
      problem->kind = read == DirectoryResult::kNoMemory ? PackageProblem::kNoMemory
                                                         : PackageProblem::kMalformed;
      return nullptr;
    }
    Manifest manifest;
    int64_t manifest_start = 0;
    switch (FindManifest(archive.get(), dir_offset, &manifest, &manifest_start)) {
      case ManifestResult::kNone:
        break;
      case ManifestResult::kDamaged:
        problem->kind = PackageProblem::kManifestDamaged;
        return nullptr;
      case ManifestResult::kNoMemory:
        problem->kind = PackageProblem::kNoMemory;
        return nullptr;
      case ManifestResult::kFound:
        if (!TakeManifest(archive.get(), manifest, manifest_start, dir_offset, problem))
          return nullptr;
        break;
    }
    table.push_back(std::move(archive));
  } catch (const std::bad_alloc&) {
    problem->kind = PackageProblem::kNoMemory;
    return nullptr;
  }
  *problem = PackageProblem();
  return table.back().get();
}

int ClosePackage(const char* path) {
  if (path == nullptr) return -1;
  std::string name(path);
  ToUpperInPlace(&name);
  auto& table = package_internal::Table();
  for (auto it = table.begin(); it != table.end(); ++it) {
    if ((*it)->name == name) {
      // Entries (with their text streams), the file and the volumes go with it.
      table.erase(it);
      return 0;
    }
  }
  return -1;
}

PackageArchive* FindOpenPackage(const std::string& path) {
  std::string name = path;
  ToUpperInPlace(&name);
  for (const auto& archive : package_internal::Table()) {
    if (archive->name == name) return archive.get();
  }
  return nullptr;
}

const std::vector<std::unique_ptr<PackageArchive>>& OpenPackages() {
  return package_internal::Table();
}

}  // namespace upkeep
