#include "package/payload_stream.h"

#ifdef UPKEEP_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "package/byte_sources.h"
#include "package/delta_extended.h"
#include "package/package_internal.h"

namespace upkeep {

namespace {

using package_internal::LoadU32;

constexpr size_t kInflateChunk = size_t{256} << 10;

// Inflates one zlib stream into a buffer of exactly its length.
class BlockInflater {
 public:
  BlockInflater() = default;
  BlockInflater(const BlockInflater&) = delete;
  BlockInflater& operator=(const BlockInflater&) = delete;
  ~BlockInflater() {
#ifdef UPKEEP_HAVE_LIBDEFLATE
    if (d_ != nullptr) libdeflate_free_decompressor(d_);
#endif
  }

  bool Inflate(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize) {
#ifdef UPKEEP_HAVE_LIBDEFLATE
    if (d_ == nullptr) d_ = libdeflate_alloc_decompressor();
    if (d_ == nullptr) return false;
    size_t consumed = 0, produced = 0;
    return libdeflate_zlib_decompress_ex(d_, in, inSize, out, outSize, &consumed, &produced) ==
               LIBDEFLATE_SUCCESS &&
           consumed == inSize && produced == outSize;
#else
    z_stream zs = {};
    if (inflateInit(&zs) != Z_OK) return false;
    zs.next_in = const_cast<uint8_t*>(in);
    zs.avail_in = static_cast<uInt>(inSize);
    zs.next_out = out;
    zs.avail_out = static_cast<uInt>(outSize);
    const int r = inflate(&zs, Z_FINISH);
    const bool ok = r == Z_STREAM_END && zs.avail_in == 0 && zs.avail_out == 0;
    inflateEnd(&zs);
    return ok;
#endif
  }

 private:
#ifdef UPKEEP_HAVE_LIBDEFLATE
  libdeflate_decompressor* d_ = nullptr;
#endif
};

uint64_t LoadU64(const uint8_t* p) {
  return static_cast<uint64_t>(LoadU32(p + 4)) << 32 | LoadU32(p);
}

}  // namespace

bool IsBlockFileName(const char* name) { return HasDeltaSuffix(name, kBlockFileSuffix); }

bool IsPayloadEntryName(const std::string& name) {
  for (const char* suffix : {".FILE", ".FILEX", ".DELTA", ".DELTAX", ".DELTAZ"}) {
    if (HasDeltaSuffix(name.c_str(), suffix)) return true;
  }
  return false;
}

bool DecodeBlockStream(PackageSource& source, const ByteSink& sink, uint64_t* rawSize) {
  const uint64_t total = source.size();
  uint8_t head[kBlockStreamHeaderSize];
  if (total < sizeof head || !source.ReadAt(0, head, sizeof head) ||
      std::memcmp(head, kBlockStreamMagic, 4) != 0) {
    return false;
  }
  const uint64_t raw = LoadU64(head + 4);
  const uint32_t block = LoadU32(head + 12);
  if (block < kMinStreamBlock || block > kMaxStreamBlock) return false;
  // Each block costs at least its header and a byte, so the entry bounds the count.
  const uint64_t blocks = raw / block + (raw % block != 0 ? 1 : 0);
  if (blocks > (total - sizeof head) / 5) return false;
  if (rawSize != nullptr) *rawSize = raw;
  std::unique_ptr<uint8_t[]> stored(new (std::nothrow)
                                        uint8_t[static_cast<size_t>(MaxStoredBlock(block))]);
  std::unique_ptr<uint8_t[]> out(new (std::nothrow) uint8_t[block]);
  if (stored == nullptr || out == nullptr) return false;
  BlockInflater inflater;
  uint64_t at = sizeof head;
  uint64_t produced = 0;
  for (uint64_t i = 0; i < blocks; ++i) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(block, raw - produced));
    uint8_t word[4];
    if (total - at < 4 || !source.ReadAt(at, word, 4)) return false;
    at += 4;
    const uint32_t header = LoadU32(word);
    const bool plain = (header & kStoredBlockFlag) != 0;
    const uint32_t length = header & ~kStoredBlockFlag;
    if (length > total - at || length > MaxStoredBlock(block)) return false;
    if (plain) {
      if (length != want || !source.ReadAt(at, out.get(), want)) return false;
    } else if (!source.ReadAt(at, stored.get(), length) ||
               !inflater.Inflate(stored.get(), length, out.get(), want)) {
      return false;
    }
    at += length;
    produced += want;
    if (want > 0 && !sink(out.get(), want)) return false;
  }
  return at == total && produced == raw;
}

bool InflateSequence(SequentialSource& in, bool raw, const ByteSink& sink, bool* left) {
  std::unique_ptr<uint8_t[]> out(new (std::nothrow) uint8_t[kInflateChunk]);
  if (out == nullptr) return false;
  z_stream zs = {};
  if ((raw ? inflateInit2(&zs, -15) : inflateInit(&zs)) != Z_OK) return false;
  bool ok = true;
  int result = Z_OK;
  while (ok && result != Z_STREAM_END) {
    if (zs.avail_in == 0) {
      const uint8_t* p = nullptr;
      size_t got = 0;
      if (!in.Next(SIZE_MAX, &p, &got)) {
        ok = false;
        break;
      }
      zs.next_in = const_cast<uint8_t*>(p);
      zs.avail_in = static_cast<uInt>(got);
    }
    const bool input_left = zs.avail_in != 0;
    zs.next_out = out.get();
    zs.avail_out = static_cast<uInt>(kInflateChunk);
    result = inflate(&zs, Z_NO_FLUSH);
    const size_t got = kInflateChunk - zs.avail_out;
    if (result != Z_OK && result != Z_STREAM_END) ok = false;
    // Nothing left to give and nothing made: the stream was cut short.
    if (ok && result == Z_OK && got == 0 && !input_left) ok = false;
    if (ok && got != 0 && !sink(out.get(), got)) ok = false;
  }
  if (left != nullptr) *left = zs.avail_in != 0 || in.left() != 0;
  inflateEnd(&zs);
  return ok;
}

bool DecodeZlibPayload(PackageSource& source, const ByteSink& sink, uint64_t* rawSize,
                       bool checkTrailer) {
  const uint64_t total = source.size();
  uint8_t tail[8];
  if (total < 8 || !source.ReadAt(total - 8, tail, 8)) return false;
  const uint64_t declared = LoadU32(tail + 4);
  uLong adler = adler32(0, nullptr, 0);
  if (rawSize != nullptr) *rawSize = declared;
  SequentialSource in(&source, 0, total - 8);
  uint64_t produced = 0;
  const bool ok = InflateSequence(in, false, [&](const uint8_t* data, size_t got) {
    produced += got;
    // Stops as soon as the stream says more than its trailer.
    if (produced > declared) return false;
    if (checkTrailer) adler = adler32(adler, data, static_cast<uInt>(got));
    return sink(data, got);
  });
  return ok && produced == declared && (!checkTrailer || adler == LoadU32(tail));
}

bool DecodeFileEntry(const PackageEntry& entry, const ByteSink& sink, uint64_t* rawSize) {
  std::unique_ptr<EntrySource> source = EntrySource::Open(entry);
  if (source == nullptr) return false;
  if (IsBlockFileName(entry.name.c_str())) return DecodeBlockStream(*source, sink, rawSize);
  return DecodeZlibPayload(*source, sink, rawSize);
}

}  // namespace upkeep
