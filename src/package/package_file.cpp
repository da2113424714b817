#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "package/package.h"
#include "package/package_internal.h"
#include "platform/text.h"

namespace upkeep {

namespace {

constexpr uint32_t kDiskFileTag = 0x0D15CF17;

bool loose_file_reads = true;

struct DiskFile : PackageFile {
  std::unique_ptr<Stream> stream;
};

PackageEntry* AsEntry(PackageFile* file) {
  return file != nullptr && file->tag == kPackageEntryTag ? static_cast<PackageEntry*>(file)
                                                          : nullptr;
}

DiskFile* AsDisk(PackageFile* file) {
  return file != nullptr && file->tag == kDiskFileTag ? static_cast<DiskFile*>(file) : nullptr;
}

PackageEntry* FindOpenEntry(const std::string& key) {
  for (const auto& archive : package_internal::Table()) {
    for (const auto& entry : archive->entries) {
      if (entry->name == key) return entry.get();
    }
  }
  return nullptr;
}

PackageFile* OpenEntry(PackageEntry* entry, bool text) {
  entry->position = 0;
  // Any earlier text stream goes now, so re-opening never piles streams up.
  entry->stream = nullptr;
  entry->text_stream.reset();
  if (!text) return entry;
  // Text mode reads the program file through a stream of its own.
  if (entry->packedSize != 0 || entry->inVolumes || entry->archive == nullptr) return nullptr;
  // By the path as given: an upper-cased copy would name another file where
  // letter case matters.
  entry->text_stream = Stream::Open(entry->archive->path, "rt");
  if (entry->text_stream == nullptr) return nullptr;
  entry->stream = entry->text_stream.get();
  return entry;
}

// elemSize * count, saturated instead of wrapping.
uint64_t RequestBytes(size_t elemSize, size_t count) {
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  if (count != 0 && elemSize > max / count) return max;
  return static_cast<uint64_t>(elemSize) * count;
}

size_t ReadPacked(PackageEntry* entry, void* dest, size_t elemSize, size_t count) {
  if (entry->position != 0 || RequestBytes(elemSize, count) != entry->size) return 0;
  std::vector<uint8_t> stored;
  try {
    stored.resize(entry->packedSize);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  if (!entry->source->ReadAt(entry->offset, stored.data(), stored.size())) return 0;
  if (!DecodePackedEntry(stored.data(), stored.size(), static_cast<uint8_t*>(dest),
                         static_cast<size_t>(entry->size))) {
    return 0;
  }
  entry->position = static_cast<int64_t>(entry->size);
  return count;
}

// Text mode delivers CR LF as LF, so a request may consume up to twice its
// length of raw bytes; ask in pieces that cannot pass the entry's end.
size_t ReadText(PackageEntry* entry, uint8_t* out, uint64_t n) {
  size_t done = 0;
  while (done < n) {
    const int64_t left = static_cast<int64_t>(entry->size) - entry->position;
    if (left <= 0) break;
    const int64_t at = static_cast<int64_t>(entry->offset) + entry->position;
    if (left == 1) {
      // The entry's last byte, read raw: a CR here must not pair with an LF
      // that belongs to the next entry.
      uint8_t c = 0;
      if (!entry->source->ReadAt(static_cast<uint64_t>(at), &c, 1)) break;
      if (c == 0x1A) break;  // Ctrl-Z ends a text stream
      out[done++] = c;
      entry->position = static_cast<int64_t>(entry->size);
      break;
    }
    uint64_t ask = static_cast<uint64_t>(left / 2);
    if (ask > n - done) ask = n - done;
    Stream* text = entry->stream;
    if (text->Seek(at, SeekOrigin::kBegin) != 0) break;
    const size_t got = text->Read(out + done, static_cast<size_t>(ask));
    done += got;
    int64_t now = text->Tell() - static_cast<int64_t>(entry->offset);
    if (now < entry->position) now = entry->position;
    if (now > static_cast<int64_t>(entry->size)) now = static_cast<int64_t>(entry->size);
    entry->position = now;
    if (got < ask) break;  // Ctrl-Z or the file ended
  }
  return done;
}

size_t ReadStored(PackageEntry* entry, void* dest, size_t elemSize, size_t count) {
  if (entry->position < 0 || static_cast<uint64_t>(entry->position) >= entry->size) return 0;
  uint64_t n = RequestBytes(elemSize, count);
  const uint64_t left = entry->size - static_cast<uint64_t>(entry->position);
  if (n > left) n = left;
  if (n > std::numeric_limits<size_t>::max()) return 0;
  if (entry->stream != nullptr) return ReadText(entry, static_cast<uint8_t*>(dest), n) / elemSize;
  // Positional: no other entry's reads move anything this one depends on.
  if (!entry->source->ReadAt(entry->offset + static_cast<uint64_t>(entry->position), dest,
                             static_cast<size_t>(n))) {
    return 0;
  }
  entry->position += static_cast<int64_t>(n);
  return static_cast<size_t>(n) / elemSize;
}

class LooseFileSource : public PackageSource {
 public:
  LooseFileSource(std::unique_ptr<File> file, uint64_t size)
      : file_(std::move(file)), size_(size) {}
  bool ReadAt(uint64_t offset, void* dst, size_t n) override {
    if (offset > size_ || n > size_ - offset) return false;
    return n == 0 || file_->ReadAt(offset, dst, n) == static_cast<int64_t>(n);
  }
  uint64_t size() const override { return size_; }

 private:
  std::unique_ptr<File> file_;
  uint64_t size_;
};

}  // namespace

PackageFile* OpenPackageFile(const char* name, const char* mode) {
  if (name == nullptr || mode == nullptr) return nullptr;
  const size_t length = package_internal::BoundedLength(name, kMaxPackagePath);
  if (length > kMaxPackagePath) return nullptr;
  std::string disk_name(name, length);
  ResolvePackagePath(&disk_name);
  // Entries are read-only: a name opened for writing always means a disk file.
  if (strchr(mode, 'w') == nullptr) {
    std::string key = disk_name;
    ToUpperInPlace(&key);
    if (PackageEntry* entry = FindOpenEntry(key))
      return OpenEntry(entry, strchr(mode, 't') != nullptr);
    if (!loose_file_reads && strchr(mode, 'a') == nullptr && strchr(mode, '+') == nullptr)
      return nullptr;
  }
  // The disk sees the caller's letter case; only the lookup is upper-cased.
  std::unique_ptr<Stream> stream = Stream::Open(disk_name, mode);
  if (stream == nullptr) return nullptr;
  DiskFile* file = new (std::nothrow) DiskFile;
  if (file == nullptr) return nullptr;
  file->tag = kDiskFileTag;
  file->stream = std::move(stream);
  return file;
}

PackageEntry* FindPackageEntry(const PackageArchive& archive, const char* name) {
  if (name == nullptr) return nullptr;
  const size_t length = package_internal::BoundedLength(name, kMaxPackagePath);
  if (length > kMaxPackagePath) return nullptr;
  std::string key(name, length);
  NormalizePackagePath(&key);
  for (const auto& entry : archive.entries) {
    if (entry->name == key) return entry.get();
  }
  return nullptr;
}

bool ReadPackageEntry(PackageEntry* entry, std::vector<uint8_t>* out) {
  if (entry == nullptr || out == nullptr) return false;
  OpenEntry(entry, false);
  if (entry->size > std::numeric_limits<size_t>::max()) return false;
  try {
    out->resize(static_cast<size_t>(entry->size));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return entry->size == 0 || ReadPackageFile(out->data(), 1, out->size(), entry) == out->size();
}

bool ReadEntryAt(const PackageEntry& entry, uint64_t at, void* dst, size_t n) {
  const uint64_t stored = entry.storedSize();
  if (at > stored || n > stored - at) return false;
  return n == 0 || entry.source->ReadAt(entry.offset + at, dst, n);
}

std::unique_ptr<PackageEntry> OpenLooseEntry(const char* name) {
  if (name == nullptr || !loose_file_reads) return nullptr;
  const size_t length = package_internal::BoundedLength(name, kMaxPackagePath);
  if (length > kMaxPackagePath) return nullptr;
  std::string disk_name(name, length);
  ResolvePackagePath(&disk_name);
  std::unique_ptr<File> file = GetFileSystem()->Open(disk_name, OpenMode::kRead);
  const int64_t size = file != nullptr ? file->Size() : -1;
  if (size < 0) return nullptr;
  auto entry = std::make_unique<PackageEntry>();
  entry->tag = kPackageEntryTag;
  entry->name = disk_name;
  NormalizePackagePath(&entry->name);
  entry->size = static_cast<uint64_t>(size);
  entry->own_source.reset(new LooseFileSource(std::move(file), entry->size));
  entry->source = entry->own_source.get();
  return entry;
}

void AllowLooseFileReads(bool allow) { loose_file_reads = allow; }

bool LooseFileReadsAllowed() { return loose_file_reads; }

int ClosePackageFile(PackageFile* file) {
  if (AsEntry(file) != nullptr) return 0;
  DiskFile* disk = AsDisk(file);
  if (disk == nullptr) return -1;
  const int result = disk->stream->Close();
  delete disk;
  return result;
}

int FlushPackageFile(PackageFile* file) {
  DiskFile* disk = AsDisk(file);
  return disk != nullptr && disk->stream->Sync() ? 0 : -1;
}

int PushPackageFile(PackageFile* file) {
  DiskFile* disk = AsDisk(file);
  return disk != nullptr && disk->stream->Flush() ? 0 : -1;
}

int SeekPackageFile(PackageFile* file, int32_t offset, int origin) {
  if (PackageEntry* entry = AsEntry(file)) {
    int64_t position = entry->position;
    switch (origin) {
      case 0:
        position = offset;
        break;
      case 1:
        position += offset;
        break;
      case 2:
        // Callers only ask for the end itself; any other offset counts from it.
        position = static_cast<int64_t>(entry->size) + offset;
        break;
      default:
        break;
    }
    if (position > static_cast<int64_t>(entry->size)) position = static_cast<int64_t>(entry->size);
    if (position < 0) position = 0;
    entry->position = position;
    return 0;
  }
  DiskFile* disk = AsDisk(file);
  if (disk == nullptr || origin < 0 || origin > 2) return -1;
  return disk->stream->Seek(offset, static_cast<SeekOrigin>(origin));
}

int32_t TellPackageFile(PackageFile* file) {
  if (PackageEntry* entry = AsEntry(file)) {
    return entry->position > std::numeric_limits<int32_t>::max()
               ? -1
               : static_cast<int32_t>(entry->position);
  }
  DiskFile* disk = AsDisk(file);
  if (disk == nullptr) return -1;
  const int64_t position = disk->stream->Tell();
  if (position < 0 || position > std::numeric_limits<int32_t>::max()) return -1;
  return static_cast<int32_t>(position);
}

size_t ReadPackageFile(void* dest, size_t elemSize, size_t count, PackageFile* file) {
  if (dest == nullptr || elemSize == 0 || count == 0) return 0;
  if (PackageEntry* entry = AsEntry(file)) {
    return entry->packedSize != 0 ? ReadPacked(entry, dest, elemSize, count)
                                  : ReadStored(entry, dest, elemSize, count);
  }
  DiskFile* disk = AsDisk(file);
  if (disk == nullptr) return 0;
  const uint64_t n = RequestBytes(elemSize, count);
  if (n > std::numeric_limits<size_t>::max()) return 0;
  return disk->stream->Read(dest, static_cast<size_t>(n)) / elemSize;
}

size_t WritePackageFile(const void* src, size_t elemSize, size_t count, PackageFile* file) {
  DiskFile* disk = AsDisk(file);
  if (disk == nullptr || src == nullptr || elemSize == 0 || count == 0) return 0;
  const uint64_t n = RequestBytes(elemSize, count);
  if (n > std::numeric_limits<size_t>::max()) return 0;
  return disk->stream->Write(src, static_cast<size_t>(n)) / elemSize;
}

int PrintfPackageFile(PackageFile* file, const char* format, ...) {
  DiskFile* disk = AsDisk(file);
  if (disk == nullptr || format == nullptr || !disk->stream->writable()) return -1;
  va_list args;
  va_start(args, format);
  const int result = disk->stream->VPrintf(format, args);
  va_end(args);
  return result;
}

}  // namespace upkeep
