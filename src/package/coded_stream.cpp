#include "package/coded_stream.h"

#include <algorithm>
#include <new>

#include "package/delta_extended.h"

namespace upkeep {

namespace {
constexpr size_t kChunk = 64 * 1024;
}  // namespace

CodedStream::~CodedStream() {
  if (zlib_open_) inflateEnd(&zs_);
  if (lzma_open_) lzma_end(&xz_);
}

bool CodedStream::Open(uint8_t codec, PackageSource* source, uint64_t offset, uint64_t inSize,
                       uint64_t rawSize, uint32_t crc, uint64_t dictionary) {
  codec_ = codec;
  in_.reset(new (std::nothrow) SequentialSource(source, offset, offset + inSize, kChunk));
  if (in_ == nullptr) return false;
  raw_size_ = rawSize;
  want_crc_ = crc;
  crc_ = crc32(0, nullptr, 0);
  if (codec == kStored) return inSize == rawSize;
  buffer_.reset(new (std::nothrow) uint8_t[kChunk]);
  if (buffer_ == nullptr) return false;
  if (codec == kDeflate) {
    if (inflateInit(&zs_) != Z_OK) return false;
    zlib_open_ = true;
    return true;
  }
  if (codec != kLzma2 || dictionary < LZMA_DICT_SIZE_MIN || dictionary > kMaxExtendedDictionary) {
    return false;
  }
  lzma_options_lzma options = {};
  options.dict_size = static_cast<uint32_t>(dictionary);
  options.lc = LZMA_LC_DEFAULT;
  options.lp = LZMA_LP_DEFAULT;
  options.pb = LZMA_PB_DEFAULT;
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_raw_decoder(&xz_, filters) != LZMA_OK) return false;
  lzma_open_ = true;
  return true;
}

bool CodedStream::Take(size_t want, const uint8_t** p, size_t* got) {
  if (at_ == have_ && !Refill()) return false;
  *got = std::min(want, have_ - at_);
  *p = data_ + at_;
  at_ += *got;
  return true;
}

bool CodedStream::TakeByte(uint8_t* b) {
  if (at_ == have_ && (!Refill() || have_ == 0)) return false;
  *b = data_[at_++];
  return true;
}

bool CodedStream::Varint(uint64_t* v, bool* ended) {
  *v = 0;
  *ended = false;
  for (int shift = 0; shift < 64; shift += 7) {
    if (at_ == have_ && !Refill()) return false;
    if (have_ == 0) {
      *ended = shift == 0;
      return *ended;
    }
    const uint8_t b = data_[at_++];
    if (shift == 63 && (b & 0x7E) != 0) return false;  // past 64 bits
    *v |= static_cast<uint64_t>(b & 0x7F) << shift;
    if ((b & 0x80) == 0) return true;
  }
  return false;
}

bool CodedStream::Finish() {
  if (at_ != have_) return false;
  return ended_ || (Refill() && have_ == 0 && ended_);
}

bool CodedStream::Refill() {
  at_ = have_ = 0;
  if (ended_) return true;
  if (codec_ == kStored) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, raw_size_ - produced_));
    if (!in_->Next(want, &data_, &have_) || have_ != want) return false;
    ended_ = produced_ + have_ == raw_size_;
  } else {
    data_ = buffer_.get();
    while (have_ == 0 && !ended_) {
      const uint8_t* next = nullptr;
      size_t given = 0;
      if (codec_ == kDeflate ? zs_.avail_in == 0 : xz_.avail_in == 0) {
        if (!in_->Next(kChunk, &next, &given)) return false;
        if (codec_ == kDeflate) {
          zs_.next_in = const_cast<uint8_t*>(next);
          zs_.avail_in = static_cast<uInt>(given);
        } else {
          xz_.next_in = next;
          xz_.avail_in = given;
        }
      }
      size_t left = 0;
      if (codec_ == kDeflate) {
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

}  // namespace upkeep
