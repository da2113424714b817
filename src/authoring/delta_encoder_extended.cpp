// Copy-with-add deltas: a match is grown over mismatching bytes as long as
// most bytes still agree, so code whose addresses moved becomes a copy whose
// add bytes are mostly zero and compress to almost nothing.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "authoring/delta_encoder.h"
#include "authoring/work_threads.h"
#include "package/delta_extended.h"

#ifdef UPKEEP_HAVE_DIVSUFSORT
#include <divsufsort.h>
#endif

namespace upkeep {

#ifdef UPKEEP_HAVE_DIVSUFSORT

namespace {

// The suffix array with, per first two bytes, the range of suffixes that
// start with them: a search starts inside that range instead of the whole
// array, which saves most of the cache misses of a binary search.
struct SuffixIndex {
  const uint8_t* old = nullptr;
  size_t size = 0;
  std::vector<saidx_t> sa;
  std::vector<uint32_t> start;  // 65537 entries: range of key k is [start[k], start[k + 1])
  size_t single = 0;            // rank of the one-byte suffix (the last byte)
};

bool BuildIndex(const uint8_t* old, size_t old_size, SuffixIndex* index) {
  index->old = old;
  index->size = old_size;
  index->sa.resize(old_size);
  if (divsufsort(old, index->sa.data(), static_cast<saidx_t>(old_size)) != 0) return false;
  std::vector<uint32_t> count(65536, 0);
  for (size_t i = 0; i + 1 < old_size; ++i) ++count[(old[i] << 8) | old[i + 1]];
  index->start.assign(65537, 0);
  // The one-byte suffix sorts before every longer suffix with its first byte.
  const unsigned last = old[old_size - 1];
  uint32_t at = 0;
  for (unsigned k = 0; k < 65536; ++k) {
    if ((k & 0xFF) == 0 && (k >> 8) == last) index->single = at++;
    index->start[k] = at;
    at += count[k];
  }
  index->start[65536] = at;
  return true;
}

// Length of the common prefix of a and b (n bytes at most), from `from` on.
size_t CommonPrefix(const uint8_t* a, const uint8_t* b, size_t n, size_t from) {
  size_t i = from;
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) {
      while (a[i] == b[i]) ++i;
      return i;
    }
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// Longest prefix of `target` found in old, by binary search of the suffix
// array. Every suffix between lo and hi shares at least min(lcp_lo, lcp_hi)
// bytes with the target, so comparisons start there: long matches are not
// compared again at every step.
size_t Search(const SuffixIndex& index, const uint8_t* target, size_t target_size, size_t* pos) {
  const uint8_t* old = index.old;
  const size_t old_size = index.size;
  size_t lo = 0, hi = old_size - 1;
  if (target_size >= 2) {
    const unsigned k = (target[0] << 8) | target[1];
    if (index.start[k + 1] > index.start[k]) lo = index.start[k], hi = index.start[k + 1] - 1;
  }
  auto lcp_at = [&](size_t rank, size_t from) {
    const size_t at = static_cast<size_t>(index.sa[rank]);
    return CommonPrefix(old + at, target, std::min(old_size - at, target_size), from);
  };
  // The bucket's bounds need their own lengths (its first suffix may be shorter).
  size_t lcp_lo = lcp_at(lo, 0), lcp_hi = lcp_at(hi, 0);
  while (hi - lo >= 2) {
    const size_t mid = lo + (hi - lo) / 2;
    const size_t at = static_cast<size_t>(index.sa[mid]);
    const size_t n = std::min(old_size - at, target_size);
    const size_t l = CommonPrefix(old + at, target, n, std::min(lcp_lo, lcp_hi));
    // The suffix sorts before the target when it is a proper prefix of it or
    // its first differing byte is smaller.
    if (l == n ? n < target_size : (l < target_size && old[at + l] < target[l])) {
      lo = mid, lcp_lo = l;
    } else {
      hi = mid, lcp_hi = l;
    }
  }
  if (lcp_lo >= lcp_hi) {
    *pos = static_cast<size_t>(index.sa[lo]);
    return lcp_lo;
  }
  *pos = static_cast<size_t>(index.sa[hi]);
  return lcp_hi;
}

// A set of the old file's 8-byte windows that may answer "present" wrongly but
// never "absent" wrongly: where a window of the new file is absent, no match
// there can be long enough to matter and the search is skipped.
class WindowFilter {
 public:
  static constexpr size_t kWindow = 8;

  WindowFilter(const uint8_t* old, size_t old_size) {
    size_t bits = size_t{1} << 16;
    while (bits < old_size * 4) bits <<= 1;  // at most a byte per old byte
    mask_ = bits - 1;
    bits_.assign(bits / 64, 0);
    for (size_t i = 0; i + kWindow <= old_size; ++i) {
      const size_t h = Hash(old + i);
      bits_[h >> 6] |= uint64_t{1} << (h & 63);
    }
  }

  bool MayContain(const uint8_t* p) const {
    const size_t h = Hash(p);
    return (bits_[h >> 6] >> (h & 63)) & 1;
  }

 private:
  size_t Hash(const uint8_t* p) const {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return static_cast<size_t>((v * 0x9E3779B97F4A7C15ull) >> 20) & mask_;
  }

  std::vector<uint64_t> bits_;
  size_t mask_ = 0;
};

// Writes one copy-with-add and its insert, with long runs of zero adds as
// plain copies: a compressor still spends bits on every run of zeros, which
// adds up over files that are mostly unchanged.
void AppendCopy(const uint8_t* add, size_t length, const uint8_t* extra, size_t insert_length,
                int64_t seek, std::vector<uint8_t>* out) {
  constexpr size_t kPlainRun = 1024;
  size_t done = 0, i = 0;
  while (i < length) {
    if (add[i] != 0) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < length && add[end] == 0) ++end;
    if (end - i >= kPlainRun || (end == length && i == done)) {
      if (i > done) AppendExtendedDeltaRecord(add + done, i - done, nullptr, 0, 0, out);
      if (end == length) {
        AppendExtendedDeltaRecord(nullptr, end - i, extra, insert_length, seek, out);
        return;
      }
      AppendExtendedDeltaRecord(nullptr, end - i, nullptr, 0, 0, out);
      done = end;
    }
    i = end;
  }
  AppendExtendedDeltaRecord(length > done ? add + done : nullptr, length - done, extra,
                            insert_length, seek, out);
}

// The copy-with-add search over new[begin, end). `find(scan, &pos)` gives the
// length of a match of new bytes from `scan` at old position `pos` (0 for
// none), never past `end`. The old position starts at `start` and the last
// record's seek leaves it at `exit` (SIZE_MAX: where the last match was), so
// that pieces searched apart join into one stream.
// With `split_gaps`, a match on the current alignment still starts a record
// when the bytes before it, since the last match, mostly disagree: without
// chance matches to break it up, a replaced block between two unchanged ones
// would become one long copy whose adds cost more than inserting the block.
template <typename Find>
void EncodeMatches(const uint8_t* old, size_t old_size, const uint8_t* next, size_t begin,
                   size_t end, size_t start, size_t exit, Find find, bool split_gaps,
                   const NewBytesWindow* window, std::vector<uint8_t>* out) {
  constexpr size_t kGap = 32;
  const size_t new_size = end;
  // Passes over long stretches go a window step at a time and tell the window.
  WindowFront front(window, begin);
  const size_t part = front.step();
  std::vector<uint8_t> add;
  // Far jumps need longer matches: in noisy data short matches turn up
  // anywhere and each costs a record with a long seek.
  constexpr size_t kLeave = 8, kLeaveFar = 16;
  constexpr int64_t kNear = 4096;
  size_t scan = begin, len = 0, pos = start, last_scan = begin, last_pos = start;
  int64_t last_offset = static_cast<int64_t>(start) - static_cast<int64_t>(begin);
  auto old_at = [&](size_t s) -> int {
    const int64_t o = static_cast<int64_t>(s) + last_offset;
    return (o >= 0 && static_cast<size_t>(o) < old_size) ? old[o] : -1;
  };
  while (scan < new_size) {
    size_t old_score = 0;
    size_t scsc = scan += len;
    const size_t matched_to = scan;  // end of the last match taken or passed
    bool split = false;
    for (; scan < new_size; ++scan) {
      front.At(scan);
      if (scsc < scan) scsc = scan;  // old_score counts [scan, scsc)
      len = find(scan, &pos);
      while (scsc < scan + len) {
        const size_t end = scan + len - scsc > part ? scsc + part : scan + len;
        for (; scsc < end; ++scsc)
          if (old_at(scsc) == next[scsc]) ++old_score;
        front.At(scsc);
      }
      // A match worth leaving the current alignment for: whole where the
      // old alignment is not, or clearly longer.
      const int64_t jump = static_cast<int64_t>(pos) - static_cast<int64_t>(scan) - last_offset;
      const size_t leave = (jump < kNear && jump > -kNear) ? kLeave : kLeaveFar;
      if (len == old_score && len != 0 && split_gaps && scan - matched_to >= kGap) {
        size_t agree = 0;
        for (size_t i = matched_to; i < scan; ++i) agree += old_at(i) == next[i];
        split = agree * 2 < scan - matched_to;
      }
      if ((len == old_score && len != 0) || len > old_score + leave) break;
      if (scsc > scan && old_at(scan) == next[scan]) --old_score;
    }
    if (len == old_score && scan != new_size && !split) continue;

    // Grow the previous match forwards and the new one backwards while at
    // least half the bytes agree.
    size_t s = 0, best = 0, len_f = 0;
    const size_t grow_limit = std::min(scan > last_scan ? scan - last_scan : 0,
                                       old_size > last_pos ? old_size - last_pos : 0);
    for (size_t i = 0; i < grow_limit;) {
      const size_t end = grow_limit - i > part ? i + part : grow_limit;
      while (i < end) {
        if (old[last_pos + i] == next[last_scan + i]) ++s;
        ++i;
        if (s * 2 > best * 2 + i - len_f) best = s, len_f = i;
      }
      front.At(last_scan + i);
    }
    size_t len_b = 0;
    if (scan < new_size) {
      size_t sb = 0, best_b = 0;
      // After a split both matches share one alignment: the new one grows
      // back over the gap only, not over what the previous one covers.
      const size_t floor = split ? matched_to : last_scan;
      for (size_t i = 1; scan >= floor + i && pos >= i; ++i) {
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

    const size_t insert_from = last_scan + len_f;
    const size_t insert_len = (scan - len_b) - insert_from;
    const size_t next_pos = scan == new_size && exit != SIZE_MAX ? exit : pos - len_b;
    const int64_t seek = static_cast<int64_t>(next_pos) - static_cast<int64_t>(last_pos + len_f);
    // A copy of a whole large file would need an add buffer as large: it is
    // written in blocks, each its own record.
    constexpr size_t kAddBlock = size_t{4} << 20;
    size_t done = 0;
    while (len_f - done > kAddBlock) {
      add.resize(kAddBlock);
      for (size_t i = 0; i < kAddBlock; ++i)
        add[i] = static_cast<uint8_t>(next[last_scan + done + i] - old[last_pos + done + i]);
      AppendCopy(add.data(), kAddBlock, nullptr, 0, 0, out);
      done += kAddBlock;
      front.At(last_scan + done);
    }
    add.resize(len_f - done);
    for (size_t i = done; i < len_f; ++i)
      add[i - done] = static_cast<uint8_t>(next[last_scan + i] - old[last_pos + i]);
    AppendCopy(add.data(), len_f - done, next + insert_from, insert_len, seek, out);

    last_scan = scan - len_b;
    last_pos = pos - len_b;
    last_offset = static_cast<int64_t>(pos) - static_cast<int64_t>(scan);
  }
}

// The new file in pieces searched apart (on threads where there are), their
// records joined in order: each piece starts on the diagonal through its
// first byte and ends where the next one starts. `search(begin, end, start,
// exit, out)` searches one. A piece's new bytes are told to the window once
// it is done: its search reads them again behind its front (growing matches,
// taking adds), and no other piece reads them.
template <typename Search>
bool SearchInPieces(size_t old_size, size_t new_size, const Pieces& pieces,
                    const NewBytesWindow* window, Search search, std::vector<uint8_t>* out) {
  const size_t piece = std::max<size_t>(pieces.piece, 1);
  const size_t n = new_size < 2 * piece ? 1 : (new_size + piece - 1) / piece;
  auto start_of = [&](size_t k) { return std::min(k * piece, old_size); };
  auto done = [&](size_t begin, size_t end) {
    if (window != nullptr && window->passed) window->passed(begin, end);
  };
  if (n == 1) {
    search(0, new_size, 0, SIZE_MAX, out);
    done(0, new_size);
    return true;
  }
  std::vector<std::vector<uint8_t>> parts(n);
  std::vector<char> failed(n, 0);
  auto one = [&](size_t k) {
    try {
      search(k * piece, std::min(new_size, (k + 1) * piece), start_of(k),
             k + 1 == n ? SIZE_MAX : start_of(k + 1), &parts[k]);
      done(k * piece, std::min(new_size, (k + 1) * piece));
    } catch (const std::bad_alloc&) {
      failed[k] = 1;
    }
  };
  if (pieces.threads != nullptr) {
    pieces.threads->ForEach(n, one);
  } else {
    for (size_t k = 0; k < n; ++k) one(k);
  }
  // Joined into room taken once: growing would hold the records twice.
  size_t total = out->size();
  for (size_t k = 0; k < n; ++k) total += parts[k].size();
  out->reserve(total);
  for (size_t k = 0; k < n; ++k) {
    if (failed[k]) return false;
    out->insert(out->end(), parts[k].begin(), parts[k].end());
    std::vector<uint8_t>().swap(parts[k]);
  }
  return true;
}

// Matches from a suffix array of the old file: every match there is, at a
// sort's cost and five bytes per old byte.
bool EncodeSorted(const uint8_t* old, size_t old_size, const uint8_t* next, size_t new_size,
                  const NewBytesWindow* window, const Pieces& pieces, std::vector<uint8_t>* out) {
  SuffixIndex index;
  if (!BuildIndex(old, old_size, &index)) return false;
  const WindowFilter filter(old, old_size);
  auto search = [&](size_t begin, size_t end, size_t start, size_t exit,
                    std::vector<uint8_t>* part) {
    auto find = [&](size_t scan, size_t* pos) -> size_t {
      // Without an 8-byte match no match can be worth a record.
      if (end - scan >= WindowFilter::kWindow && !filter.MayContain(next + scan)) return 0;
      return Search(index, next + scan, end - scan, pos);
    };
    EncodeMatches(old, old_size, next, begin, end, start, exit, find, false, window, part);
  };
  return SearchInPieces(old_size, new_size, pieces, window, search, out);
}

// Matches from the basic form's copies: the copy-with-add growth between them
// turns small edits inside moved blocks into adds.
bool EncodeSeeded(const uint8_t* old, size_t old_size, const uint8_t* next, size_t new_size,
                  const std::vector<DeltaMatch>& seeds, const NewBytesWindow* window,
                  const Pieces& pieces, std::vector<uint8_t>* out) {
  auto search = [&](size_t begin, size_t end, size_t start, size_t exit,
                    std::vector<uint8_t>* part) {
    // The first seed that reaches past `begin`.
    size_t at = static_cast<size_t>(
        std::partition_point(seeds.begin(), seeds.end(),
                             [&](const DeltaMatch& m) { return m.new_pos + m.length <= begin; }) -
        seeds.begin());
    auto find = [&](size_t scan, size_t* pos) -> size_t {
      while (at < seeds.size() && seeds[at].new_pos + seeds[at].length <= scan) ++at;
      if (at == seeds.size() || seeds[at].new_pos > scan) return 0;
      *pos = seeds[at].old_pos + (scan - seeds[at].new_pos);
      return std::min(seeds[at].new_pos + seeds[at].length, end) - scan;
    };
    EncodeMatches(old, old_size, next, begin, end, start, exit, find, true, window, part);
  };
  return SearchInPieces(old_size, new_size, pieces, window, search, out);
}

// Past this size the suffix array's memory would outgrow the files'.
constexpr size_t kSortLimit = size_t{40} << 20;
// Where the basic form's copies average this or more (assets moved in
// archives) the copies themselves seed the search.
constexpr size_t kLongCopies = 2048;

}  // namespace

bool ExtendedCopiesLookShort(const uint8_t* old, size_t old_size, const uint8_t* next,
                             size_t new_size) {
  // Old windows at every 32nd position: every common run of 63 bytes or more
  // holds one, so a slice of the new file finds the runs the basic form would
  // copy, each grown forwards to its end. Far shorter than kLongCopies on
  // average means edited code; anything else (few matches, long ones) is left
  // to the basic encode to tell.
  constexpr size_t kWindow = 32, kSlices = 16, kSlice = 16 * 1024, kGrowLimit = size_t{1} << 20;
  constexpr size_t kMinCopies = 64, kShortCopies = 512;
  if (old_size < kWindow * 1024 || old_size > kSortLimit || new_size < kSlices * kSlice)
    return false;
  try {
    const auto hash = [](const uint8_t* p) {
      uint64_t a, b, c, d;
      std::memcpy(&a, p, 8), std::memcpy(&b, p + 8, 8), std::memcpy(&c, p + 16, 8),
          std::memcpy(&d, p + 24, 8);
      return (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full) ^
             (c * 0x165667B19E3779F9ull) ^ (d * 0x27D4EB2F165667C5ull);
    };
    int bits = 16;
    while ((size_t{1} << bits) < 2 * (old_size / kWindow)) ++bits;
    std::vector<uint32_t> table(size_t{1} << bits, 0);  // old position + 1, 0 for none
    for (size_t at = 0; at + kWindow <= old_size; at += kWindow)
      table[hash(old + at) >> (64 - bits)] = static_cast<uint32_t>(at + 1);
    size_t copies = 0, covered = 0;
    for (size_t s = 0; s < kSlices; ++s) {
      const size_t start = (new_size - kSlice) / (kSlices - 1) * s;
      for (size_t at = start; at < start + kSlice && at + kWindow <= new_size;) {
        const uint32_t hit = table[hash(next + at) >> (64 - bits)];
        if (hit == 0 || std::memcmp(old + hit - 1, next + at, kWindow) != 0) {
          ++at;
          continue;
        }
        const size_t from = hit - 1;
        const size_t limit = std::min({old_size - from, new_size - at, kGrowLimit});
        const size_t length = CommonPrefix(old + from, next + at, limit, kWindow);
        ++copies;
        covered += length;
        at += length;
      }
    }
    return copies >= kMinCopies && covered < kShortCopies * copies;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool EncodeExtendedDelta(const uint8_t* old, size_t old_size, const uint8_t* next, size_t new_size,
                         std::vector<uint8_t>* out, const std::vector<DeltaMatch>* seeds,
                         const NewBytesWindow* window, const Pieces& pieces) {
  out->clear();
  try {
    AppendExtendedDeltaMagic(out);
    if (old_size == 0) {
      AppendExtendedDeltaRecord(nullptr, 0, next, new_size, 0, out);
      return true;
    }
    if (old_size < kExtendedSeedsFrom ||
        (!seeds && ExtendedCopiesLookShort(old, old_size, next, new_size)))
      return EncodeSorted(old, old_size, next, new_size, window, pieces, out);
    std::vector<DeltaMatch> found;
    if (!seeds) {
      DeltaOptions options;
      options.matches = &found;
      options.window = window;
      EncodeDelta(old, old_size, next, new_size, options);
      seeds = &found;
    }
    // Where the basic form's copies are long (assets moved in archives) a
    // sort of a large file finds next to nothing more and costs more than the
    // rest together; small files are sorted anyway, as the sort is cheap there
    // and still finds short matches between the long copies.
    size_t covered = 0;
    for (const auto& m : *seeds) covered += m.length;
    if (old_size <= kSortLimit && covered < kLongCopies * std::max<size_t>(seeds->size(), 1))
      return EncodeSorted(old, old_size, next, new_size, window, pieces, out);
    return EncodeSeeded(old, old_size, next, new_size, *seeds, window, pieces, out);
  } catch (const std::bad_alloc&) {
    out->clear();
    return false;
  }
}

#else

bool ExtendedCopiesLookShort(const uint8_t*, size_t, const uint8_t*, size_t) { return false; }

// Without the sorter (MinGW) make keeps to the basic form.
bool EncodeExtendedDelta(const uint8_t*, size_t, const uint8_t*, size_t, std::vector<uint8_t>* out,
                         const std::vector<DeltaMatch>*, const NewBytesWindow*, const Pieces&) {
  out->clear();
  return false;
}

#endif

}  // namespace upkeep
