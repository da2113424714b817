#include "package/package_check.h"

#include <algorithm>
#include <memory>
#include <new>

#include "package/sha256.h"

namespace upkeep {

namespace {

constexpr size_t kPiece = size_t{1} << 20;

struct Pending {
  const PackageEntry* entry;
  Sha256 sha;
};

bool HashRange(PackageSource* source, uint64_t offset, uint64_t size, uint8_t* buffer, Sha256* sha,
               uint64_t* done, uint64_t total, const CheckProgress& progress) {
  for (uint64_t at = 0; at < size;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size - at, kPiece));
    if (!source->ReadAt(offset + at, buffer, n)) return false;
    sha->Update(buffer, n);
    at += n;
    *done += n;
    if (progress) progress(*done, total);
  }
  return true;
}

}  // namespace

bool EntryDigestMatches(const PackageEntry& entry) {
  if (!entry.hasDigest) return true;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kPiece]);
  if (buffer == nullptr || entry.source == nullptr) return false;
  Sha256 sha;
  uint64_t done = 0;
  return HashRange(entry.source, entry.offset, entry.storedSize(), buffer.get(), &sha, &done, 0,
                   nullptr) &&
         sha.Finish() == entry.digest;
}

bool CheckPackageData(const PackageArchive& archive,
                      const std::vector<const PackageEntry*>& entries,
                      const CheckProgress& progress, std::string* damagedFile) {
  std::vector<const PackageEntry*> own, in_volumes;
  uint64_t total = 0;
  for (const PackageEntry* e : entries) {
    if (e == nullptr || !e->hasDigest) continue;
    if (e->inVolumes) {
      in_volumes.push_back(e);
    } else {
      own.push_back(e);
      total += e->storedSize();
    }
  }
  for (const PackageVolume& v : archive.volumeList) total += v.size;
  std::sort(in_volumes.begin(), in_volumes.end(),
            [](const PackageEntry* a, const PackageEntry* b) { return a->offset < b->offset; });
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kPiece]);
  if (buffer == nullptr) {
    *damagedFile = archive.path;
    return false;
  }
  uint64_t done = 0;
  if (progress) progress(0, total);

  for (const PackageEntry* e : own) {
    Sha256 sha;
    if (!HashRange(archive.source.get(), e->offset, e->storedSize(), buffer.get(), &sha, &done,
                   total, progress) ||
        sha.Finish() != e->digest) {
      *damagedFile = archive.path;
      return false;
    }
  }

  // The volumes in order, each whole; an entry's digest grows from the same
  // pieces while the pass is inside it.
  PackageSource* volumes = archive.volumes.get();
  std::vector<Pending> active;
  size_t next = 0;
  uint64_t at = 0;
  for (const PackageVolume& v : archive.volumeList) {
    Sha256 whole;
    const uint64_t end = at + v.size;
    while (at < end) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(end - at, kPiece));
      if (volumes == nullptr || !volumes->ReadAt(at, buffer.get(), n)) {
        *damagedFile = v.path;
        return false;
      }
      whole.Update(buffer.get(), n);
      const uint64_t piece_end = at + n;
      while (next < in_volumes.size() && in_volumes[next]->offset < piece_end) {
        active.push_back(Pending{in_volumes[next++], Sha256()});
      }
      for (auto it = active.begin(); it != active.end();) {
        const PackageEntry* e = it->entry;
        const uint64_t from = std::max(at, e->offset);
        const uint64_t to = std::min(piece_end, e->offset + e->size);
        if (to > from) it->sha.Update(buffer.get() + (from - at), static_cast<size_t>(to - from));
        if (e->offset + e->size > piece_end) {
          ++it;
          continue;
        }
        // Every volume before this one matched whole: the damage is here.
        if (it->sha.Finish() != e->digest) {
          *damagedFile = v.path;
          return false;
        }
        it = active.erase(it);
      }
      at = piece_end;
      done += n;
      if (progress) progress(done, total);
    }
    if (whole.Finish() != v.digest) {
      *damagedFile = v.path;
      return false;
    }
  }
  // Empty entries (and any the volumes do not reach) never met a piece.
  for (; next < in_volumes.size(); ++next) active.push_back(Pending{in_volumes[next], Sha256()});
  for (Pending& p : active) {
    if (p.entry->size != 0 || p.sha.Finish() != p.entry->digest) {
      *damagedFile = archive.path;
      return false;
    }
  }
  return true;
}

}  // namespace upkeep
