#include "package/delta_extended.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace upkeep {

namespace {

constexpr size_t kChunk = 64 * 1024;

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void PutVarint(uint64_t v, std::vector<uint8_t>* out) {
  while (v >= 0x80) {
    out->push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out->push_back(static_cast<uint8_t>(v));
}

// Consumes inflated bytes as they arrive; any chunking gives the same result.
class RecordParser {
 public:
  RecordParser(const uint8_t* old, uint64_t oldSize, const DeltaSink& sink, ExtendedDeltaInfo* info)
      : old_(old), old_size_(oldSize), sink_(sink), info_(info) {}

  bool Feed(const uint8_t* p, size_t n) {
    while (n > 0) {
      switch (state_) {
        case kMagic:
          if (field_ == 3 && *p == '1') {
            plain_bit_ = false;  // the first layout, still made by older tools
          } else if (*p != static_cast<uint8_t>(kExtendedDeltaMagic[field_])) {
            return false;
          }
          ++p, --n;
          if (++field_ == 4) state_ = kCopyLength, field_ = 0;
          break;
        case kCopyLength:
        case kInsertLength:
        case kSeek: {
          const uint8_t b = *p++;
          --n;
          if (shift_ == 63 && (b & 0x7E) != 0) return false;  // past 64 bits
          if (shift_ > 63) return false;
          value_ |= static_cast<uint64_t>(b & 0x7F) << shift_;
          shift_ += 7;
          if (b & 0x80) break;
          if (!EndField()) return false;
          break;
        }
        case kAdd: {
          const size_t take = static_cast<size_t>(std::min<uint64_t>(n, remaining_));
          if (sink_ != nullptr) {
            for (size_t done = 0; done < take;) {
              const size_t k = std::min(take - done, kChunk);
              const uint8_t* src = old_ + position_;
              for (size_t i = 0; i < k; ++i) out_[i] = static_cast<uint8_t>(src[i] + p[done + i]);
              sink_(out_, k);
              position_ += k;
              done += k;
            }
          } else {
            position_ += take;
          }
          p += take, n -= take, remaining_ -= take;
          if (remaining_ == 0 && !StartInsert()) return false;
          break;
        }
        case kInsert: {
          const size_t take = static_cast<size_t>(std::min<uint64_t>(n, remaining_));
          if (sink_ != nullptr) sink_(p, take);
          p += take, n -= take, remaining_ -= take;
          if (remaining_ == 0 && !EndRecord()) return false;
          break;
        }
      }
    }
    return true;
  }

  // True when the bytes ended between two records.
  bool AtRecordBoundary() const { return state_ == kCopyLength && shift_ == 0; }

 private:
  enum State { kMagic, kCopyLength, kInsertLength, kSeek, kAdd, kInsert };

  bool EndField() {
    const uint64_t v = value_;
    value_ = 0;
    shift_ = 0;
    if (state_ == kCopyLength) {
      plain_ = plain_bit_ && (v & 1) != 0;
      copy_ = plain_bit_ ? v >> 1 : v;
      state_ = kInsertLength;
    } else if (state_ == kInsertLength) {
      insert_ = v;
      state_ = kSeek;
    } else {
      seek_ = static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1);
      // Both checks subtract, so no claimed length can wrap.
      if (copy_ != 0) {
        if (position_ > old_size_ || copy_ > old_size_ - position_) return false;
        if (position_ + copy_ > info_->oldNeeded) info_->oldNeeded = position_ + copy_;
      }
      if (copy_ > std::numeric_limits<uint64_t>::max() - info_->outputSize) return false;
      info_->outputSize += copy_;
      if (insert_ > std::numeric_limits<uint64_t>::max() - info_->outputSize) return false;
      info_->outputSize += insert_;
      if (plain_) {
        if (sink_ != nullptr) {
          for (uint64_t done = 0; done < copy_;) {
            const size_t k = static_cast<size_t>(std::min<uint64_t>(copy_ - done, kChunk));
            sink_(old_ + position_ + done, k);
            done += k;
          }
        }
        position_ += copy_;
        return StartInsert();
      }
      remaining_ = copy_;
      state_ = kAdd;
      if (remaining_ == 0) return StartInsert();
    }
    return true;
  }

  bool StartInsert() {
    remaining_ = insert_;
    state_ = kInsert;
    return remaining_ != 0 || EndRecord();
  }

  // Applies the seek once the record's bytes are all in.
  bool EndRecord() {
    state_ = kCopyLength;
    if (seek_ < 0) {
      const uint64_t back = static_cast<uint64_t>(-(seek_ + 1)) + 1;
      if (back > position_) return false;
      position_ -= back;
    } else {
      const uint64_t ahead = static_cast<uint64_t>(seek_);
      if (ahead > old_size_ || position_ > old_size_ - ahead) return false;
      position_ += ahead;
    }
    return true;
  }

  const uint8_t* old_;
  uint64_t old_size_;
  const DeltaSink& sink_;
  ExtendedDeltaInfo* info_;
  State state_ = kMagic;
  int field_ = 0;
  uint64_t value_ = 0;
  int shift_ = 0;
  bool plain_bit_ = true;  // the copy varint carries the plain bit
  bool plain_ = false;
  uint64_t copy_ = 0, insert_ = 0, remaining_ = 0;
  int64_t seek_ = 0;
  uint64_t position_ = 0;
  uint8_t out_[kChunk];
};

}  // namespace

bool IsExtendedDeltaName(const char* name) {
  if (name == nullptr) return false;
  const size_t n = std::strlen(name), k = sizeof(kExtendedDeltaSuffix) - 1;
  if (n <= k) return false;
  for (size_t i = 0; i < k; ++i) {
    char c = name[n - k + i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != kExtendedDeltaSuffix[i]) return false;
  }
  return true;
}

bool DecodeExtendedDelta(const uint8_t* stored, size_t storedSize, const uint8_t* old,
                         uint64_t oldSize, const DeltaSink& sink, ExtendedDeltaInfo* info) {
  *info = ExtendedDeltaInfo();
  if (storedSize < 8) return false;
  const uint32_t want_adler = GetU32(stored + storedSize - 8);
  const uint32_t want_length = GetU32(stored + storedSize - 4);
  std::unique_ptr<RecordParser> parser(new (std::nothrow) RecordParser(old, oldSize, sink, info));
  if (parser == nullptr) return false;
  z_stream zs = {};
  if (inflateInit(&zs) != Z_OK) return false;
  std::vector<uint8_t> buffer(kChunk);
  size_t in_left = storedSize - 8;
  const uint8_t* in = stored;
  uLong adler = adler32(0, nullptr, 0);
  uint64_t produced = 0;
  int result = Z_OK;
  bool ok = true;
  while (ok && result != Z_STREAM_END) {
    if (zs.avail_in == 0) {
      const size_t give = std::min<size_t>(in_left, 1u << 30);
      zs.next_in = const_cast<uint8_t*>(in);
      zs.avail_in = static_cast<uInt>(give);
      in += give;
      in_left -= give;
    }
    zs.next_out = buffer.data();
    zs.avail_out = static_cast<uInt>(buffer.size());
    result = inflate(&zs, Z_NO_FLUSH);
    const size_t got = buffer.size() - zs.avail_out;
    if (result != Z_OK && result != Z_STREAM_END) ok = false;
    if (result == Z_OK && got == 0 && zs.avail_in == 0 && in_left == 0) ok = false;  // cut short
    produced += got;
    // Stops as soon as the stream says more than its trailer, however long it would run.
    if (produced > want_length) ok = false;
    if (ok && got != 0) {
      adler = adler32(adler, buffer.data(), static_cast<uInt>(got));
      ok = parser->Feed(buffer.data(), got);
    }
  }
  inflateEnd(&zs);
  return ok && produced == want_length && adler == want_adler && parser->AtRecordBoundary();
}

void AppendExtendedDeltaMagic(std::vector<uint8_t>* out) {
  out->insert(out->end(), kExtendedDeltaMagic, kExtendedDeltaMagic + 4);
}

void AppendExtendedDeltaRecord(const uint8_t* add, uint64_t copyLength, const uint8_t* extra,
                               uint64_t insertLength, int64_t seek, std::vector<uint8_t>* out) {
  const bool plain = add == nullptr && copyLength != 0;
  PutVarint((copyLength << 1) | (plain ? 1 : 0), out);
  PutVarint(insertLength, out);
  PutVarint((static_cast<uint64_t>(seek) << 1) ^ static_cast<uint64_t>(seek >> 63), out);
  if (copyLength != 0 && !plain) out->insert(out->end(), add, add + copyLength);
  if (insertLength != 0) out->insert(out->end(), extra, extra + insertLength);
}

}  // namespace upkeep
