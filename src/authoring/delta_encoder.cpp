#include "authoring/delta_encoder.h"

#include <algorithm>
#include <cstring>

#include "package/delta_format.h"

namespace upkeep {

namespace {

// Copy offsets are u32: bytes past this are never referenced.
constexpr uint64_t kMaxOldReach = 0xFFFFFFFFull;
constexpr uint32_t kNoEntry = 0xFFFFFFFFu;
// Seeds are 8-byte windows hashed in one load, so no rolling hash is needed.
constexpr size_t kSeed = 8;
// Seeds compared against when indexing, to skip runs and short periods.
constexpr size_t kRecent = 8;
// Diagonals of the latest copies probed at every position.
constexpr size_t kRecentShifts = 8;

uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

size_t CommonForward(const uint8_t* a, const uint8_t* b, size_t limit) {
  size_t n = 0;
  while (n + 8 <= limit) {
    uint64_t x = Load64(a + n) ^ Load64(b + n);
    if (x != 0) {
      while (a[n] == b[n]) ++n;
      return n;
    }
    n += 8;
  }
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

// Bytes equal going backwards from a[-1], b[-1].
size_t CommonBackward(const uint8_t* a, const uint8_t* b, size_t limit) {
  size_t n = 0;
  while (n < limit && a[-1 - static_cast<ptrdiff_t>(n)] == b[-1 - static_cast<ptrdiff_t>(n)]) ++n;
  return n;
}

struct Tuning {
  size_t max_entries;  // index budget: fewer entries means a larger step
  int max_chain;       // candidates tried per position
  // Shortest copy worth a record once deflated (measured on binaries and game
  // data): short copies pay off when they resume a diagonal used just before
  // (code between edited pointers), not as chance matches elsewhere, whose
  // bytes deflate would have packed about as well.
  size_t min_copy_recent;
  size_t min_copy_new;
  int accel_shift;  // after 2^shift misses in a row, positions are skipped
};

Tuning TuningFor(int level) {
  if (level < 1) level = 1;
  if (level > 9) level = 9;
  Tuning t;
  t.max_entries = level >= 7 ? (size_t{1} << 22) : (size_t{1} << 21);
  t.max_chain = level >= 9 ? 48 : level >= 7 ? 16 : level >= 4 ? 6 : 2;
  t.min_copy_recent = 8;
  t.min_copy_new = 20;
  t.accel_shift = level >= 7 ? 6 : level >= 4 ? 5 : 3;
  return t;
}

// Hash index of the old file's seeds at every `step`-th position.
class SeedIndex {
 public:
  SeedIndex(const uint8_t* data, size_t size, size_t max_entries) {
    if (size < kSeed) return;
    size_t positions = size - kSeed + 1;
    step_ = (positions + max_entries - 1) / max_entries;
    if (step_ == 0) step_ = 1;
    size_t count = (positions + step_ - 1) / step_;
    bits_ = 10;
    while ((size_t{1} << bits_) < count && bits_ < 26) ++bits_;
    head_.assign(size_t{1} << bits_, kNoEntry);
    next_.assign(count, kNoEntry);
    // Inside a run or a short period every seed repeats; indexing only the
    // first occurrence keeps chains short, and a match from the start of a run
    // reaches at least as far as one from its middle.
    uint64_t recent[kRecent] = {};
    size_t filled = 0;
    for (size_t k = 0; k < count; ++k) {
      uint64_t seed = Load64(data + k * step_);
      bool repeat = false;
      for (size_t r = 0; r < filled; ++r) repeat |= recent[r] == seed;
      recent[k % kRecent] = seed;
      if (filled < kRecent) ++filled;
      if (repeat) continue;
      size_t h = Hash(data + k * step_);
      next_[k] = head_[h];
      head_[h] = static_cast<uint32_t>(k);
    }
  }

  bool empty() const { return next_.empty(); }
  size_t Hash(const uint8_t* p) const {
    return static_cast<size_t>((Load64(p) * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
  }
  uint32_t First(const uint8_t* p) const { return head_[Hash(p)]; }
  uint32_t Next(uint32_t k) const { return next_[k]; }
  size_t Position(uint32_t k) const { return static_cast<size_t>(k) * step_; }

 private:
  size_t step_ = 1;
  int bits_ = 10;
  std::vector<uint32_t> head_;
  std::vector<uint32_t> next_;
};

class Writer {
 public:
  explicit Writer(std::vector<uint8_t>* out, const uint8_t* new_data) : out_(out), new_(new_data) {}

  void Insert(size_t from, size_t to) {
    while (from < to) {
      size_t n = std::min<size_t>(to - from, kMaxDeltaRecord);
      AppendDeltaInsert(new_ + from, static_cast<uint32_t>(n), out_);
      from += n;
    }
  }
  void Copy(size_t old_pos, size_t len) {
    while (len > 0) {
      size_t n = std::min<size_t>(len, kMaxDeltaRecord);
      AppendDeltaCopy(static_cast<uint32_t>(old_pos), static_cast<uint32_t>(n), out_);
      old_pos += n;
      len -= n;
    }
  }

 private:
  std::vector<uint8_t>* out_;
  const uint8_t* new_;
};

}  // namespace

std::vector<uint8_t> EncodeDelta(const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                                 size_t new_size, const DeltaOptions& options) {
  std::vector<uint8_t> out;
  Writer writer(&out, new_data);
  if (static_cast<uint64_t>(old_size) > kMaxOldReach) old_size = static_cast<size_t>(kMaxOldReach);
  const Tuning tuning = TuningFor(options.level);

  SeedIndex index(old_data, old_size, tuning.max_entries);
  size_t pending = 0;  // start of the new bytes not yet covered by a record
  size_t pos = 0;
  size_t misses = 0;
  // Old minus new position of the latest copies, newest first: edits inside a
  // moved block resume on one of them.
  ptrdiff_t recent[kRecentShifts];
  size_t recent_count = 0;

  // A report costs one comparison per step between reports.
  constexpr size_t kReportEvery = 1 << 20;
  size_t next_report = options.progress ? kReportEvery : SIZE_MAX;
  WindowFront front(options.window);
  // A long copy is compared a window at a time, so the window hears of it.
  auto forward = [&](const uint8_t* from_new, const uint8_t* from_old, size_t limit) {
    if (!front.active()) return CommonForward(from_new, from_old, limit);
    size_t n = 0;
    while (n < limit) {
      const size_t part = std::min(limit - n, front.step());
      const size_t same = CommonForward(from_new + n, from_old + n, part);
      n += same;
      if (same < part) break;
      front.At(static_cast<size_t>(from_new + n - new_data));
    }
    return n;
  };

  while (old_size > 0 && pos < new_size) {
    front.At(pos);
    if (pos >= next_report) {
      options.progress(pos);
      next_report = pos + kReportEvery;
    }
    size_t best_len = 0;
    size_t best_back = 0;
    size_t best_old = 0;
    const size_t new_left = new_size - pos;
    const size_t back_room = pos - pending;

    auto consider = [&](size_t cand) {
      size_t limit = std::min(new_left, old_size - cand);
      // A candidate can only win if it matches at the current best length.
      if (best_len > 0 &&
          (best_len >= limit || new_data[pos + best_len] != old_data[cand + best_len]))
        return;
      size_t fwd = forward(new_data + pos, old_data + cand, limit);
      if (fwd == 0) return;
      size_t back = CommonBackward(new_data + pos, old_data + cand, std::min(back_room, cand));
      if (fwd + back > best_len + best_back) {
        best_len = fwd;
        best_back = back;
        best_old = cand;
      }
    };

    for (size_t r = 0; r < recent_count; ++r) {
      ptrdiff_t cand = static_cast<ptrdiff_t>(pos) + recent[r];
      if (cand >= 0 && static_cast<size_t>(cand) < old_size) consider(static_cast<size_t>(cand));
    }
    const bool found_recent = best_len + best_back >= tuning.min_copy_recent;
    const size_t recent_len = best_len + best_back;
    if (!index.empty() && pos + kSeed <= new_size) {
      int chain = tuning.max_chain;
      for (uint32_t k = index.First(new_data + pos); k != kNoEntry && chain > 0;
           k = index.Next(k), --chain) {
        size_t cand = index.Position(k);
        if (cand + kSeed <= old_size) consider(cand);
      }
    }
    size_t total = best_len + best_back;
    bool take = total >= tuning.min_copy_new || (found_recent && total == recent_len);
    if (take) {
      size_t start = pos - best_back;
      writer.Insert(pending, start);
      writer.Copy(best_old - best_back, total);
      if (options.matches) options.matches->push_back({start, best_old - best_back, total});
      ptrdiff_t shift = static_cast<ptrdiff_t>(best_old) - static_cast<ptrdiff_t>(pos);
      size_t at = 0;
      while (at < recent_count && recent[at] != shift) ++at;
      if (at == recent_count && recent_count < kRecentShifts) ++recent_count;
      if (at == kRecentShifts) at = kRecentShifts - 1;
      for (; at > 0; --at) recent[at] = recent[at - 1];
      recent[0] = shift;
      pos += best_len;
      pending = pos;
      misses = 0;
    } else {
      // Long stretches of new bytes are sampled more sparsely; a match found
      // later is still extended back to where it starts.
      pos += 1 + (++misses >> tuning.accel_shift);
    }
  }
  writer.Insert(pending, new_size);
  return out;
}

}  // namespace upkeep
