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
#include "package/manifest.h"
#include "package/package.h"
#include "package/payload_stream.h"
#include "package/sha256.h"
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
  std::vector<uint64_t> offsets;             // per entry, in the file
  std::vector<std::string> names;            // per entry, as stored
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
  layout->offsets.clear();
  layout->names = names;
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
    layout->offsets.push_back(offset);
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

bool PayloadSpool::Overwrite(uint64_t offset, const uint8_t* data, size_t size) {
  if (offset > end_ || size > end_ - offset) return false;
  return file_->Seek(static_cast<int64_t>(offset), SeekOrigin::kBegin) >= 0 &&
         WriteAll(file_.get(), data, size);
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

namespace {

bool WriteWithManifest(const std::string& path, const std::vector<uint8_t>& stub,
                       const std::vector<ArchiveEntry>& entries, std::string* error,
                       const ArchiveOptions& options, std::vector<std::string>* volumes);

}  // namespace

bool WritePackage(const std::string& path, const std::vector<uint8_t>& stub,
                  const std::vector<ArchiveEntry>& entries, std::string* error,
                  const ArchiveOptions& options, std::vector<std::string>* volumes) {
  if (volumes != nullptr) volumes->clear();
  if (options.manifest) return WriteWithManifest(path, stub, entries, error, options, volumes);
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

namespace {

// Where each entry goes: the program file, or the volumes (at an offset of
// their concatenation). Scripts and texts always stay in the program file;
// payloads stay there while it keeps within the volume size, and from the
// first that would take it past, every later one goes to the volumes.
struct Placement {
  std::vector<bool> in_volumes;
  std::vector<uint64_t> volume_offset;
  uint64_t volume_bytes = 0;
};

Placement Place(const std::vector<uint8_t>& stub, const std::vector<ArchiveEntry>& entries,
                uint64_t fixed, uint64_t limit) {
  Placement p;
  p.in_volumes.assign(entries.size(), false);
  p.volume_offset.assign(entries.size(), 0);
  uint64_t program = stub.size() + fixed;
  for (const ArchiveEntry& e : entries) {
    if (!IsPayloadEntryName(e.name) || e.packed) program += e.size();
  }
  bool spilling = false;
  for (size_t i = 0; i < entries.size(); ++i) {
    const ArchiveEntry& e = entries[i];
    if (!IsPayloadEntryName(e.name) || e.packed) continue;
    if (!spilling && program + e.size() <= limit) {
      program += e.size();
      continue;
    }
    spilling = true;
    p.in_volumes[i] = true;
    p.volume_offset[i] = p.volume_bytes;
    p.volume_bytes += e.size();
  }
  return p;
}

// The manifest of these entries, digests and offsets still to fill in: its
// size is already the final one.
Manifest Skeleton(const std::vector<std::string>& names, const Placement& placement,
                  const std::vector<ArchiveEntry>& entries, size_t volume_count,
                  const std::string& path) {
  Manifest m;
  for (size_t v = 0; v < volume_count; ++v) {
    ManifestVolume volume;
    volume.name = VolumeFileName(path, v);
    m.volumes.push_back(volume);
  }
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < entries.size(); ++i) {
      if (placement.in_volumes[i] != (pass == 1)) continue;
      ManifestEntry e;
      e.name = names[i];
      e.inVolumes = placement.in_volumes[i];
      e.size = entries[i].size();
      m.entries.push_back(e);
    }
  }
  return m;
}

std::string FolderOf(const std::string& path) {
  const size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

// Writes the volumes: the volume entries end to end, cut every `limit`
// bytes, into temporary files beside `path`; each volume's and each entry's
// SHA-256 on the way.
bool WriteVolumes(const std::string& path, const std::vector<ArchiveEntry>& entries,
                  const Placement& placement, uint64_t limit, Manifest* manifest,
                  std::vector<Sha256Digest>* entry_digests, std::vector<std::string>* temps,
                  std::string* error) {
  FileSystem* fs = GetFileSystem();
  const std::string folder = FolderOf(path);
  size_t volume = 0;
  uint64_t in_volume = 0;
  std::unique_ptr<File> file;
  Sha256 whole;
  const auto close = [&]() {
    manifest->volumes[volume].size = in_volume;
    manifest->volumes[volume].digest = whole.Finish();
    file.reset();
  };
  const auto open = [&]() {
    const std::string target = folder + manifest->volumes[volume].name;
    temps->push_back(FreeName(fs, target, ".part"));
    file = fs->Open(temps->back(), OpenMode::kWrite);
    in_volume = 0;
    if (file == nullptr) SetError(error, "cannot create " + temps->back());
    return file != nullptr;
  };
  if (manifest->volumes.empty()) return true;
  if (!open()) return false;
  std::vector<uint8_t> buffer;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!placement.in_volumes[i]) continue;
    Sha256 sha;
    const auto sink = [&](const uint8_t* p, size_t n) {
      sha.Update(p, n);
      while (n > 0) {
        if (in_volume == limit) {
          close();
          ++volume;
          if (!open()) return false;
        }
        const size_t k = static_cast<size_t>(std::min<uint64_t>(n, limit - in_volume));
        if (!WriteAll(file.get(), p, k)) {
          SetError(error, "cannot write " + temps->back());
          return false;
        }
        whole.Update(p, k);
        in_volume += k;
        p += k;
        n -= k;
      }
      return true;
    };
    if (!EmitEntry(entries[i], &buffer, sink)) {
      if (error != nullptr && error->empty()) SetError(error, "cannot read the spool");
      return false;
    }
    (*entry_digests)[i] = sha.Finish();
  }
  close();
  return true;
}

Sha256Digest StoredDigest(const ArchiveEntry& entry, const std::vector<uint8_t>& packed, bool* ok) {
  Sha256 sha;
  if (entry.packed) {
    sha.Update(packed.data(), packed.size());
  } else {
    std::vector<uint8_t> buffer;
    auto sink = [&sha](const uint8_t* p, size_t n) {
      sha.Update(p, n);
      return true;
    };
    *ok = EmitEntry(entry, &buffer, sink);
  }
  return sha.Finish();
}

bool WriteWithManifest(const std::string& path, const std::vector<uint8_t>& stub,
                       const std::vector<ArchiveEntry>& entries, std::string* error,
                       const ArchiveOptions& options, std::vector<std::string>* volumes) {
  const uint64_t limit =
      std::min<uint64_t>(options.volume_size != 0 ? options.volume_size : kMaxU32, kMaxU32);
  std::vector<std::string> names;
  for (const ArchiveEntry& e : entries) {
    std::string name;
    if (!NormalizeEntryName(e.name, &name)) {
      SetError(error, "bad entry name: " + e.name);
      return false;
    }
    names.push_back(name);
  }
  // The program file's own share: the directory of every entry (an upper
  // bound), the manifest, the trailer and the alignment, fixed before the
  // payloads are placed; the manifest's size hangs on the count of volumes,
  // which hangs on the placement, so the two are settled together.
  uint64_t directory = 4 + 2 * (16 + 1024);
  for (const std::string& n : names) directory += 16 + n.size() + 1;
  // The manifest's size hangs on the count of volumes alone, which hangs on
  // the placement: settled in a few rounds (the count only grows).
  Placement placement;
  size_t volume_count = 0;
  std::vector<uint8_t> manifest_bytes;
  for (int round = 0; round < 8; ++round) {
    placement.in_volumes.assign(entries.size(), false);
    WriteManifest(Skeleton(names, placement, entries, volume_count, path), &manifest_bytes);
    placement = Place(stub, entries, directory + manifest_bytes.size() + 16, limit);
    const bool spilled = std::find(placement.in_volumes.begin(), placement.in_volumes.end(),
                                   true) != placement.in_volumes.end();
    const size_t count = spilled ? static_cast<size_t>(std::max<uint64_t>(
                                       1, (placement.volume_bytes + limit - 1) / limit))
                                 : 0;
    if (count == volume_count) break;
    volume_count = count;
  }
  Manifest manifest = Skeleton(names, placement, entries, volume_count, path);

  std::vector<Sha256Digest> digests(entries.size());
  std::vector<std::string> temps;
  const auto fail = [&](const std::string& why) {
    for (const std::string& t : temps) GetFileSystem()->Delete(t);
    if (!why.empty()) SetError(error, why);
    return false;
  };
  std::string why;
  if (!WriteVolumes(path, entries, placement, limit, &manifest, &digests, &temps, &why))
    return fail(why);

  // The program file's entries, the manifest last (its size is known: the
  // skeleton's), laid out to learn their offsets, then filled in.
  std::vector<ArchiveEntry> own;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!placement.in_volumes[i]) own.push_back(entries[i]);
  }
  ArchiveEntry manifest_entry;
  manifest_entry.name = kManifestEntryName;
  WriteManifest(manifest, &manifest_entry.data);
  own.push_back(manifest_entry);
  Layout layout;
  try {
    if (!Plan(stub, own, options, &layout, &why)) return fail(why);
  } catch (const std::bad_alloc&) {
    return fail("out of memory");
  }
  size_t next_own = 0;
  for (ManifestEntry& m : manifest.entries) {
    if (m.inVolumes) continue;
    const size_t k = next_own++;
    bool ok = true;
    m.offset = layout.offsets[k];
    m.packedSize = own[k].packed ? static_cast<uint32_t>(layout.packed[k].size()) : 0;
    m.digest = StoredDigest(own[k], layout.packed[k], &ok);
    if (!ok) return fail("cannot read the spool");
  }
  for (ManifestEntry& m : manifest.entries) {
    if (!m.inVolumes) continue;
    for (size_t i = 0; i < entries.size(); ++i) {
      if (placement.in_volumes[i] && names[i] == m.name) {
        m.offset = placement.volume_offset[i];
        m.digest = digests[i];
        break;
      }
    }
  }
  WriteManifest(manifest, &own.back().data);
  std::vector<uint8_t> head;
  try {
    if (!Plan(stub, own, options, &layout, &why)) return fail(why);
    if (options.pe_checksum && !ChecksummedStub(stub, own, layout, &head))
      return fail("cannot read the spool");
  } catch (const std::bad_alloc&) {
    return fail("out of memory");
  }
  FileSystem* fs = GetFileSystem();
  const uint32_t attributes = fs->GetAttributes(path);
  if (attributes != kInvalidAttributes && (attributes & kAttrDirectory))
    return fail(path + " is a directory");
  const std::string temp = FreeName(fs, path, ".part");
  std::unique_ptr<File> file = fs->Open(temp, OpenMode::kWrite);
  if (file == nullptr) return fail("cannot create " + temp);
  temps.push_back(temp);
  const bool written =
      Emit(options.pe_checksum ? head : stub, own, layout,
           [&file](const uint8_t* p, size_t n) { return WriteAll(file.get(), p, n); });
  file.reset();
  if (!written) return fail("cannot write " + temp);
  // The volumes first: a program file in place always finds its volumes.
  const std::string folder = FolderOf(path);
  for (size_t v = 0; v < manifest.volumes.size(); ++v) {
    const std::string target = folder + manifest.volumes[v].name;
    if (!Replace(fs, temps[v], target)) return fail("cannot rename " + temps[v] + " to " + target);
    if (volumes != nullptr) volumes->push_back(target);
  }
  if (!Replace(fs, temp, path)) return fail("cannot rename " + temp + " to " + path);
  return true;
}

}  // namespace

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
