#include "authoring/archive_writer.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "authoring/packed_entry_encoder.h"
#include "authoring/stub_image.h"
#include "package/package.h"
#include "platform/file_system.h"

namespace upkeep {

namespace {

constexpr uint64_t kMaxU32 = 0xFFFFFFFFu;

void AppendU32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void SetError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}

// Everything but the entry bytes, which are written from where they already are.
struct Layout {
  std::vector<std::vector<uint8_t>> packed;  // per entry; empty when stored
  std::vector<uint8_t> directory;            // count, records, trailer
};

bool Plan(const std::vector<uint8_t>& stub, const std::vector<ArchiveEntry>& entries,
          const ArchiveOptions& options, Layout* layout, std::string* error) {
  if (entries.size() + 1 > kMaxPackageEntries) {
    SetError(error, "too many entries");
    return false;
  }
  if (stub.size() > kMaxU32) {
    SetError(error, "stub too large");
    return false;
  }
  std::vector<std::string> names;
  std::set<std::string> seen;
  std::string stub_name;
  if (!NormalizeEntryName(options.stub_entry_name, &stub_name)) {
    SetError(error, "bad stub entry name: " + options.stub_entry_name);
    return false;
  }
  seen.insert(stub_name);
  for (const ArchiveEntry& entry : entries) {
    std::string name;
    if (!NormalizeEntryName(entry.name, &name)) {
      SetError(error, "bad entry name: " + entry.name);
      return false;
    }
    // A second entry of the same name could never be read.
    if (!seen.insert(name).second) {
      SetError(error, "duplicate entry name: " + name);
      return false;
    }
    if (entry.size() > kMaxU32) {
      SetError(error, "entry too large: " + name);
      return false;
    }
    if (entry.packed && entry.spool != nullptr) {
      SetError(error, "cannot pack a spooled entry: " + name);
      return false;
    }
    names.push_back(name);
  }

  layout->packed.assign(entries.size(), std::vector<uint8_t>());
  std::vector<uint8_t>& dir = layout->directory;
  dir.clear();
  AppendU32(&dir, static_cast<uint32_t>(entries.size() + 1));
  auto record = [&dir](uint64_t offset, uint64_t size, uint64_t packed_size,
                       const std::string& name) {
    AppendU32(&dir, static_cast<uint32_t>(offset));
    AppendU32(&dir, static_cast<uint32_t>(size));
    AppendU32(&dir, static_cast<uint32_t>(packed_size));
    AppendU32(&dir, static_cast<uint32_t>(name.size() + 1));
    dir.insert(dir.end(), name.begin(), name.end());
    dir.push_back(0);
  };
  record(0, stub.size(), 0, stub_name);
  uint64_t offset = stub.size();
  for (size_t i = 0; i < entries.size(); ++i) {
    const ArchiveEntry& entry = entries[i];
    uint64_t stored = entry.size();
    if (entry.packed) {
      if (!EncodePackedEntry(entry.data.data(), entry.data.size(), &layout->packed[i])) {
        SetError(error, "cannot pack entry: " + names[i]);
        return false;
      }
      stored = layout->packed[i].size();
    }
    if (offset > kMaxU32 || offset + stored > kMaxU32) {
      SetError(error, "package larger than 4 GiB");
      return false;
    }
    record(offset, entry.size(), entry.packed ? stored : 0, names[i]);
    offset += stored;
  }
  // Padding goes in front of the directory, which the trailer points past it.
  const uint64_t alignment = options.end_alignment == 0 ? 1 : options.end_alignment;
  const uint64_t unpadded = offset + dir.size() + 4;
  const uint64_t padding = (alignment - unpadded % alignment) % alignment;
  dir.insert(dir.begin(), static_cast<size_t>(padding), 0);
  offset += padding;
  if (offset > kMaxU32) {
    SetError(error, "package larger than 4 GiB");
    return false;
  }
  AppendU32(&dir, static_cast<uint32_t>(offset));  // the trailer
  return true;
}

constexpr size_t kSpoolPiece = size_t{1} << 20;

// Calls `sink(bytes, n)` for each piece of an entry's bytes; spooled bytes
// come a piece at a time.
template <typename Sink>
bool EmitEntry(const ArchiveEntry& entry, std::vector<uint8_t>* buffer, Sink& sink) {
  if (entry.spool == nullptr) return sink(entry.data.data(), entry.data.size());
  for (uint64_t done = 0; done < entry.spool_size;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(entry.spool_size - done, kSpoolPiece));
    buffer->resize(kSpoolPiece);
    if (!entry.spool->Read(entry.spool_offset + done, buffer->data(), n) ||
        !sink(buffer->data(), n))
      return false;
    done += n;
  }
  return true;
}

// Calls `sink(bytes, n)` for each piece of the package in file order.
template <typename Sink>
bool Emit(const std::vector<uint8_t>& stub, const std::vector<ArchiveEntry>& entries,
          const Layout& layout, Sink sink) {
  if (!sink(stub.data(), stub.size())) return false;
  std::vector<uint8_t> buffer;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].packed) {
      if (!sink(layout.packed[i].data(), layout.packed[i].size())) return false;
    } else if (!EmitEntry(entries[i], &buffer, sink)) {
      return false;
    }
  }
  return sink(layout.directory.data(), layout.directory.size());
}

// The stub with the PE checksum of the whole package in its header, or the
// stub as it is when it is no PE image. False when a spooled entry cannot be read.
bool ChecksummedStub(const std::vector<uint8_t>& stub, const std::vector<ArchiveEntry>& entries,
                     const Layout& layout, std::vector<uint8_t>* out) {
  *out = stub;
  const size_t at = PeChecksumOffset(*out);
  if (at == 0) return true;
  for (size_t i = 0; i < 4; ++i) (*out)[at + i] = 0;
  PeChecksum sum;
  if (!Emit(*out, entries, layout, [&sum](const uint8_t* p, size_t n) {
        sum.Add(p, n);
        return true;
      }))
    return false;
  const uint32_t value = sum.Value();
  for (size_t i = 0; i < 4; ++i) (*out)[at + i] = static_cast<uint8_t>(value >> (8 * i));
  return true;
}

bool WriteAll(File* file, const uint8_t* data, size_t size) {
  while (size > 0) {
    const int64_t put = file->Write(data, size);
    if (put <= 0) return false;
    data += put;
    size -= static_cast<size_t>(put);
  }
  return true;
}

bool ReadAll(const std::string& path, std::vector<uint8_t>* out) {
  std::unique_ptr<File> file = GetFileSystem()->Open(path, OpenMode::kRead);
  if (file == nullptr) return false;
  const int64_t size = file->Size();
  if (size < 0 || static_cast<uint64_t>(size) > kMaxU32) return false;
  try {
    out->resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return false;
  }
  size_t done = 0;
  while (done < out->size()) {
    const int64_t got = file->Read(out->data() + done, out->size() - done);
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

// A name beside `path` that nothing uses yet, so that no file of the user's is
// overwritten on the way.
std::string FreeName(FileSystem* fs, const std::string& path, const char* suffix) {
  std::string name = path + suffix;
  for (int n = 1; fs->GetAttributes(name) != kInvalidAttributes && n < 1000; ++n) {
    name = path + suffix + std::to_string(n);
  }
  return name;
}

// Moves `from` onto `to`, keeping the old `to` until the move has succeeded
// (Move itself refuses an existing target).
bool Replace(FileSystem* fs, const std::string& from, const std::string& to) {
  if (fs->GetAttributes(to) == kInvalidAttributes) return fs->Move(from, to);
  const std::string backup = FreeName(fs, to, ".old");
  if (!fs->Move(to, backup)) return false;
  if (!fs->Move(from, to)) {
    fs->Move(backup, to);
    return false;
  }
  fs->Delete(backup);
  return true;
}

}  // namespace

PayloadSpool::PayloadSpool(const std::string& path, std::unique_ptr<File> file)
    : path_(path), file_(std::move(file)) {}

std::shared_ptr<PayloadSpool> PayloadSpool::Create(const std::string& stem) {
  FileSystem* fs = GetFileSystem();
  const std::string path = FreeName(fs, stem, ".spool");
  if (fs->GetAttributes(path) != kInvalidAttributes) return nullptr;  // no free name left
  // Created empty, then opened again for both reading and writing.
  std::unique_ptr<File> file = fs->Open(path, OpenMode::kWrite);
  if (file == nullptr) return nullptr;
  file.reset();
  file = fs->Open(path, OpenMode::kReadWrite);
  if (file == nullptr) {
    fs->Delete(path);
    return nullptr;
  }
  return std::shared_ptr<PayloadSpool>(new PayloadSpool(path, std::move(file)));
}

PayloadSpool::~PayloadSpool() {
  file_.reset();  // closed before it can be deleted
  GetFileSystem()->Delete(path_);
}

bool PayloadSpool::Append(const uint8_t* data, size_t size) {
  if (size == 0) return true;
  if (file_->Seek(static_cast<int64_t>(end_), SeekOrigin::kBegin) < 0 ||
      !WriteAll(file_.get(), data, size))
    return false;
  end_ += size;
  return true;
}

void PayloadSpool::Cut(uint64_t end) { end_ = std::min(end_, end); }

bool PayloadSpool::Read(uint64_t offset, uint8_t* data, size_t size) {
  if (offset > end_ || size > end_ - offset) return false;
  if (file_->Seek(static_cast<int64_t>(offset), SeekOrigin::kBegin) < 0) return false;
  while (size > 0) {
    const int64_t got = file_->Read(data, size);
    if (got <= 0) return false;
    data += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

bool SameEntryBytes(const ArchiveEntry& a, const ArchiveEntry& b) {
  if (a.size() != b.size()) return false;
  if (a.spool == nullptr && b.spool == nullptr) return a.data == b.data;
  std::vector<uint8_t> pa, pb;
  // A piece of either entry, read from its spool when it is kept there.
  const auto piece = [](const ArchiveEntry& e, uint64_t at, size_t n,
                        std::vector<uint8_t>* buffer) -> const uint8_t* {
    if (e.spool == nullptr) return e.data.data() + at;
    buffer->resize(n);
    return e.spool->Read(e.spool_offset + at, buffer->data(), n) ? buffer->data() : nullptr;
  };
  for (uint64_t done = 0; done < a.size();) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(a.size() - done, kSpoolPiece));
    const uint8_t* x = piece(a, done, n, &pa);
    const uint8_t* y = piece(b, done, n, &pb);
    if (x == nullptr || y == nullptr || !std::equal(x, x + n, y)) return false;
    done += n;
  }
  return true;
}

bool NormalizeEntryName(const std::string& name, std::string* out) {
  std::string n = name;
  NormalizePackagePath(&n);
  if (n.empty() || n.size() > kMaxPackagePath || n.find('\0') != std::string::npos) return false;
  *out = n;
  return true;
}

bool BuildPackage(const std::vector<uint8_t>& stub, const std::vector<ArchiveEntry>& entries,
                  std::vector<uint8_t>* image, std::string* error, const ArchiveOptions& options) {
  Layout layout;
  try {
    if (!Plan(stub, entries, options, &layout, error)) return false;
    image->clear();
    std::vector<uint8_t> head;
    if (options.pe_checksum && !ChecksummedStub(stub, entries, layout, &head)) {
      SetError(error, "cannot read the spool");
      return false;
    }
    if (!Emit(options.pe_checksum ? head : stub, entries, layout,
              [image](const uint8_t* p, size_t n) {
                image->insert(image->end(), p, p + n);
                return true;
              })) {
      SetError(error, "cannot read the spool");
      image->clear();
      return false;
    }
    return true;
  } catch (const std::bad_alloc&) {
    SetError(error, "out of memory");
    image->clear();
    return false;
  }
}

bool WritePackage(const std::string& path, const std::vector<uint8_t>& stub,
                  const std::vector<ArchiveEntry>& entries, std::string* error,
                  const ArchiveOptions& options) {
  Layout layout;
  std::vector<uint8_t> head;
  try {
    if (!Plan(stub, entries, options, &layout, error)) return false;
    if (options.pe_checksum && !ChecksummedStub(stub, entries, layout, &head)) {
      SetError(error, "cannot read the spool");
      return false;
    }
  } catch (const std::bad_alloc&) {
    SetError(error, "out of memory");
    return false;
  }
  FileSystem* fs = GetFileSystem();
  const uint32_t attributes = fs->GetAttributes(path);
  if (attributes != kInvalidAttributes && (attributes & kAttrDirectory)) {
    SetError(error, path + " is a directory");
    return false;
  }
  const std::string temp = FreeName(fs, path, ".part");
  std::unique_ptr<File> file = fs->Open(temp, OpenMode::kWrite);
  if (file == nullptr) {
    SetError(error, "cannot create " + temp);
    return false;
  }
  const bool written =
      Emit(options.pe_checksum ? head : stub, entries, layout,
           [&file](const uint8_t* p, size_t n) { return WriteAll(file.get(), p, n); });
  file.reset();  // closed before the rename
  if (!written) {
    fs->Delete(temp);
    SetError(error, "cannot write " + temp);
    return false;
  }
  if (!Replace(fs, temp, path)) {
    fs->Delete(temp);
    SetError(error, "cannot rename " + temp + " to " + path);
    return false;
  }
  return true;
}

bool WritePackageWithStubFile(const std::string& path, const std::string& stub_path,
                              const std::vector<ArchiveEntry>& entries, std::string* error,
                              const ArchiveOptions& options) {
  std::vector<uint8_t> stub;
  if (!stub_path.empty() && !ReadAll(stub_path, &stub)) {
    SetError(error, "cannot read stub " + stub_path);
    return false;
  }
  return WritePackage(path, stub, entries, error, options);
}

}  // namespace upkeep
