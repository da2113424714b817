#include "authoring/packed_entry_encoder.h"

#include <cstdint>
#include <new>
#include <vector>

namespace upkeep {

namespace {

constexpr size_t kWindow = 256;
constexpr size_t kMinMatch = 2;
constexpr size_t kMaxMatch = 9;
constexpr uint32_t kLiteralBits = 9;  // flag + byte
constexpr uint32_t kMatchBits = 12;   // flag + 3 length bits + distance byte

void PutU32(std::vector<uint8_t>* out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*out)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Mirrors the decoder's refill rule: once a word's 16th bit is used, the next
// word's slot is reserved at once, ahead of the current item's data bytes.
class FlagWriter {
 public:
  explicit FlagWriter(std::vector<uint8_t>* out) : out_(out) { Reserve(); }
  void Put(int bit) {
    word_ = static_cast<uint16_t>(word_ | bit << (15 - used_));
    if (++used_ == 16) {
      Store();
      Reserve();
    }
  }
  // The last word is always present, even with no bits used.
  void Finish() { Store(); }

 private:
  void Reserve() {
    slot_ = out_->size();
    out_->push_back(0);
    out_->push_back(0);
    word_ = 0;
    used_ = 0;
  }
  void Store() {
    (*out_)[slot_] = static_cast<uint8_t>(word_);
    (*out_)[slot_ + 1] = static_cast<uint8_t>(word_ >> 8);
  }

  std::vector<uint8_t>* out_;
  size_t slot_ = 0;
  uint16_t word_ = 0;
  int used_ = 0;
};

// Longest match (up to kMaxMatch) within the window for every position, found
// through chains of earlier positions with the same two leading bytes.
void FindMatches(const uint8_t* data, size_t size, std::vector<uint8_t>* lengths,
                 std::vector<uint8_t>* distances) {
  std::vector<int64_t> head(65536, -1);
  int64_t prev[kWindow] = {};
  for (size_t i = 0; i + kMinMatch <= size; ++i) {
    const unsigned key = data[i] << 8 | data[i + 1];
    const size_t limit = size - i < kMaxMatch ? size - i : kMaxMatch;
    size_t best = 0;
    size_t best_distance = 0;
    for (int64_t c = head[key]; c >= 0 && i - static_cast<size_t>(c) <= kWindow;
         c = prev[static_cast<size_t>(c) % kWindow]) {
      size_t n = kMinMatch;
      while (n < limit && data[static_cast<size_t>(c) + n] == data[i + n]) ++n;
      if (n > best) {
        best = n;
        best_distance = i - static_cast<size_t>(c);
        if (best == limit) break;
      }
    }
    (*lengths)[i] = static_cast<uint8_t>(best);
    (*distances)[i] = static_cast<uint8_t>(256 - best_distance);  // 256 wraps to 0
    prev[i % kWindow] = head[key];
    head[key] = static_cast<int64_t>(i);
  }
}

}  // namespace

bool EncodePackedEntry(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
  if (size > kMaxPackedEntryInput || (data == nullptr && size != 0)) return false;
  try {
    std::vector<uint8_t> lengths(size, 0);
    std::vector<uint8_t> distances(size, 0);
    FindMatches(data, size, &lengths, &distances);

    // Shortest path in bits, forwards; only the last kMaxMatch costs are live.
    // step[e] is the length of the item that ends at e in the best parse.
    std::vector<uint8_t> step(size + 1, 0);
    uint64_t cost[kMaxMatch + 1];  // cost[e % (kMaxMatch + 1)]
    cost[0] = 0;
    for (size_t e = 1; e <= size; ++e) {
      uint64_t best = cost[(e - 1) % (kMaxMatch + 1)] + kLiteralBits;
      size_t best_step = 1;
      for (size_t len = kMinMatch; len <= kMaxMatch && len <= e; ++len) {
        if (lengths[e - len] < len) continue;
        const uint64_t c = cost[(e - len) % (kMaxMatch + 1)] + kMatchBits;
        if (c < best) {
          best = c;
          best_step = len;
        }
      }
      cost[e % (kMaxMatch + 1)] = best;
      step[e] = static_cast<uint8_t>(best_step);
    }
    // Walk back from the end and mark each item at its start instead.
    std::vector<uint8_t> start(size + 1, 0);
    for (size_t e = size; e > 0; e -= step[e]) start[e - step[e]] = step[e];

    out->clear();
    out->reserve(8 + size + size / 8 + 4);
    out->resize(8);
    FlagWriter flags(out);
    for (size_t i = 0; i < size; i += start[i]) {
      if (start[i] == 1) {
        flags.Put(0);
        out->push_back(data[i]);
        continue;
      }
      const unsigned n = start[i] - kMinMatch;
      flags.Put(1);
      flags.Put(n >> 2 & 1);
      flags.Put(n >> 1 & 1);
      flags.Put(n & 1);
      out->push_back(distances[i]);
    }
    flags.Finish();
    PutU32(out, 0, static_cast<uint32_t>(out->size() - 8));
    PutU32(out, 4, static_cast<uint32_t>(size));
  } catch (const std::bad_alloc&) {
    out->clear();
    return false;
  }
  return true;
}

}  // namespace upkeep
