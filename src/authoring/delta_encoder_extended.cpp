// Copy-with-add deltas: a match is grown over mismatching bytes as long as
// most bytes still agree, so code whose addresses moved becomes a copy whose
// add bytes are mostly zero and compress to almost nothing.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "authoring/delta_encoder.h"
#include "package/delta_extended.h"

#ifdef UPKEEP_HAVE_DIVSUFSORT
#include <divsufsort.h>
#endif

namespace upkeep {

#ifdef UPKEEP_HAVE_DIVSUFSORT

namespace {

size_t MatchLength(const uint8_t* a, size_t an, const uint8_t* b, size_t bn) {
  size_t i = 0;
  const size_t n = std::min(an, bn);
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// Longest prefix of `target` found in old, by binary search of the suffix array.
size_t Search(const std::vector<saidx_t>& sa, const uint8_t* old, size_t old_size,
              const uint8_t* target, size_t target_size, size_t* pos) {
  size_t lo = 0, hi = old_size - 1;
  while (hi - lo >= 2) {
    const size_t mid = lo + (hi - lo) / 2;
    const size_t at = static_cast<size_t>(sa[mid]);
    const size_t n = std::min(old_size - at, target_size);
    if (std::memcmp(old + at, target, n) < 0) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  const size_t a = static_cast<size_t>(sa[lo]), b = static_cast<size_t>(sa[hi]);
  const size_t la = MatchLength(old + a, old_size - a, target, target_size);
  const size_t lb = MatchLength(old + b, old_size - b, target, target_size);
  if (la >= lb) {
    *pos = a;
    return la;
  }
  *pos = b;
  return lb;
}

}  // namespace

bool EncodeExtendedDelta(const uint8_t* old, size_t old_size, const uint8_t* next, size_t new_size,
                         std::vector<uint8_t>* out) {
  out->clear();
  try {
    AppendExtendedDeltaMagic(out);
    if (old_size == 0) {
      AppendExtendedDeltaRecord(nullptr, 0, next, new_size, 0, out);
      return true;
    }
    if (old_size > 0x7FFFFFFF) return false;
    std::vector<saidx_t> sa(old_size);
    if (divsufsort(old, sa.data(), static_cast<saidx_t>(old_size)) != 0) return false;
    out->reserve(new_size + new_size / 8 + 64);
    std::vector<uint8_t> add;

    size_t scan = 0, len = 0, pos = 0, last_scan = 0, last_pos = 0;
    int64_t last_offset = 0;
    auto old_at = [&](size_t s) -> int {
      const int64_t o = static_cast<int64_t>(s) + last_offset;
      return (o >= 0 && static_cast<size_t>(o) < old_size) ? old[o] : -1;
    };
    while (scan < new_size) {
      size_t old_score = 0;
      size_t scsc = scan += len;
      for (; scan < new_size; ++scan) {
        len = Search(sa, old, old_size, next + scan, new_size - scan, &pos);
        for (; scsc < scan + len; ++scsc)
          if (old_at(scsc) == next[scsc]) ++old_score;
        // A match worth leaving the current alignment for: whole where the
        // old alignment is not, or clearly longer.
        if ((len == old_score && len != 0) || len > old_score + 8) break;
        if (old_at(scan) == next[scan]) --old_score;
      }
      if (len == old_score && scan != new_size) continue;

      // Grow the previous match forwards and the new one backwards while at
      // least half the bytes agree.
      size_t s = 0, best = 0, len_f = 0;
      for (size_t i = 0; last_scan + i < scan && last_pos + i < old_size;) {
        if (old[last_pos + i] == next[last_scan + i]) ++s;
        ++i;
        if (s * 2 > best * 2 + i - len_f) best = s, len_f = i;
      }
      size_t len_b = 0;
      if (scan < new_size) {
        size_t sb = 0, best_b = 0;
        for (size_t i = 1; scan >= last_scan + i && pos >= i; ++i) {
          if (old[pos - i] == next[scan - i]) ++sb;
          if (sb * 2 > best_b * 2 + i - len_b) best_b = sb, len_b = i;
        }
      }
      if (last_scan + len_f > scan - len_b) {
        const size_t overlap = (last_scan + len_f) - (scan - len_b);
        int64_t so = 0, best_s = 0;
        size_t lens = 0;
        for (size_t i = 0; i < overlap; ++i) {
          if (next[last_scan + len_f - overlap + i] == old[last_pos + len_f - overlap + i]) ++so;
          if (next[scan - len_b + i] == old[pos - len_b + i]) --so;
          if (so > best_s) best_s = so, lens = i + 1;
        }
        len_f += lens - overlap;
        len_b -= lens;
      }

      add.resize(len_f);
      for (size_t i = 0; i < len_f; ++i)
        add[i] = static_cast<uint8_t>(next[last_scan + i] - old[last_pos + i]);
      const size_t insert_from = last_scan + len_f;
      const size_t insert_len = (scan - len_b) - insert_from;
      const int64_t seek =
          static_cast<int64_t>(pos - len_b) - static_cast<int64_t>(last_pos + len_f);
      AppendExtendedDeltaRecord(add.data(), len_f, next + insert_from, insert_len, seek, out);

      last_scan = scan - len_b;
      last_pos = pos - len_b;
      last_offset = static_cast<int64_t>(pos) - static_cast<int64_t>(scan);
    }
    return true;
  } catch (const std::bad_alloc&) {
    out->clear();
    return false;
  }
}

#else

bool EncodeExtendedDelta(const uint8_t*, size_t, const uint8_t*, size_t,
                         std::vector<uint8_t>* out) {
  out->clear();
  return false;
}

#endif

}  // namespace upkeep
