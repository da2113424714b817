#include "authoring/payload_writer.h"

#include <zlib.h>

#include <algorithm>
#include <new>

#ifdef UPKEEP_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "package/package.h"

namespace upkeep {

namespace {

void AppendU32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// zlib level 9 with its default memory level, which measured as small or smaller
// than level 9 at memLevel 9 on deltas; `out` holds exactly the stream on success.
bool ZlibStream(const uint8_t* data, size_t size, std::vector<uint8_t>* out, bool raw = false) {
  z_stream zs = {};
  if (deflateInit2(&zs, 9, Z_DEFLATED, raw ? -15 : 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
  bool ok = true;
  try {
    out->resize(deflateBound(&zs, static_cast<uLong>(size)) + 8);
    uint8_t none = 0;
    zs.next_in = size != 0 ? const_cast<uint8_t*>(data) : &none;
    zs.avail_in = static_cast<uInt>(size);
    zs.next_out = out->data();
    zs.avail_out = static_cast<uInt>(out->size() - 8);
    ok = deflate(&zs, Z_FINISH) == Z_STREAM_END;
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  const uLong produced = zs.total_out;
  deflateEnd(&zs);
  if (!ok) return false;
  out->resize(produced);
  return true;
}

#ifdef UPKEEP_HAVE_LIBDEFLATE
constexpr size_t kTryBothBelow = 64 * 1024;

// Near-optimal parsing: a few per cent smaller than zlib 9, still a plain
// zlib stream for the runtime's inflate.
bool LibdeflateStream(const uint8_t* data, size_t size, int level, std::vector<uint8_t>* out,
                      bool raw = false) {
  libdeflate_compressor* c = libdeflate_alloc_compressor(level);
  if (c == nullptr) return false;
  size_t produced = 0;
  try {
    out->resize(libdeflate_zlib_compress_bound(c, size) + 8);
    uint8_t none = 0;
    const void* in = size != 0 ? static_cast<const void*>(data) : &none;
    produced = raw ? libdeflate_deflate_compress(c, in, size, out->data(), out->size() - 8)
                   : libdeflate_zlib_compress(c, in, size, out->data(), out->size() - 8);
  } catch (const std::bad_alloc&) {
    produced = 0;
  }
  libdeflate_free_compressor(c);
  if (produced == 0) return false;
  out->resize(produced);
  return true;
}
#endif

}  // namespace

namespace {

// One deflate stream of `data`, zlib-wrapped or raw, from the deflater that
// makes it smaller.
bool OneDeflateStream(const uint8_t* data, size_t size, std::vector<uint8_t>* out, int level,
                      bool raw) {
  out->clear();
  if (size > kMaxPayloadSize || (data == nullptr && size != 0)) return false;
#ifdef UPKEEP_HAVE_LIBDEFLATE
  if (!LibdeflateStream(data, size, level, out, raw) && !ZlibStream(data, size, out, raw)) {
    out->clear();
    return false;
  }
  // On small inputs zlib is sometimes a few bytes smaller, and trying it
  // costs next to nothing; on large ones it is slower and hardly ever wins.
  std::vector<uint8_t> other;
  if (size <= kTryBothBelow && ZlibStream(data, size, &other, raw) &&
      other.size() < out->size()) {
    out->swap(other);
  }
#else
  (void)level;
  if (!ZlibStream(data, size, out, raw)) {
    out->clear();
    return false;
  }
#endif
  return true;
}

}  // namespace

bool EncodeRawDeflate(const uint8_t* data, size_t size, std::vector<uint8_t>* out, int level) {
  return OneDeflateStream(data, size, out, level, true);
}

bool EncodePayload(const uint8_t* data, size_t size, std::vector<uint8_t>* out, int level) {
  if (!OneDeflateStream(data, size, out, level, false)) return false;
  uLong adler = adler32(0L, Z_NULL, 0);
  adler = adler32(adler, size != 0 ? data : nullptr, static_cast<uInt>(size));
  AppendU32(out, static_cast<uint32_t>(adler));
  AppendU32(out, static_cast<uint32_t>(size));
  return true;
}

namespace {

constexpr size_t kStreamPiece = size_t{1} << 20;
constexpr size_t kStreamOutput = size_t{256} << 10;

// Whether deflate's fastest level saves under 1/64 of the piece: then the
// piece is stored, which costs next to no time (a best level gains at most a
// few bytes per thousand more on such data).
class IncompressibleTest {
 public:
  IncompressibleTest() : out_(kStreamPiece) {
#ifdef UPKEEP_HAVE_LIBDEFLATE
    c_ = libdeflate_alloc_compressor(1);
#endif
  }
  ~IncompressibleTest() {
#ifdef UPKEEP_HAVE_LIBDEFLATE
    libdeflate_free_compressor(c_);
#endif
  }
  IncompressibleTest(const IncompressibleTest&) = delete;
  IncompressibleTest& operator=(const IncompressibleTest&) = delete;

  bool operator()(const uint8_t* data, size_t size) {
    const size_t room = size - size / 64;
    if (room == 0) return false;
#ifdef UPKEEP_HAVE_LIBDEFLATE
    // A compressor that does not fit the output in `room` returns 0.
    if (c_ != nullptr) return libdeflate_deflate_compress(c_, data, size, out_.data(), room) == 0;
#endif
    z_stream zs = {};
    if (deflateInit2(&zs, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    zs.next_in = const_cast<uint8_t*>(data);
    zs.avail_in = static_cast<uInt>(size);
    zs.next_out = out_.data();
    zs.avail_out = static_cast<uInt>(room);
    const bool fits = deflate(&zs, Z_FINISH) == Z_STREAM_END;
    deflateEnd(&zs);
    return !fits;
  }

 private:
  std::vector<uint8_t> out_;
#ifdef UPKEEP_HAVE_LIBDEFLATE
  libdeflate_compressor* c_ = nullptr;
#endif
};

}  // namespace

StreamedPayload StreamPayload(const uint8_t* data, size_t size,
                              const std::function<bool(const uint8_t*, size_t)>& emit,
                              const std::function<void(size_t pos)>& passed, uint64_t limit) {
  if (size > kMaxPayloadSize || (data == nullptr && size != 0)) return StreamedPayload::kFailed;
  std::vector<uint8_t> out;
  try {
    out.resize(kStreamOutput);
  } catch (const std::bad_alloc&) {
    return StreamedPayload::kFailed;
  }
  IncompressibleTest incompressible;
  z_stream zs = {};
  int level = 9;
  if (deflateInit2(&zs, level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    return StreamedPayload::kFailed;
  uint64_t total = 0;
  StreamedPayload result = StreamedPayload::kDone;
  // Hands on what deflate has made; false once the work stops.
  const auto drain = [&]() {
    const size_t made = out.size() - zs.avail_out;
    total += made;
    if (total + 8 > limit) {
      result = StreamedPayload::kOverLimit;
      return false;
    }
    if (made > 0 && !emit(out.data(), made)) {
      result = StreamedPayload::kFailed;
      return false;
    }
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    return true;
  };
  // Runs deflate with `flush` until it has taken all input and has room left
  // over, that is until it has nothing more to give for now.
  const auto run = [&](int flush) {
    for (;;) {
      const int r = deflate(&zs, flush);
      if (r == Z_STREAM_ERROR) {
        result = StreamedPayload::kFailed;
        return false;
      }
      const bool more = zs.avail_out == 0;
      if (!drain()) return false;
      if (flush == Z_FINISH ? r == Z_STREAM_END : !more && zs.avail_in == 0) return true;
    }
  };
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  uLong adler = adler32(0L, Z_NULL, 0);
  bool ok = true;
  for (size_t at = 0; ok && at < size;) {
    const size_t n = std::min(kStreamPiece, size - at);
    const int want = incompressible(data + at, n) ? 0 : 9;
    if (want != level) {
      // What the old level holds goes out first, so the change finds no input
      // left and needs no room of its own.
      ok = run(Z_BLOCK) && deflateParams(&zs, want, Z_DEFAULT_STRATEGY) == Z_OK;
      if (!ok && result == StreamedPayload::kDone) result = StreamedPayload::kFailed;
      level = want;
    }
    zs.next_in = const_cast<uint8_t*>(data + at);
    zs.avail_in = static_cast<uInt>(n);
    ok = ok && run(Z_NO_FLUSH);
    adler = adler32(adler, data + at, static_cast<uInt>(n));
    at += n;
    if (ok && passed) passed(at);
  }
  if (ok) {
    zs.next_in = nullptr;
    zs.avail_in = 0;
    ok = run(Z_FINISH);
  }
  deflateEnd(&zs);
  if (!ok) return result == StreamedPayload::kDone ? StreamedPayload::kFailed : result;
  std::vector<uint8_t> trailer;
  AppendU32(&trailer, static_cast<uint32_t>(adler));
  AppendU32(&trailer, static_cast<uint32_t>(size));
  return emit(trailer.data(), trailer.size()) ? StreamedPayload::kDone : StreamedPayload::kFailed;
}

std::vector<uint8_t> EncodePayload(const std::vector<uint8_t>& data) {
  std::vector<uint8_t> out;
  EncodePayload(data.data(), data.size(), &out);
  return out;
}

uint32_t Crc32(const std::vector<uint8_t>& data) {
  uLong crc = crc32(0L, Z_NULL, 0);
  const uint8_t* p = data.data();
  for (size_t left = data.size(); left > 0;) {
    uInt n = static_cast<uInt>(left < (1u << 30) ? left : (1u << 30));
    crc = crc32(crc, p, n);
    p += n;
    left -= n;
  }
  return static_cast<uint32_t>(crc);
}

}  // namespace upkeep
