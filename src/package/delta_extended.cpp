#include "package/delta_extended.h"

#include "package/byte_sources.h"
#include "package/payload_stream.h"

#include <lzma.h>
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

// One stream of the split layout, decoded through a fixed buffer. Its end is
// checked where it is reached: exactly the declared length and checksum, and no
// stored bytes left over.
class StreamSource {
 public:
  StreamSource() = default;
  StreamSource(const StreamSource&) = delete;
  StreamSource& operator=(const StreamSource&) = delete;
  ~StreamSource() {
    if (zlib_open_) inflateEnd(&zs_);
    if (lzma_open_) lzma_end(&xz_);
  }

  // The stream is [offset, offset + inSize) of `source`.
  bool Open(uint8_t codec, PackageSource* source, uint64_t offset, uint64_t inSize,
            uint32_t rawSize, uint32_t crc, uint32_t dictionary) {
    codec_ = codec;
    in_.reset(new (std::nothrow) SequentialSource(source, offset, offset + inSize, kChunk));
    if (in_ == nullptr) return false;
    raw_size_ = rawSize;
    want_crc_ = crc;
    crc_ = crc32(0, nullptr, 0);
    if (codec == kExtendedCodecStored) return inSize == rawSize;
    buffer_.reset(new (std::nothrow) uint8_t[kChunk]);
    if (buffer_ == nullptr) return false;
    if (codec == kExtendedCodecDeflate) {
      if (inflateInit(&zs_) != Z_OK) return false;
      zlib_open_ = true;
      return true;
    }
    if (codec != kExtendedCodecLzma2 || dictionary < LZMA_DICT_SIZE_MIN ||
        dictionary > kMaxExtendedDictionary) {
      return false;
    }
    lzma_options_lzma options = {};
    options.dict_size = dictionary;
    options.lc = LZMA_LC_DEFAULT;
    options.lp = LZMA_LP_DEFAULT;
    options.pb = LZMA_PB_DEFAULT;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    if (lzma_raw_decoder(&xz_, filters) != LZMA_OK) return false;
    lzma_open_ = true;
    return true;
  }

  // Up to `want` decoded bytes; none (and true) only where the stream has ended.
  bool Take(size_t want, const uint8_t** p, size_t* got) {
    if (at_ == have_ && !Refill()) return false;
    *got = std::min(want, have_ - at_);
    *p = data_ + at_;
    at_ += *got;
    return true;
  }

  // True when every decoded byte was taken and the stream ends there.
  bool Finish() {
    if (at_ != have_) return false;
    return ended_ || (Refill() && have_ == 0 && ended_);
  }

 private:
  bool Refill() {
    at_ = have_ = 0;
    if (ended_) return true;
    if (codec_ == kExtendedCodecStored) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, raw_size_ - produced_));
      if (!in_->Next(want, &data_, &have_) || have_ != want) return false;
      ended_ = produced_ + have_ == raw_size_;
    } else {
      data_ = buffer_.get();
      while (have_ == 0 && !ended_) {
        const uint8_t* next = nullptr;
        size_t given = 0;
        if (codec_ == kExtendedCodecDeflate ? zs_.avail_in == 0 : xz_.avail_in == 0) {
          if (!in_->Next(kChunk, &next, &given)) return false;
          if (codec_ == kExtendedCodecDeflate) {
            zs_.next_in = const_cast<uint8_t*>(next);
            zs_.avail_in = static_cast<uInt>(given);
          } else {
            xz_.next_in = next;
            xz_.avail_in = given;
          }
        }
        size_t left = 0;
        if (codec_ == kExtendedCodecDeflate) {
          zs_.next_out = buffer_.get();
          zs_.avail_out = static_cast<uInt>(kChunk);
          const int r = inflate(&zs_, Z_NO_FLUSH);
          if (r != Z_OK && r != Z_STREAM_END && !(r == Z_BUF_ERROR && zs_.avail_in == 0))
            return false;
          have_ = kChunk - zs_.avail_out;
          ended_ = r == Z_STREAM_END;
          left = zs_.avail_in;
        } else {
          xz_.next_out = buffer_.get();
          xz_.avail_out = kChunk;
          const lzma_ret r = lzma_code(&xz_, in_->left() == 0 ? LZMA_FINISH : LZMA_RUN);
          if (r != LZMA_OK && r != LZMA_STREAM_END && !(r == LZMA_BUF_ERROR && xz_.avail_in == 0))
            return false;
          have_ = kChunk - xz_.avail_out;
          ended_ = r == LZMA_STREAM_END;
          left = xz_.avail_in;
        }
        left += static_cast<size_t>(std::min<uint64_t>(in_->left(), kChunk));
        if (ended_ && left != 0) return false;                 // bytes after the stream
        if (!ended_ && have_ == 0 && left == 0) return false;  // cut short
      }
    }
    // Stops as soon as the stream says more than its header, however long it would run.
    if (have_ > raw_size_ - produced_) return false;
    produced_ += have_;
    if (have_ != 0) crc_ = crc32(crc_, data_, static_cast<uInt>(have_));
    return !ended_ || (produced_ == raw_size_ && crc_ == want_crc_);
  }

  uint8_t codec_ = kExtendedCodecStored;
  std::unique_ptr<SequentialSource> in_;
  uint32_t raw_size_ = 0, want_crc_ = 0;
  uLong crc_ = 0;
  uint64_t produced_ = 0;
  std::unique_ptr<uint8_t[]> buffer_;
  const uint8_t* data_ = nullptr;
  size_t at_ = 0, have_ = 0;
  bool ended_ = false;
  z_stream zs_ = {};
  bool zlib_open_ = false;
  lzma_stream xz_ = LZMA_STREAM_INIT;
  bool lzma_open_ = false;
};

// Consumes record bytes as they arrive; any chunking gives the same result.
// With `adds` and `inserts` given (the split layout) the fed bytes are the
// controls alone, without magic, and the records' bytes come from those streams.
class RecordParser {
 public:
  RecordParser(OldSource* old, uint64_t oldSize, const DeltaSink& sink, ExtendedDeltaInfo* info,
               StreamSource* adds = nullptr, StreamSource* inserts = nullptr)
      : old_(old), old_size_(oldSize), sink_(sink), info_(info), adds_(adds), inserts_(inserts) {
    if (adds_ != nullptr) state_ = kCopyLength;
  }

  bool Feed(const uint8_t* p, size_t n) {
    for (;;) {
      if (adds_ != nullptr && (state_ == kAdd || state_ == kInsert)) {
        StreamSource* from = state_ == kAdd ? adds_ : inserts_;
        const uint8_t* q;
        size_t got;
        if (!from->Take(static_cast<size_t>(std::min<uint64_t>(remaining_, kChunk)), &q, &got) ||
            got == 0) {
          return false;
        }
        if (!(state_ == kAdd ? Adds(q, got) : Inserts(q, got))) return false;
        continue;
      }
      if (n == 0) return true;
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
        case kAdd:
        case kInsert: {
          const size_t take = static_cast<size_t>(std::min<uint64_t>(n, remaining_));
          if (!(state_ == kAdd ? Adds(p, take) : Inserts(p, take))) return false;
          p += take, n -= take;
          break;
        }
      }
    }
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
          // As large as the old source gives: a long copy then goes out in a
          // few large writes.
          const uint64_t piece = std::min<uint64_t>(old_->span(), uint64_t{1} << 30);
          for (uint64_t done = 0; done < copy_;) {
            const size_t k = static_cast<size_t>(std::min<uint64_t>(copy_ - done, piece));
            const uint8_t* src = old_->Span(position_ + done, k);
            if (src == nullptr) return false;
            sink_(src, k);
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

  bool Adds(const uint8_t* p, size_t take) {
    if (sink_ != nullptr) {
      for (size_t done = 0; done < take;) {
        const size_t k = std::min({take - done, kChunk, old_->span()});
        const uint8_t* src = old_->Span(position_, k);
        if (src == nullptr) return false;
        for (size_t i = 0; i < k; ++i) out_[i] = static_cast<uint8_t>(src[i] + p[done + i]);
        sink_(out_, k);
        position_ += k;
        done += k;
      }
    } else {
      position_ += take;
    }
    remaining_ -= take;
    return remaining_ != 0 || StartInsert();
  }

  bool Inserts(const uint8_t* p, size_t take) {
    if (sink_ != nullptr) sink_(p, take);
    remaining_ -= take;
    return remaining_ != 0 || EndRecord();
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

  OldSource* old_;
  uint64_t old_size_;
  const DeltaSink& sink_;
  ExtendedDeltaInfo* info_;
  StreamSource* adds_;
  StreamSource* inserts_;
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

bool HasDeltaSuffix(const char* name, const char* suffix) {
  if (name == nullptr) return false;
  const size_t n = std::strlen(name), k = std::strlen(suffix);
  if (n <= k) return false;
  for (size_t i = 0; i < k; ++i) {
    char c = name[n - k + i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != suffix[i]) return false;
  }
  return true;
}

bool IsExtendedDeltaName(const char* name) { return HasDeltaSuffix(name, kExtendedDeltaSuffix); }

namespace {

bool DecodeSplit(PackageSource& stored, OldSource* old, uint64_t oldSize, const DeltaSink& sink,
                 ExtendedDeltaInfo* info) {
  const uint64_t storedSize = stored.size();
  uint8_t header[kExtendedSplitHeaderSize];
  if (storedSize < kExtendedSplitHeaderSize || !stored.ReadAt(0, header, sizeof header))
    return false;
  std::unique_ptr<StreamSource[]> streams(new (std::nothrow) StreamSource[kExtendedStreams]);
  if (streams == nullptr) return false;
  const uint8_t* at = header + 4;
  uint64_t offset = kExtendedSplitHeaderSize;
  uint64_t dictionaries = 0;
  for (int i = 0; i < kExtendedStreams; ++i, at += kExtendedStreamHeaderSize) {
    const uint32_t dictionary = GetU32(at + 1), raw = GetU32(at + 5), crc = GetU32(at + 9);
    const uint32_t size = GetU32(at + 13);
    if (size > storedSize - offset) return false;
    // The dictionaries are all allocated at once, so their sum is what is bounded.
    if (at[0] == kExtendedCodecLzma2) dictionaries += dictionary;
    if (dictionaries > kMaxExtendedDictionary) return false;
    if (!streams[i].Open(at[0], &stored, offset, size, raw, crc, dictionary)) return false;
    offset += size;
  }
  if (offset != storedSize) return false;
  std::unique_ptr<RecordParser> parser(
      new (std::nothrow) RecordParser(old, oldSize, sink, info, &streams[1], &streams[2]));
  if (parser == nullptr) return false;
  for (;;) {
    const uint8_t* p;
    size_t got;
    if (!streams[0].Take(kChunk, &p, &got)) return false;
    if (got == 0) break;
    if (!parser->Feed(p, got)) return false;
  }
  return parser->AtRecordBoundary() && streams[1].Finish() && streams[2].Finish();
}

}  // namespace

bool DecodeExtendedDelta(PackageSource& stored, OldSource* old, uint64_t oldSize,
                         const DeltaSink& sink, ExtendedDeltaInfo* info) {
  *info = ExtendedDeltaInfo();
  if (sink != nullptr && old == nullptr && oldSize != 0) return false;
  const uint64_t storedSize = stored.size();
  uint8_t magic[4] = {};
  if (storedSize >= 4 && !stored.ReadAt(0, magic, 4)) return false;
  if (storedSize >= 4 && std::memcmp(magic, kExtendedSplitMagic, 4) == 0)
    return DecodeSplit(stored, old, oldSize, sink, info);
  std::unique_ptr<RecordParser> parser(new (std::nothrow) RecordParser(old, oldSize, sink, info));
  if (parser == nullptr) return false;
  const ByteSink feed = [&parser](const uint8_t* p, size_t n) { return parser->Feed(p, n); };
  // The records of a delta too long for one payload, in blocks.
  if (storedSize >= 4 && std::memcmp(magic, kBlockStreamMagic, 4) == 0)
    return DecodeBlockStream(stored, feed) && parser->AtRecordBoundary();
  return DecodeZlibPayload(stored, feed, nullptr, true) && parser->AtRecordBoundary();
}

bool DecodeExtendedDelta(const uint8_t* stored, size_t storedSize, const uint8_t* old,
                         uint64_t oldSize, const DeltaSink& sink, ExtendedDeltaInfo* info) {
  MemorySource in(stored, storedSize);
  MemoryOldSource from(old, old != nullptr ? oldSize : 0);
  return DecodeExtendedDelta(in, old != nullptr ? &from : nullptr, oldSize, sink, info);
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
