#include "authoring/delta_block_match.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "package/delta_extended.h"

namespace upkeep {

namespace {

constexpr uint32_t kHashMul = 0x9E3779B1u;
// Literal runs go out at this length, so the window never has to hold more.
constexpr size_t kMaxLiteral = size_t{1} << 20;
constexpr size_t kCompareChunk = size_t{64} << 10;
// How far a match may grow back into the bytes before its block.
constexpr uint64_t kMaxBackward = uint64_t{64} << 10;
constexpr uint64_t kProgressStep = uint64_t{4} << 20;

// Bytes count as value + 1, so that runs of zeros hash like anything else.
uint32_t HashBlock(const uint8_t* p, size_t n) {
  uint32_t h = 0;
  for (size_t i = 0; i < n; ++i) h = h * kHashMul + p[i] + 1u;
  return h;
}

uint32_t PowerOf(uint32_t base, uint64_t exponent) {
  uint32_t result = 1;
  while (exponent > 0) {
    if (exponent & 1) result *= base;
    base *= base;
    exponent >>= 1;
  }
  return result;
}

// Block hashes of the old file: open addressing, the first block of a hash
// kept, and a bit per hash slot in front of it, so most positions of the new
// file are turned away by one bit.
class BlockIndex {
 public:
  bool Init(uint64_t blocks) {
    uint64_t slots = 1024;
    while (slots < blocks * 2) slots *= 2;
    try {
      slots_.assign(static_cast<size_t>(slots), 0);
      filter_.assign(static_cast<size_t>(slots), 0);  // 8 bits a slot
    } catch (const std::bad_alloc&) {
      return false;
    }
    mask_ = slots - 1;
    bits_ = 0;
    while ((uint64_t{1} << bits_) < slots * 8) ++bits_;
    return true;
  }
  void Insert(uint32_t hash, uint64_t block) {
    const uint64_t bit = Mix(hash) >> (64 - bits_);
    filter_[static_cast<size_t>(bit >> 3)] |= static_cast<uint8_t>(1u << (bit & 7));
    for (uint64_t i = Mix(hash) & mask_;; i = (i + 1) & mask_) {
      uint64_t& slot = slots_[static_cast<size_t>(i)];
      if (slot == 0) {
        slot = static_cast<uint64_t>(hash) << 32 | static_cast<uint32_t>(block + 1);
        return;
      }
      if (static_cast<uint32_t>(slot >> 32) == hash) return;  // the first one stays
    }
  }
  // The block of `hash`, or -1.
  int64_t Find(uint32_t hash) const {
    const uint64_t bit = Mix(hash) >> (64 - bits_);
    if ((filter_[static_cast<size_t>(bit >> 3)] & (1u << (bit & 7))) == 0) return -1;
    for (uint64_t i = Mix(hash) & mask_;; i = (i + 1) & mask_) {
      const uint64_t slot = slots_[static_cast<size_t>(i)];
      if (slot == 0) return -1;
      if (static_cast<uint32_t>(slot >> 32) == hash) return static_cast<uint32_t>(slot) - 1;
    }
  }

 private:
  static uint64_t Mix(uint32_t hash) { return (hash + 1ull) * 0x9E3779B97F4A7C15ull; }
  std::vector<uint64_t> slots_;
  std::vector<uint8_t> filter_;
  uint64_t mask_ = 0;
  int bits_ = 0;
};

// The new file through one buffer that slides forward: bytes from `keep` on
// stay while later ones are read in.
class Window {
 public:
  Window(File* file, uint64_t size, size_t capacity) : file_(file), size_(size) {
    buffer_.resize(capacity);
  }
  bool Ensure(uint64_t keep, uint64_t to) {
    if (to <= base_ + length_) return true;
    if (to > size_ || keep < base_ || to - keep > buffer_.size()) return false;
    const size_t drop = static_cast<size_t>(keep - base_);
    std::memmove(buffer_.data(), buffer_.data() + drop, length_ - drop);
    base_ = keep;
    length_ -= drop;
    const size_t room = buffer_.size() - length_;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(room, size_ - (base_ + length_)));
    if (file_->ReadAt(base_ + length_, buffer_.data() + length_, n) != static_cast<int64_t>(n))
      return false;
    length_ += n;
    return to <= base_ + length_;
  }
  const uint8_t* At(uint64_t pos) const { return buffer_.data() + (pos - base_); }

 private:
  File* file_;
  uint64_t size_;
  std::vector<uint8_t> buffer_;
  uint64_t base_ = 0;
  size_t length_ = 0;
};

// Builds the records: each is the copy in progress, the literals after it,
// and the seek to where the next copy starts.
class Records {
 public:
  explicit Records(const std::function<bool(const uint8_t*, size_t)>& out) : out_(out) {
    ok_ = out_(reinterpret_cast<const uint8_t*>(kExtendedDeltaMagic), 4);
  }
  void Literal(const uint8_t* p, size_t n) {
    literals_.insert(literals_.end(), p, p + n);
    if (literals_.size() >= kMaxLiteral) End(0);
  }
  // A copy that starts at `old` in the old file; it grows with Grow.
  void Copy(uint64_t old) { End(static_cast<int64_t>(old - (start_ + length_))); }
  void Grow(uint64_t n) { length_ += n; }
  bool Finish() {
    if (length_ != 0 || !literals_.empty()) End(0);
    return ok_;
  }
  bool ok() const { return ok_; }

 private:
  // Writes the record in progress with `seek`, and starts the next one where
  // the seek leads.
  void End(int64_t seek) {
    head_.clear();
    AppendDeltaVarint(length_ << 1 | (length_ != 0 ? 1 : 0), &head_);
    AppendDeltaVarint(literals_.size(), &head_);
    AppendDeltaVarint(static_cast<uint64_t>(seek) << 1 ^ static_cast<uint64_t>(seek >> 63), &head_);
    ok_ = ok_ && out_(head_.data(), head_.size()) &&
          (literals_.empty() || out_(literals_.data(), literals_.size()));
    start_ = static_cast<uint64_t>(static_cast<int64_t>(start_ + length_) + seek);
    length_ = 0;
    literals_.clear();
  }

  const std::function<bool(const uint8_t*, size_t)>& out_;
  std::vector<uint8_t> head_;
  std::vector<uint8_t> literals_;
  uint64_t start_ = 0;   // the old offset of the copy in progress
  uint64_t length_ = 0;  // its length so far
  bool ok_ = true;
};

uint32_t BlockFor(uint64_t oldSize, uint32_t asked) {
  if (asked != 0) return std::max<uint32_t>(asked, 16);
  uint32_t block = kMinMatchBlock;
  while (oldSize / block > kMaxMatchBlocks && block < (1u << 30)) block *= 2;
  return block;
}

}  // namespace

bool EncodeBlockMatchDelta(File* oldFile, uint64_t oldSize, File* newFile, uint64_t newSize,
                           const BlockMatchOptions& options,
                           const std::function<bool(const uint8_t*, size_t)>& out,
                           BlockMatchResult* result) {
  *result = BlockMatchResult();
  const uint32_t block = BlockFor(oldSize, options.block);
  const uint64_t blocks = oldSize / block;
  std::unique_ptr<BlockIndex> index(new (std::nothrow) BlockIndex);
  std::unique_ptr<uint8_t[]> old_buffer(new (std::nothrow)
                                            uint8_t[std::max<size_t>(block, kCompareChunk)]);
  if (index == nullptr || old_buffer == nullptr || !index->Init(blocks)) return false;

  // The old file's blocks, read a few at a time.
  {
    const size_t per_read = std::max<size_t>(1, (size_t{4} << 20) / block);
    std::vector<uint8_t> run;
    try {
      run.resize(per_read * block);
    } catch (const std::bad_alloc&) {
      return false;
    }
    for (uint64_t b = 0; b < blocks;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(per_read, blocks - b));
      const size_t bytes = n * block;
      if (oldFile->ReadAt(b * block, run.data(), bytes) != static_cast<int64_t>(bytes))
        return false;
      for (size_t i = 0; i < n; ++i) index->Insert(HashBlock(run.data() + i * block, block), b + i);
      b += n;
    }
  }

  const size_t capacity = std::max<size_t>(
      options.window, 2 * kMaxLiteral + 2 * static_cast<size_t>(block) + kCompareChunk);
  std::unique_ptr<Window> window(new (std::nothrow) Window(newFile, newSize, capacity));
  if (window == nullptr) return false;
  Records records(out);
  const uint32_t drop_factor = PowerOf(kHashMul, block);
  uint64_t pos = 0, literal = 0, reported = 0;
  uint32_t hash = 0;
  bool rolling = false;
  while (pos + block <= newSize && records.ok()) {
    if (!window->Ensure(literal, std::min<uint64_t>(pos + block + 1, newSize))) return false;
    if (!rolling) {
      hash = HashBlock(window->At(pos), block);
      rolling = true;
    }
    const int64_t found = index->Find(hash);
    if (found >= 0) {
      const uint64_t old_at = static_cast<uint64_t>(found) * block;
      if (oldFile->ReadAt(old_at, old_buffer.get(), block) != static_cast<int64_t>(block))
        return false;
      if (std::memcmp(old_buffer.get(), window->At(pos), block) == 0) {
        // Grown back into the literal bytes before it, as far as they agree.
        uint64_t back = 0;
        const uint64_t limit = std::min({pos - literal, old_at, kMaxBackward});
        while (back < limit) {
          const size_t k = static_cast<size_t>(std::min<uint64_t>(limit - back, kCompareChunk));
          const uint64_t from = old_at - back - k;
          if (oldFile->ReadAt(from, old_buffer.get(), k) != static_cast<int64_t>(k)) return false;
          const uint8_t* mine = window->At(pos - back - k);
          size_t same = 0;
          while (same < k && mine[k - 1 - same] == old_buffer[k - 1 - same]) ++same;
          back += same;
          if (same < k) break;
        }
        records.Literal(window->At(literal), static_cast<size_t>(pos - back - literal));
        records.Copy(old_at - back);
        records.Grow(back + block);
        result->copied += back + block;
        // Then forward, as far as both files agree.
        uint64_t at = pos + block, old_next = old_at + block;
        while (at < newSize && old_next < oldSize) {
          const size_t k = static_cast<size_t>(
              std::min({uint64_t{kCompareChunk}, newSize - at, oldSize - old_next}));
          if (!window->Ensure(at, at + k) ||
              oldFile->ReadAt(old_next, old_buffer.get(), k) != static_cast<int64_t>(k)) {
            return false;
          }
          const uint8_t* mine = window->At(at);
          size_t same = 0;
          if (std::memcmp(mine, old_buffer.get(), k) == 0) {
            same = k;
          } else {
            while (mine[same] == old_buffer[same]) ++same;
          }
          records.Grow(same);
          result->copied += same;
          at += same;
          old_next += same;
          if (same < k) break;
        }
        pos = literal = at;
        rolling = false;
        continue;
      }
    }
    if (pos + block < newSize) {
      const uint8_t* p = window->At(pos);
      hash = hash * kHashMul + p[block] + 1u - (p[0] + 1u) * drop_factor;
    }
    ++pos;
    if (pos - literal >= kMaxLiteral) {
      records.Literal(window->At(literal), static_cast<size_t>(pos - literal));
      literal = pos;
    }
    if (pos - reported >= kProgressStep) {
      reported = pos;
      if (options.progress) options.progress(pos);
      if (options.giveUpAfter != 0 && pos >= options.giveUpAfter && result->copied * 32 < pos) {
        result->gaveUp = true;
        return false;
      }
    }
  }
  // What is left after the last match is inserted.
  while (literal < newSize && records.ok()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kMaxLiteral, newSize - literal));
    if (!window->Ensure(literal, literal + n)) return false;
    records.Literal(window->At(literal), n);
    literal += n;
  }
  result->inserted = newSize - result->copied;
  if (options.progress) options.progress(newSize);
  return records.Finish();
}

}  // namespace upkeep
