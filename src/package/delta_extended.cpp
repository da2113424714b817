#include "package/delta_extended.h"

#include "package/byte_sources.h"
#include "package/coded_stream.h"
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

using StreamSource = CodedStream;
static_assert(kExtendedCodecStored == CodedStream::kStored &&
                  kExtendedCodecDeflate == CodedStream::kDeflate &&
                  kExtendedCodecLzma2 == CodedStream::kLzma2,
              "the split layout's codecs are the coded stream's");

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
    return ApplyDeltaSeek(seek_, old_size_, &position_);
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

void AppendDeltaVarint(uint64_t v, std::vector<uint8_t>* out) {
  while (v >= 0x80) {
    out->push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out->push_back(static_cast<uint8_t>(v));
}

bool ApplyDeltaSeek(int64_t seek, uint64_t oldSize, uint64_t* position) {
  if (seek < 0) {
    const uint64_t back = static_cast<uint64_t>(-(seek + 1)) + 1;
    if (back > *position) return false;
    *position -= back;
  } else {
    const uint64_t ahead = static_cast<uint64_t>(seek);
    if (ahead > oldSize || *position > oldSize - ahead) return false;
    *position += ahead;
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

// The records after the marker, inflated as they are read: the stream must
// end exactly at the end of the stored bytes.
bool DecodeRaw(PackageSource& stored, RecordParser* parser) {
  static const uint8_t kMagic[4] = {'U', 'K', 'X', '2'};
  if (!parser->Feed(kMagic, sizeof kMagic)) return false;
  SequentialSource in(&stored, 1, stored.size());
  bool left = true;
  const bool ok = InflateSequence(
      in, true, [parser](const uint8_t* data, size_t got) { return parser->Feed(data, got); },
      &left);
  return ok && !left && parser->AtRecordBoundary();
}

}  // namespace

bool DecodeExtendedDelta(PackageSource& stored, OldSource* old, uint64_t oldSize,
                         const DeltaSink& sink, ExtendedDeltaInfo* info) {
  *info = ExtendedDeltaInfo();
  if (sink != nullptr && old == nullptr && oldSize != 0) return false;
  const uint64_t storedSize = stored.size();
  uint8_t magic[4] = {};
  if (storedSize >= 4 && !stored.ReadAt(0, magic, 4)) return false;
  if (storedSize > 0 && storedSize < 4 && !stored.ReadAt(0, magic, 1)) return false;
  if (storedSize >= 4 && std::memcmp(magic, kExtendedSplitMagic, 4) == 0)
    return DecodeSplit(stored, old, oldSize, sink, info);
  std::unique_ptr<RecordParser> parser(new (std::nothrow) RecordParser(old, oldSize, sink, info));
  if (parser == nullptr) return false;
  if (storedSize >= 1 && magic[0] == kExtendedRawMarker) return DecodeRaw(stored, parser.get());
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
  AppendDeltaVarint((copyLength << 1) | (plain ? 1 : 0), out);
  AppendDeltaVarint(insertLength, out);
  AppendDeltaVarint((static_cast<uint64_t>(seek) << 1) ^ static_cast<uint64_t>(seek >> 63), out);
  if (copyLength != 0 && !plain) out->insert(out->end(), add, add + copyLength);
  if (insertLength != 0) out->insert(out->end(), extra, extra + insertLength);
}

}  // namespace upkeep
