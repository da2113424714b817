#include "package/delta_redeflate.h"

#ifdef UPKEEP_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace upkeep {

namespace {

constexpr uint64_t kUnbounded = std::numeric_limits<uint64_t>::max();
// Deflate expands at most 1032-fold (a 258-byte match in two bits), so a
// stream listed as inflating to more than that is damage.
constexpr uint64_t kMaxDeflateRatio = 1032;

struct OldStream {
  uint64_t at = 0;  // offset in the old file
  uint64_t stored = 0;
  uint64_t inflated = 0;
};

struct NewStream {
  uint64_t gap = 0;
  uint64_t inflated = 0;
  uint64_t stored = 0;
  DeflateParams params;
};

// The tables, checked for every sum and against the old file's size.
struct Tables {
  std::vector<OldStream> olds;
  std::vector<NewStream> news;
  uint64_t oldEnd = 0;        // end of the last old stream in the old file
  uint64_t oldPrefix = 0;     // bytes of the old view up to there
  uint64_t newPrefix = 0;     // bytes of the new view up to the end of its last stream
  uint64_t newPrefixOut = 0;  // bytes of the new file they make
  uint64_t newSize = 0;
  const uint8_t* delta = nullptr;
  size_t deltaSize = 0;
};

class Reader {
 public:
  Reader(const uint8_t* p, size_t n) : p_(p), left_(n) {}
  bool Byte(uint8_t* b) {
    if (left_ == 0) return false;
    *b = *p_++;
    --left_;
    return true;
  }
  bool Varint(uint64_t* v) {
    *v = 0;
    for (int shift = 0;; shift += 7) {
      uint8_t b;
      if (!Byte(&b)) return false;
      if (shift == 63 && (b & 0x7E) != 0) return false;  // past 64 bits
      *v |= static_cast<uint64_t>(b & 0x7F) << shift;
      if ((b & 0x80) == 0) return true;
      if (shift == 63) return false;
    }
  }
  const uint8_t* at() const { return p_; }
  size_t left() const { return left_; }

 private:
  const uint8_t* p_;
  size_t left_;
};

// a += b, false when it would pass `limit`.
bool AddWithin(uint64_t* a, uint64_t b, uint64_t limit) {
  if (*a > limit || b > limit - *a) return false;
  *a += b;
  return true;
}

bool ParseTables(const uint8_t* stored, size_t storedSize, uint64_t oldSize, Tables* t) {
  if (storedSize < 4 || std::memcmp(stored, kRedeflateDeltaMagic, 4) != 0) return false;
  Reader r(stored + 4, storedSize - 4);
  uint64_t count;
  if (!r.Varint(&count)) return false;
  for (uint64_t i = 0; i < count; ++i) {
    OldStream s;
    uint64_t gap;
    if (!r.Varint(&gap) || !r.Varint(&s.stored) || !r.Varint(&s.inflated)) return false;
    if (gap > oldSize - t->oldEnd) return false;
    s.at = t->oldEnd + gap;
    if (s.stored == 0 || s.stored > oldSize - s.at) return false;
    if (s.inflated > kMaxRedeflateExpanded) return false;
    if (s.stored < kMaxRedeflateExpanded && s.inflated > s.stored * kMaxDeflateRatio + 64)
      return false;
    // The view up to here is held in memory: bounded before anything is allocated.
    if (!AddWithin(&t->oldPrefix, gap, kMaxRedeflateExpanded) ||
        !AddWithin(&t->oldPrefix, s.inflated, kMaxRedeflateExpanded)) {
      return false;
    }
    t->oldEnd = s.at + s.stored;
    t->olds.push_back(s);
  }
  if (!r.Varint(&count)) return false;
  for (uint64_t i = 0; i < count; ++i) {
    NewStream s;
    uint8_t p[5];
    if (!r.Varint(&s.gap) || !r.Varint(&s.inflated) || !r.Varint(&s.stored)) return false;
    for (uint8_t& b : p) {
      if (!r.Byte(&b)) return false;
    }
    s.params.level = p[0];
    s.params.memLevel = p[1];
    s.params.windowBits = p[2];
    s.params.strategy = p[3];
    s.params.gzipBlocks = (p[4] & kRedeflateGzipBlocks) != 0;
    if (s.stored == 0 || (p[4] & ~kRedeflateGzipBlocks) != 0 || !ValidDeflateParams(s.params))
      return false;
    if (!AddWithin(&t->newPrefix, s.gap, kUnbounded) ||
        !AddWithin(&t->newPrefix, s.inflated, kUnbounded) ||
        !AddWithin(&t->newPrefixOut, s.gap, kUnbounded) ||
        !AddWithin(&t->newPrefixOut, s.stored, kUnbounded)) {
      return false;
    }
    t->news.push_back(s);
  }
  if (!r.Varint(&t->newSize)) return false;
  t->delta = r.at();
  t->deltaSize = r.left();
  return true;
}

// The old size the tables and the embedded delta's copies need: the old view
// must reach as far as the copies do.
bool OldNeeded(const Tables& t, uint64_t viewNeeded, uint64_t* needed) {
  *needed = t.oldEnd;
  return viewNeeded <= t.oldPrefix || AddWithin(needed, viewNeeded - t.oldPrefix, kUnbounded);
}

bool FitsSize(uint64_t v) { return static_cast<uint64_t>(static_cast<size_t>(v)) == v; }

// Inflates one raw deflate stream that must end exactly at the end of `in`
// and fill `out` exactly.
class Inflater {
 public:
  Inflater() = default;
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  ~Inflater() {
#ifdef UPKEEP_HAVE_LIBDEFLATE
    if (d_ != nullptr) libdeflate_free_decompressor(d_);
#else
    if (open_) inflateEnd(&zs_);
#endif
  }

  bool Inflate(const uint8_t* in, uint64_t inSize, uint8_t* out, uint64_t outSize) {
    if (!FitsSize(inSize) || !FitsSize(outSize)) return false;
    uint8_t none = 0;
    if (outSize == 0) out = &none;  // neither library takes a null output
#ifdef UPKEEP_HAVE_LIBDEFLATE
    if (d_ == nullptr) d_ = libdeflate_alloc_decompressor();
    if (d_ == nullptr) return false;
    size_t consumed = 0, produced = 0;
    const libdeflate_result result =
        libdeflate_deflate_decompress_ex(d_, in, static_cast<size_t>(inSize), out,
                                         static_cast<size_t>(outSize), &consumed, &produced);
    return result == LIBDEFLATE_SUCCESS && consumed == inSize && produced == outSize;
#else
    if (!open_) {
      if (inflateInit2(&zs_, -15) != Z_OK) return false;
      open_ = true;
    } else if (inflateReset(&zs_) != Z_OK) {
      return false;
    }
    // avail_in is 32 bits wide; the view bounds the output well below that.
    constexpr uint64_t kSlice = uint64_t{1} << 30;
    uint64_t left = inSize;
    zs_.next_in = const_cast<uint8_t*>(in);
    zs_.avail_in = 0;
    zs_.next_out = out;
    zs_.avail_out = static_cast<uInt>(outSize);
    for (;;) {
      if (zs_.avail_in == 0 && left != 0) {
        const uint64_t give = std::min(left, kSlice);
        zs_.avail_in = static_cast<uInt>(give);
        left -= give;
      }
      const int r = inflate(&zs_, Z_NO_FLUSH);
      if (r == Z_STREAM_END) break;
      // No progress: cut short, or more bytes than listed.
      if (r != Z_OK) return false;
    }
    return zs_.avail_in == 0 && left == 0 && zs_.avail_out == 0;
#endif
  }

 private:
#ifdef UPKEEP_HAVE_LIBDEFLATE
  libdeflate_decompressor* d_ = nullptr;
#else
  z_stream zs_ = {};
  bool open_ = false;
#endif
};

// Takes the expanded new view piece by piece and writes the new file: bytes
// between streams as they are, each stream's bytes through the deflater, whose
// output must be exactly the listed length. After a failure it ignores the rest.
class NewWriter {
 public:
  NewWriter(const Tables& t, const DeltaSink& out)
      : streams_(t.news), new_size_(t.newSize), out_(out) {
    left_ = streams_.empty() ? kUnbounded : streams_[0].gap;
    deflate_sink_ = [this](const uint8_t* p, size_t n) {
      produced_ += n;
      return produced_ <= streams_[next_].stored && Emit(p, n);
    };
  }

  NewWriter(const NewWriter&) = delete;
  NewWriter& operator=(const NewWriter&) = delete;

  void Take(const uint8_t* p, size_t n) {
    while (!failed_) {
      if (!Settle()) {
        failed_ = true;
        return;
      }
      if (n == 0) return;
      const size_t k = static_cast<size_t>(std::min<uint64_t>(n, left_));
      if (in_stream_ ? !deflater_.Write(p, k, deflate_sink_) : !Emit(p, k)) failed_ = true;
      p += k;
      n -= k;
      left_ -= k;
    }
  }

  // True when the view ended where the tables say and made exactly newSize bytes.
  bool Finish() {
    return !failed_ && Settle() && !in_stream_ && next_ == streams_.size() && written_ == new_size_;
  }

 private:
  bool Emit(const uint8_t* p, size_t n) {
    if (n > new_size_ - written_) return false;
    written_ += n;
    out_(p, n);
    return true;
  }

  // Starts the streams that begin here and ends those whose bytes are all in,
  // so that empty gaps and empty streams pass without any bytes.
  bool Settle() {
    for (;;) {
      if (in_stream_) {
        if (left_ != 0) return true;
        if (!deflater_.Finish(deflate_sink_) || produced_ != streams_[next_].stored) return false;
        in_stream_ = false;
        ++next_;
        left_ = next_ < streams_.size() ? streams_[next_].gap : kUnbounded;
      } else {
        if (left_ != 0 || next_ == streams_.size()) return true;
        if (!deflater_.Start(streams_[next_].params)) return false;
        in_stream_ = true;
        produced_ = 0;
        left_ = streams_[next_].inflated;
      }
    }
  }

  const std::vector<NewStream>& streams_;
  const uint64_t new_size_;
  const DeltaSink& out_;
  Redeflater deflater_;
  DeflateSink deflate_sink_;
  size_t next_ = 0;  // the stream in progress or the next to start
  bool in_stream_ = false;
  uint64_t left_ = 0;      // bytes left of the gap before stream next_, or of its view bytes
  uint64_t produced_ = 0;  // deflate bytes of the stream in progress
  uint64_t written_ = 0;
  bool failed_ = false;
};

// `n` bytes of the old file from `at` into `out`, in the pieces the source gives.
bool CopyOld(OldSource* old, uint64_t at, uint64_t n, uint8_t* out) {
  const uint64_t piece = std::min<uint64_t>(old->span(), uint64_t{1} << 30);
  while (n > 0) {
    const size_t k = static_cast<size_t>(std::min(n, piece));
    const uint8_t* p = old->Span(at, k);
    if (p == nullptr) return false;
    std::memcpy(out, p, k);
    out += k;
    at += k;
    n -= k;
  }
  return true;
}

bool Decode(const uint8_t* stored, size_t storedSize, OldSource* old, uint64_t oldSize,
            const DeltaSink& sink, ExtendedDeltaInfo* info) {
  std::unique_ptr<Tables> t(new Tables);
  if (!ParseTables(stored, storedSize, oldSize, t.get())) return false;
  ExtendedDeltaInfo e;
  if (sink == nullptr) {
    // The old view's size is known only with the old file's; the limit bounds it.
    uint64_t view = t->oldPrefix;
    if (!AddWithin(&view, oldSize - t->oldEnd, kMaxRedeflateExpanded)) view = kMaxRedeflateExpanded;
    if (!DecodeExtendedDelta(t->delta, t->deltaSize, nullptr, view, nullptr, &e)) return false;
    uint64_t size = t->newPrefixOut;
    if (e.outputSize < t->newPrefix || !AddWithin(&size, e.outputSize - t->newPrefix, kUnbounded) ||
        size != t->newSize) {
      return false;
    }
    info->outputSize = t->newSize;
    return OldNeeded(*t, e.oldNeeded, &info->oldNeeded);
  }

  uint64_t view_size = t->oldPrefix;
  if (!AddWithin(&view_size, oldSize - t->oldEnd, kMaxRedeflateExpanded)) return false;
  if (old == nullptr && oldSize != 0) return false;
  std::unique_ptr<uint8_t[]> view(
      new (std::nothrow) uint8_t[static_cast<size_t>(std::max<uint64_t>(view_size, 1))]);
  if (view == nullptr) return false;
  {
    Inflater inflater;
    std::vector<uint8_t> deflated;
    uint64_t from = 0, to = 0;
    for (const OldStream& s : t->olds) {
      if (!CopyOld(old, from, s.at - from, view.get() + to)) return false;
      to += s.at - from;
      // The view bounds a stream's stored bytes as it bounds its inflated ones.
      if (!FitsSize(s.stored) || s.stored > kMaxRedeflateExpanded) return false;
      deflated.resize(static_cast<size_t>(s.stored));
      if (!CopyOld(old, s.at, s.stored, deflated.data()) ||
          !inflater.Inflate(deflated.data(), s.stored, view.get() + to, s.inflated)) {
        return false;
      }
      to += s.inflated;
      from = s.at + s.stored;
    }
    std::vector<uint8_t>().swap(deflated);
    if (!CopyOld(old, from, oldSize - from, view.get() + to)) return false;
  }
  std::unique_ptr<NewWriter> writer(new NewWriter(*t, sink));
  DeltaSink take = [&writer](const uint8_t* p, size_t n) { writer->Take(p, n); };
  if (!DecodeExtendedDelta(t->delta, t->deltaSize, view.get(), view_size, take, &e) ||
      !writer->Finish()) {
    return false;
  }
  info->outputSize = t->newSize;
  return OldNeeded(*t, e.oldNeeded, &info->oldNeeded);
}

}  // namespace

bool IsRedeflateDeltaName(const char* name) { return HasDeltaSuffix(name, kRedeflateDeltaSuffix); }

bool DecodeRedeflateDelta(PackageSource& stored, OldSource* old, uint64_t oldSize,
                          const DeltaSink& sink, ExtendedDeltaInfo* info) {
  *info = ExtendedDeltaInfo();
  // The tables and the embedded delta are read whole; the view bounds them.
  if (stored.size() > kMaxRedeflateExpanded) return false;
  try {
    std::vector<uint8_t> bytes(static_cast<size_t>(stored.size()));
    if (!stored.ReadAt(0, bytes.data(), bytes.size())) return false;
    return Decode(bytes.data(), bytes.size(), old, oldSize, sink, info);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool DecodeRedeflateDelta(const uint8_t* stored, size_t storedSize, const uint8_t* old,
                          uint64_t oldSize, const DeltaSink& sink, ExtendedDeltaInfo* info) {
  *info = ExtendedDeltaInfo();
  MemoryOldSource from(old, old != nullptr ? oldSize : 0);
  try {
    return Decode(stored, storedSize, old != nullptr ? &from : nullptr, oldSize, sink, info);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace upkeep
