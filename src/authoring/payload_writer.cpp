#include "authoring/payload_writer.h"

#include <zlib.h>

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
bool ZlibStream(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
  z_stream zs = {};
  if (deflateInit2(&zs, 9, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
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
bool LibdeflateStream(const uint8_t* data, size_t size, int level, std::vector<uint8_t>* out) {
  libdeflate_compressor* c = libdeflate_alloc_compressor(level);
  if (c == nullptr) return false;
  size_t produced = 0;
  try {
    out->resize(libdeflate_zlib_compress_bound(c, size) + 8);
    uint8_t none = 0;
    produced =
        libdeflate_zlib_compress(c, size != 0 ? data : &none, size, out->data(), out->size() - 8);
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

bool EncodePayload(const uint8_t* data, size_t size, std::vector<uint8_t>* out, int level) {
  out->clear();
  if (size > kMaxPayloadSize || (data == nullptr && size != 0)) return false;
#ifdef UPKEEP_HAVE_LIBDEFLATE
  if (!LibdeflateStream(data, size, level, out) && !ZlibStream(data, size, out)) {
    out->clear();
    return false;
  }
  // On small inputs zlib is sometimes a few bytes smaller, and trying it
  // costs next to nothing; on large ones it is slower and hardly ever wins.
  std::vector<uint8_t> other;
  if (size <= kTryBothBelow && ZlibStream(data, size, &other) && other.size() < out->size()) {
    out->swap(other);
  }
#else
  (void)level;
  if (!ZlibStream(data, size, out)) {
    out->clear();
    return false;
  }
#endif
  uLong adler = adler32(0L, Z_NULL, 0);
  adler = adler32(adler, size != 0 ? data : nullptr, static_cast<uInt>(size));
  AppendU32(out, static_cast<uint32_t>(adler));
  AppendU32(out, static_cast<uint32_t>(size));
  return true;
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
