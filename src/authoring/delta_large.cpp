#include "authoring/delta_large.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "authoring/work_threads.h"
#include "package/delta_extended.h"
#include "package/address_model.h"

namespace upkeep {

namespace {

constexpr int kHashWindow = 64;  // bytes a gear hash depends on
constexpr size_t kMinMatch = 48;
// Small edits: after a mismatch the copy goes on when the same alignment
// agrees for kAgree bytes within kLookAhead, at most kMaxAdds bytes differing.
constexpr size_t kLookAhead = 16, kAgree = 16, kMaxAdds = 8;
constexpr int kCandidates = 4;             // old anchors checked per new anchor
constexpr uint64_t kCompared = 64 * 1024;  // bytes a candidate is grown over to be judged

struct Gear {
  uint64_t v[256];
  Gear() {
    uint64_t x = 0x5EED0F1A2C3D4E5Full;
    for (uint64_t& g : v) {  // splitmix64
      x += 0x9E3779B97F4A7C15ull;
      uint64_t z = x;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      g = z ^ (z >> 31);
    }
  }
};
const Gear kGear;

// The old file, read where asked through a few cached blocks (or straight
// from memory where the input has it all).
class OldReader {
 public:
  static constexpr size_t kBlock = size_t{1} << 20;
  static constexpr size_t kBlocks = 16;

  explicit OldReader(const ChangeInput& in) : in_(in), size_(in.size()), data_(in.data()) {}

  // Bytes from `pos` on, at least one and at most to the end of a block;
  // null when `pos` is past the end or the file cannot be read.
  const uint8_t* At(uint64_t pos, size_t* avail) {
    if (pos >= size_) return nullptr;
    if (data_ != nullptr) {
      *avail = static_cast<size_t>(std::min<uint64_t>(size_ - pos, kBlock));
      return data_ + pos;
    }
    const uint64_t block = pos / kBlock;
    Slot* slot = nullptr;
    for (Slot& s : slots_) {
      if (s.block == block && s.bytes != nullptr) slot = &s;
    }
    if (slot == nullptr) {
      slot = &slots_[0];
      for (Slot& s : slots_) {
        if (s.bytes == nullptr || s.used < slot->used) slot = &s;
      }
      if (slot->bytes == nullptr) slot->bytes.reset(new uint8_t[kBlock]);
      const uint64_t from = block * kBlock;
      slot->size = static_cast<size_t>(std::min<uint64_t>(size_ - from, kBlock));
      slot->block = block;
      if (!in_.ReadAt(from, slot->bytes.get(), slot->size)) {
        slot->bytes.reset();
        return nullptr;
      }
      in_.Release(from, slot->size);
    }
    slot->used = ++clock_;
    const size_t at = static_cast<size_t>(pos - slot->block * kBlock);
    *avail = slot->size - at;
    return slot->bytes.get() + at;
  }

  // The byte at `pos` (which must exist); -1 when it cannot be read.
  int Byte(uint64_t pos) {
    size_t avail;
    const uint8_t* p = At(pos, &avail);
    return p != nullptr ? *p : -1;
  }

  uint64_t size() const { return size_; }

 private:
  struct Slot {
    std::unique_ptr<uint8_t[]> bytes;
    uint64_t block = 0, used = 0;
    size_t size = 0;
  };
  const ChangeInput& in_;
  uint64_t size_;
  const uint8_t* data_;
  Slot slots_[kBlocks];
  uint64_t clock_ = 0;
};

// New bytes of [begin, end) through a buffer that keeps some history behind
// the furthest byte asked for (or straight from memory).
class NewReader {
 public:
  static constexpr size_t kBuffer = size_t{8} << 20;
  static constexpr size_t kHistory = size_t{1} << 20;

  NewReader(const ChangeInput& in, uint64_t begin, uint64_t end)
      : in_(in), data_(in.data()), begin_(begin), end_(end), lo_(begin), hi_(begin) {
    if (data_ == nullptr) buffer_.reset(new uint8_t[kBuffer]);
  }

  // Makes [from, to) readable, keeping what history fits behind `from`;
  // false when `from` is behind the history or the file cannot be read.
  bool Ensure(uint64_t from, uint64_t to) {
    to = std::min(to, end_);
    if (data_ != nullptr || (from >= lo_ && to <= hi_)) return true;
    if (from < lo_) return false;
    const uint64_t keep = std::max(lo_, from > kHistory ? from - kHistory : 0);
    if (keep >= hi_) {
      lo_ = hi_ = keep;
    } else {
      std::memmove(buffer_.get(), buffer_.get() + (keep - lo_), static_cast<size_t>(hi_ - keep));
      lo_ = keep;
    }
    const uint64_t want = std::min(end_, lo_ + kBuffer);
    if (to > want) return false;
    if (!in_.ReadAt(hi_, buffer_.get() + (hi_ - lo_), static_cast<size_t>(want - hi_)))
      return false;
    in_.Release(hi_, want - hi_);
    hi_ = want;
    return true;
  }

  // The byte at `pos`, which Ensure made readable.
  uint8_t operator[](uint64_t pos) const {
    return data_ != nullptr ? data_[pos] : buffer_[static_cast<size_t>(pos - lo_)];
  }
  // The first byte readable now.
  uint64_t low() const { return data_ != nullptr ? begin_ : lo_; }
  // Bytes readable from `pos` (readable now) on without another Ensure.
  const uint8_t* Span(uint64_t pos, size_t* avail) const {
    if (data_ != nullptr) {
      *avail = static_cast<size_t>(std::min<uint64_t>(end_ - pos, kBuffer));
      return data_ + pos;
    }
    *avail = static_cast<size_t>(hi_ - pos);
    return buffer_.get() + (pos - lo_);
  }
  // [pos, pos + n) appended to `out`, from the buffer or read again.
  bool Append(uint64_t pos, uint64_t n, std::vector<uint8_t>* out) {
    while (n > 0) {
      size_t k;
      if (data_ != nullptr || (pos >= lo_ && pos < hi_)) {
        size_t avail;
        const uint8_t* p = Span(pos, &avail);
        k = static_cast<size_t>(std::min<uint64_t>(avail, n));
        out->insert(out->end(), p, p + k);
      } else {
        k = static_cast<size_t>(std::min<uint64_t>(n, kHistory));
        const size_t had = out->size();
        out->resize(had + k);
        if (!in_.ReadAt(pos, out->data() + had, k)) return false;
      }
      pos += k;
      n -= k;
    }
    return true;
  }

 private:
  const ChangeInput& in_;
  const uint8_t* data_;
  uint64_t begin_, end_;
  std::unique_ptr<uint8_t[]> buffer_;
  uint64_t lo_, hi_;  // the buffer holds [lo_, hi_)
};

// Anchors of the old file: open addressing over 8-byte slots holding a tag of
// the hash (24 bits) and the position + 1 (40 bits; 0 is an empty slot).
class AnchorIndex {
 public:
  bool Build(OldReader* old, uint32_t spacing) {
    int bits = 10;
    while ((uint64_t{1} << bits) < 2 * (old->size() / spacing + 1)) ++bits;
    bits_ = bits;
    slots_.reset(new (std::nothrow) uint64_t[size_t{1} << bits]());
    if (slots_ == nullptr) return false;
    shift_ = 64 - Log2(spacing);
    // Inside runs and short periods the hash repeats: anchors stay a quarter
    // of the spacing apart, which the new file's scan does not need.
    const uint64_t gap = spacing / 4;
    uint64_t h = 0, last = 0;
    bool any = false;
    for (uint64_t at = 0; at < old->size();) {
      size_t avail;
      const uint8_t* p = old->At(at, &avail);
      if (p == nullptr) return false;
      for (size_t i = 0; i < avail; ++i) {
        h = (h << 1) + kGear.v[p[i]];
        const uint64_t pos = at + i;
        if ((h >> shift_) == 0 && pos + 1 >= kHashWindow && (!any || pos - last >= gap)) {
          Insert(h, pos);
          last = pos;
          any = true;
        }
      }
      at += avail;
    }
    return true;
  }

  bool IsAnchor(uint64_t h) const { return (h >> shift_) == 0; }

  // Up to kCandidates old positions whose anchor had this hash.
  int Find(uint64_t h, uint64_t* out) const {
    const uint64_t tag = Tag(h);
    int n = 0;
    for (size_t i = Home(h);; i = (i + 1) & Mask()) {
      const uint64_t s = slots_[i];
      if (s == 0) break;
      if ((s >> 40) == tag) {
        out[n++] = (s & kPosMask) - 1;
        if (n == kCandidates) break;
      }
    }
    return n;
  }

 private:
  static constexpr uint64_t kPosMask = (uint64_t{1} << 40) - 1;
  static int Log2(uint32_t v) {
    int k = 0;
    while ((uint32_t{1} << (k + 1)) <= v) ++k;
    return k;
  }
  static uint64_t Tag(uint64_t h) { return h & 0xFFFFFF; }
  size_t Mask() const { return (size_t{1} << bits_) - 1; }
  size_t Home(uint64_t h) const {
    return static_cast<size_t>(((h >> 24) * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
  }
  void Insert(uint64_t h, uint64_t pos) {
    if (pos + 1 > kPosMask) return;
    const uint64_t tag = Tag(h);
    size_t i = Home(h);
    // A hash seen before keeps its first place: repeated content is found there.
    for (int probes = 0; slots_[i] != 0; i = (i + 1) & Mask()) {
      if ((slots_[i] >> 40) == tag || ++probes > 64) return;
    }
    slots_[i] = (tag << 40) | (pos + 1);
  }

  std::unique_ptr<uint64_t[]> slots_;
  int bits_ = 10;
  int shift_ = 58;
};

// What one piece of the new file made: its records' streams, and its add
// runs with the zeros before its first add byte and after its last one
// apart, so that pieces join.
struct PieceOut {
  std::vector<uint8_t> controls, inserts, runs;
  bool any_add = false;
  uint64_t lead_zeros = 0, zeros = 0;
  bool gave_up = false;
};

class PieceSearch {
 public:
  PieceSearch(const ChangeInput& old_file, const ChangeInput& new_file, const AnchorIndex& index,
              uint64_t begin, uint64_t end, uint64_t start, uint64_t exit,
              std::atomic<uint64_t>* inserted, uint64_t max_inserts, std::atomic<uint64_t>* passed,
              PieceOut* out)
      : old_(old_file),
        new_(new_file, begin, end),
        index_(index),
        begin_(begin),
        end_(end),
        exit_(exit),
        inserted_(inserted),
        max_inserts_(max_inserts),
        passed_(passed),
        out_(out),
        copy_old_(start),
        pending_(begin),
        told_(begin) {}

  // False when a file cannot be read or the inserts went over the limit
  // (out->gave_up).
  bool Run();

 private:
  struct Add {
    uint64_t old_pos;
    uint8_t value;
  };

  bool Match(uint64_t at, uint64_t h, uint64_t* next);
  bool Grow(uint64_t old_pos, uint64_t new_pos, uint64_t limit, std::vector<Add>* adds,
            uint64_t* length);
  bool Record(uint64_t insert_to, uint64_t next_old);
  void Told(uint64_t pos) {
    if (passed_ != nullptr && pos > told_) passed_->fetch_add(pos - told_);
    told_ = std::max(told_, pos);
  }

  OldReader old_;
  NewReader new_;
  const AnchorIndex& index_;
  uint64_t begin_, end_, exit_;
  std::atomic<uint64_t>* inserted_;
  uint64_t max_inserts_;
  std::atomic<uint64_t>* passed_;
  PieceOut* out_;
  // The copy that the record under way starts with, and its adds.
  uint64_t copy_old_, copy_length_ = 0;
  std::vector<Add> adds_;
  uint64_t pending_;  // new bytes from here on are not covered yet
  uint64_t told_;
};

bool PieceSearch::Run() {
  // The hash runs over the window before each position; after a copy it
  // starts again a window before the copy's end.
  uint64_t at = begin_, look_from = begin_ + kHashWindow - 1, h = 0, last_h = 1;
  while (at < end_) {
    if (!new_.Ensure(at, at + NewReader::kBuffer / 2)) return false;
    size_t avail;
    const uint8_t* p = new_.Span(at, &avail);
    avail = static_cast<size_t>(std::min<uint64_t>(avail, end_ - at));
    uint64_t resume = 0;
    for (size_t i = 0; i < avail; ++i) {
      h = (h << 1) + kGear.v[p[i]];
      if (!index_.IsAnchor(h) || h == last_h || at + i < look_from) continue;
      last_h = h;
      uint64_t next;
      if (!Match(at + i, h, &next)) return false;
      if (next != at + i) {
        resume = next;
        break;
      }
    }
    if (resume != 0) {
      at = std::max(begin_, resume > kHashWindow ? resume - kHashWindow : 0);
      look_from = resume;
      h = 0;
    } else {
      at += avail;
    }
    Told(std::max(at, look_from));
    if (inserted_->load(std::memory_order_relaxed) > max_inserts_) {
      out_->gave_up = true;
      return false;
    }
  }
  return Record(end_, exit_);
}

// The old file's candidates for the anchor at new position `at`, each grown
// both ways; the longest, when long enough, becomes the next copy and *next
// is where it ends (else `at`).
bool PieceSearch::Match(uint64_t at, uint64_t h, uint64_t* next) {
  *next = at;
  uint64_t candidates[kCandidates];
  const int n = index_.Find(h, candidates);
  uint64_t best_start = 0, best_old = 0, best_length = 0;
  for (int c = 0; c < n; ++c) {
    const uint64_t old_pos = candidates[c];
    const int o = old_.Byte(old_pos);
    if (o < 0) return false;
    if (o != new_[at]) continue;  // the tag matched, the bytes do not
    // Backwards from the anchor byte, no further than the uncovered bytes.
    const uint64_t floor = std::max(pending_, new_.low());
    uint64_t back = 0;
    while (at - back > floor && old_pos > back) {
      const int b = old_.Byte(old_pos - back - 1);
      if (b < 0) return false;
      if (b != new_[at - back - 1]) break;
      ++back;
    }
    // Candidates are told apart over a stretch short enough that the anchor
    // stays in the new file's buffer.
    uint64_t forward = 0;
    if (!Grow(old_pos + 1, at + 1, kCompared, nullptr, &forward)) return false;
    if (back + 1 + forward > best_length) {
      best_length = back + 1 + forward;
      best_start = at - back;
      best_old = old_pos - back;
    }
  }
  if (best_length < kMinMatch) return true;
  // The record under way ends with the bytes up to this copy inserted.
  if (!Record(best_start, best_old)) return false;
  // Grown again, keeping the adds of the small edits it goes over.
  if (!Grow(best_old, best_start, UINT64_MAX, &adds_, &copy_length_)) return false;
  pending_ = best_start + copy_length_;
  *next = pending_;
  return true;
}

// How far new[new_pos..] follows old[old_pos..], over small edits (whose
// adds go to `adds` when given).
bool PieceSearch::Grow(uint64_t old_pos, uint64_t new_pos, uint64_t limit, std::vector<Add>* adds,
                       uint64_t* length) {
  uint64_t n = 0;
  while (new_pos + n < end_ && old_pos + n < old_.size() && n < limit) {
    if (!new_.Ensure(new_pos + n, new_pos + n + kLookAhead + kAgree)) return false;
    size_t old_avail, new_avail;
    const uint8_t* o = old_.At(old_pos + n, &old_avail);
    if (o == nullptr) return false;
    const uint8_t* p = new_.Span(new_pos + n, &new_avail);
    const size_t span =
        static_cast<size_t>(std::min<uint64_t>({old_avail, new_avail, end_ - (new_pos + n)}));
    size_t same = 0;
    while (same < span && o[same] == p[same]) ++same;
    n += same;
    if (same == span) continue;
    // A small edit: does the alignment agree again right after it?
    const uint64_t left = std::min(end_ - (new_pos + n), old_.size() - (old_pos + n));
    if (left < kLookAhead + kAgree) break;
    size_t resume = 0;
    for (size_t skip = 1; skip <= kLookAhead && resume == 0; ++skip) {
      size_t k = 0;
      for (; k < kAgree; ++k) {
        const int b = old_.Byte(old_pos + n + skip + k);
        if (b < 0) return false;
        if (b != new_[new_pos + n + skip + k]) break;
      }
      if (k == kAgree) resume = skip;
    }
    if (resume == 0) break;
    size_t differ = 0;
    uint8_t values[kLookAhead];
    for (size_t k = 0; k < resume; ++k) {
      const int b = old_.Byte(old_pos + n + k);
      if (b < 0) return false;
      values[k] = static_cast<uint8_t>(new_[new_pos + n + k] - b);
      differ += values[k] != 0;
    }
    if (differ > kMaxAdds) break;
    for (size_t k = 0; adds != nullptr && k < resume; ++k) {
      if (values[k] != 0) adds->push_back({old_pos + n + k, values[k]});
    }
    n += resume;
  }
  *length = n;
  return true;
}

// Ends the record under way: its copy, the new bytes from the copy's end to
// `insert_to` inserted, and the seek to `next_old` (SIZE_MAX: none).
bool PieceSearch::Record(uint64_t insert_to, uint64_t next_old) {
  const bool plain = adds_.empty() && copy_length_ != 0;
  AppendDeltaVarint(copy_length_ * 2 + (plain ? 1 : 0), &out_->controls);
  const uint64_t insert = insert_to - pending_;
  AppendDeltaVarint(insert, &out_->controls);
  const uint64_t copy_end = copy_old_ + copy_length_;
  if (next_old == SIZE_MAX) next_old = copy_end;
  const int64_t seek = static_cast<int64_t>(next_old) - static_cast<int64_t>(copy_end);
  AppendDeltaVarint((static_cast<uint64_t>(seek) << 1) ^ static_cast<uint64_t>(seek >> 63),
                    &out_->controls);
  if (!plain && copy_length_ != 0) {
    // Zeros up to each differing byte, and after the last one.
    uint64_t at = copy_old_;
    for (const Add& a : adds_) {
      out_->zeros += a.old_pos - at;
      if (!out_->any_add) {
        out_->lead_zeros = out_->zeros;
        out_->any_add = true;
      } else {
        AppendDeltaVarint(out_->zeros, &out_->runs);
      }
      out_->runs.push_back(a.value);
      out_->zeros = 0;
      at = a.old_pos + 1;
    }
    out_->zeros += copy_end - at;
  }
  if (!new_.Append(pending_, insert, &out_->inserts)) return false;
  if (inserted_->fetch_add(insert) + insert > max_inserts_) {
    out_->gave_up = true;
    return false;
  }
  copy_old_ = next_old;
  copy_length_ = 0;
  adds_.clear();
  pending_ = insert_to;
  return true;
}

}  // namespace

uint64_t LargeDeltaMemory(uint64_t old_size, const LargeDeltaOptions& options, unsigned threads) {
  const uint64_t spacing = options.spacing != 0 ? options.spacing : kMinLargeSpacing;
  const uint64_t anchors = std::min(old_size / spacing + 1, kMaxLargeAnchors);
  // Slots: a power of two at least twice the anchors; per thread the readers'
  // buffers and an LZMA2 encoder with its 8 MiB dictionary.
  uint64_t slots = 1024;
  while (slots < 2 * anchors) slots *= 2;
  const uint64_t per_thread =
      OldReader::kBlock * OldReader::kBlocks + NewReader::kBuffer + (uint64_t{100} << 20);
  return 8 * slots + per_thread * std::max(threads, 1u) + (uint64_t{16} << 20);
}

LargeDelta EncodeLargeDelta(const ChangeInput& old_file, const ChangeInput& new_file,
                            const LargeDeltaOptions& options, std::vector<uint8_t>* stored) {
  stored->clear();
  try {
    const uint64_t old_size = old_file.size(), new_size = new_file.size();
    uint32_t spacing = std::max(options.spacing, kMinLargeSpacing);
    while (options.spacing == 0 && old_size / spacing > kMaxLargeAnchors) spacing *= 2;
    uint32_t pow2 = 1;
    while (pow2 < spacing) pow2 *= 2;
    AnchorIndex index;
    {
      OldReader reader(old_file);
      if (!index.Build(&reader, pow2)) return LargeDelta::kFailed;
    }
    // Pieces searched apart: each starts on the diagonal through its first
    // byte and its last record seeks to where the next one starts.
    const uint64_t piece = std::max<uint64_t>(options.pieces.piece, 1);
    const size_t n = new_size < 2 * piece ? 1 : static_cast<size_t>((new_size + piece - 1) / piece);
    auto begin_of = [&](size_t k) { return n == 1 ? 0 : k * piece; };
    auto start_of = [&](size_t k) { return std::min(begin_of(k), old_size); };
    std::vector<PieceOut> outs(n);
    std::vector<char> failed(n, 0);
    std::atomic<uint64_t> inserted{0};
    auto one = [&](size_t k) {
      try {
        PieceSearch search(old_file, new_file, index, begin_of(k),
                           k + 1 == n ? new_size : begin_of(k + 1), start_of(k),
                           k + 1 == n ? SIZE_MAX : start_of(k + 1), &inserted, options.max_inserts,
                           options.passed, &outs[k]);
        failed[k] = !search.Run();
      } catch (const std::bad_alloc&) {
        failed[k] = 1;
      }
    };
    if (options.pieces.threads != nullptr) {
      options.pieces.threads->ForEach(n, one);
    } else {
      for (size_t k = 0; k < n; ++k) one(k);
    }
    bool gave_up = false;
    for (size_t k = 0; k < n; ++k) gave_up = gave_up || outs[k].gave_up;
    if (gave_up) return LargeDelta::kGaveUp;
    for (size_t k = 0; k < n; ++k) {
      if (failed[k]) return LargeDelta::kFailed;
    }
    // The pieces' streams joined; zeros carried across pieces into the next
    // add byte's run.
    std::vector<uint8_t> controls, runs, inserts;
    uint64_t carried = 0;
    for (PieceOut& o : outs) {
      controls.insert(controls.end(), o.controls.begin(), o.controls.end());
      std::vector<uint8_t>().swap(o.controls);
      inserts.insert(inserts.end(), o.inserts.begin(), o.inserts.end());
      std::vector<uint8_t>().swap(o.inserts);
      if (o.any_add) {
        AppendDeltaVarint(carried + o.lead_zeros, &runs);
        runs.insert(runs.end(), o.runs.begin(), o.runs.end());
        carried = o.zeros;
      } else {
        carried += o.zeros;
      }
      std::vector<uint8_t>().swap(o.runs);
    }
    if (carried != 0) AppendDeltaVarint(carried, &runs);
    return PackPredictedStreams(kAddressNone, &controls, &runs, &inserts, options.pieces, stored)
               ? LargeDelta::kDone
               : LargeDelta::kFailed;
  } catch (const std::bad_alloc&) {
    stored->clear();
    return LargeDelta::kFailed;
  }
}

}  // namespace upkeep
