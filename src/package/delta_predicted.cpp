#include "package/delta_predicted.h"

#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "package/address_model.h"
#include "package/byte_sources.h"
#include "package/coded_stream.h"

namespace upkeep {

namespace {

constexpr size_t kChunk = 64 * 1024;
constexpr int kStreams = 3;

// Reads the header's fields, never past its end.
class HeaderReader {
 public:
  HeaderReader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  bool Byte(uint8_t* v) {
    if (at_ == n_) return false;
    *v = p_[at_++];
    return true;
  }
  bool U32(uint32_t* v) {
    if (n_ - at_ < 4) return false;
    *v = static_cast<uint32_t>(p_[at_]) | (static_cast<uint32_t>(p_[at_ + 1]) << 8) |
         (static_cast<uint32_t>(p_[at_ + 2]) << 16) | (static_cast<uint32_t>(p_[at_ + 3]) << 24);
    at_ += 4;
    return true;
  }
  bool Varint(uint64_t* v) {
    *v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      uint8_t b;
      if (!Byte(&b)) return false;
      if (shift == 63 && (b & 0x7E) != 0) return false;  // past 64 bits
      *v |= static_cast<uint64_t>(b & 0x7F) << shift;
      if ((b & 0x80) == 0) return true;
    }
    return false;
  }
  size_t at() const { return at_; }

 private:
  const uint8_t* p_;
  size_t n_;
  size_t at_ = 0;
};

using Stream = CodedStream;
static_assert(kPredictedCodecStored == CodedStream::kStored &&
                  kPredictedCodecLzma2 == CodedStream::kLzma2,
              "the predicted form's codecs are the coded stream's");

// The adds of copies that are not plain, from their runs of zeros.
class AddRuns {
 public:
  explicit AddRuns(Stream* s) : s_(s) {}

  // Exactly `n` adds into `out`.
  bool Take(size_t n, uint8_t* out) {
    while (n > 0) {
      if (zeros_ > 0) {
        const size_t k = static_cast<size_t>(std::min<uint64_t>(zeros_, n));
        std::memset(out, 0, k);
        out += k, n -= k, zeros_ -= k;
        continue;
      }
      if (value_due_) {
        uint8_t b;
        if (!s_->TakeByte(&b) || b == 0) return false;
        *out++ = b;
        --n;
        value_due_ = false;
        continue;
      }
      bool ended;
      if (!s_->Varint(&zeros_, &ended) || ended) return false;
      value_due_ = true;
    }
    return true;
  }

  // True when the adds ended exactly with the stream (after an add byte, or
  // after the zeros of the last item).
  bool Finish() { return zeros_ == 0 && s_->Finish(); }

 private:
  Stream* s_;
  uint64_t zeros_ = 0;
  bool value_due_ = false;  // the current item's zeros are used up, its add byte is next
};

class Decoder {
 public:
  Decoder(OldSource* old, uint64_t old_size, const DeltaSink& sink, ExtendedDeltaInfo* info)
      : old_(old), old_size_(old_size), sink_(sink), info_(info) {}

  bool Run(PackageSource& stored) {
    const uint64_t stored_size = stored.size();
    // The header is at most magic, mode and three headers of 35 bytes.
    uint8_t head[128];
    const size_t head_size = static_cast<size_t>(std::min<uint64_t>(sizeof head, stored_size));
    if (!stored.ReadAt(0, head, head_size)) return false;
    HeaderReader h(head, head_size);
    uint8_t magic[4];
    for (uint8_t& b : magic) {
      if (!h.Byte(&b)) return false;
    }
    if (std::memcmp(magic, kPredictedDeltaMagic, 4) != 0) return false;
    uint8_t mode;
    if (!h.Byte(&mode) || mode >= kAddressModes) return false;
    struct Header {
      uint8_t codec;
      uint64_t dictionary, raw, size;
      uint32_t crc;
    } headers[kStreams];
    uint64_t dictionaries = 0;
    for (Header& s : headers) {
      if (!h.Byte(&s.codec) || !h.Varint(&s.dictionary) || !h.Varint(&s.raw) || !h.U32(&s.crc) ||
          !h.Varint(&s.size)) {
        return false;
      }
      // The dictionaries are all allocated at once, so their sum is what is bounded.
      if (s.dictionary > kMaxExtendedDictionary) return false;
      dictionaries += s.dictionary;
    }
    if (dictionaries > kMaxExtendedDictionary) return false;
    uint64_t offset = h.at();
    for (int i = 0; i < kStreams; ++i) {
      if (headers[i].size > stored_size - offset) return false;
      const uint64_t size = headers[i].size;
      // Stored or LZMA2 only; a stored stream names no dictionary.
      const uint8_t codec = headers[i].codec;
      if ((codec != kPredictedCodecStored && codec != kPredictedCodecLzma2) ||
          (codec == kPredictedCodecStored && headers[i].dictionary != 0) ||
          !streams_[i].Open(codec, &stored, offset, size, headers[i].raw, headers[i].crc,
                            headers[i].dictionary)) {
        return false;
      }
      offset += size;
    }
    if (offset != stored_size) return false;
    // Without a sink the old file is not read, so neither is the model run.
    if (sink_ != nullptr && !model_.Init(mode)) return false;
    AddRuns adds(&streams_[1]);
    for (;;) {
      uint64_t copy, insert, seek;
      bool ended;
      if (!streams_[0].Varint(&copy, &ended)) return false;
      if (ended) break;
      if (!streams_[0].Varint(&insert, &ended) || ended || !streams_[0].Varint(&seek, &ended) ||
          ended) {
        return false;
      }
      if (!Record(copy, insert, seek, &adds)) return false;
    }
    return adds.Finish() && streams_[2].Finish();
  }

 private:
  bool Record(uint64_t copy_field, uint64_t insert, uint64_t seek_field, AddRuns* adds) {
    const bool plain = (copy_field & 1) != 0;
    const uint64_t copy = copy_field >> 1;
    // Both checks subtract, so no claimed length can wrap.
    if (copy != 0) {
      if (position_ > old_size_ || copy > old_size_ - position_) return false;
      info_->oldNeeded = std::max(info_->oldNeeded, position_ + copy);
    }
    if (copy > std::numeric_limits<uint64_t>::max() - info_->outputSize) return false;
    info_->outputSize += copy;
    if (insert > std::numeric_limits<uint64_t>::max() - info_->outputSize) return false;
    info_->outputSize += insert;
    // Pieces no larger than the old source's window, nor than the buffers.
    const size_t piece =
        sink_ != nullptr && old_ != nullptr ? std::min(kChunk, old_->span()) : kChunk;
    if (plain) {
      for (uint64_t done = 0; sink_ != nullptr && done < copy;) {
        const size_t k = static_cast<size_t>(std::min<uint64_t>(copy - done, piece));
        const uint8_t* from = old_->Span(position_ + done, k);
        if (from == nullptr) return false;
        sink_(from, k);
        done += k;
      }
    } else if (copy != 0) {
      model_.BeginCopy(position_, output_, copy);
      for (uint64_t done = 0; done < copy;) {
        const size_t k = static_cast<size_t>(std::min<uint64_t>(copy - done, piece));
        if (!adds->Take(k, add_)) return false;
        if (sink_ != nullptr) {
          const uint8_t* from = old_->Span(position_ + done, k);
          if (from == nullptr) return false;
          model_.Decode(from, add_, k, out_);
          sink_(out_, k);
        }
        done += k;
      }
    }
    position_ += copy;
    output_ += copy;
    for (uint64_t done = 0; done < insert;) {
      const uint8_t* p;
      size_t got;
      if (!streams_[2].Take(static_cast<size_t>(std::min<uint64_t>(insert - done, kChunk)), &p,
                            &got) ||
          got == 0) {
        return false;
      }
      if (sink_ != nullptr) sink_(p, got);
      done += got;
    }
    output_ += insert;
    const int64_t seek =
        static_cast<int64_t>(seek_field >> 1) ^ -static_cast<int64_t>(seek_field & 1);
    return ApplyDeltaSeek(seek, old_size_, &position_);
  }

  OldSource* old_;
  uint64_t old_size_;
  const DeltaSink& sink_;
  ExtendedDeltaInfo* info_;
  Stream streams_[kStreams];
  AddressModel model_;
  uint64_t position_ = 0;  // in the old file
  uint64_t output_ = 0;    // in the new file
  uint8_t add_[kChunk];
  uint8_t out_[kChunk];
};

}  // namespace

bool IsPredictedDeltaName(const char* name) { return HasDeltaSuffix(name, kPredictedDeltaSuffix); }

bool DecodePredictedDelta(PackageSource& stored, OldSource* old, uint64_t oldSize,
                          const DeltaSink& sink, ExtendedDeltaInfo* info) {
  *info = ExtendedDeltaInfo();
  if (sink != nullptr && old == nullptr && oldSize != 0) return false;
  std::unique_ptr<Decoder> decoder(new (std::nothrow) Decoder(old, oldSize, sink, info));
  return decoder != nullptr && decoder->Run(stored);
}

bool DecodePredictedDelta(const uint8_t* stored, size_t storedSize, const uint8_t* old,
                          uint64_t oldSize, const DeltaSink& sink, ExtendedDeltaInfo* info) {
  MemorySource in(stored, storedSize);
  MemoryOldSource from(old, old != nullptr ? oldSize : 0);
  return DecodePredictedDelta(in, old != nullptr ? &from : nullptr, oldSize, sink, info);
}

}  // namespace upkeep
