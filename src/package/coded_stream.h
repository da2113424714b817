// One stream of a delta's split layout (the extended and predicted forms):
// [offset, offset + inSize) of the entry, stored as it is, as a zlib stream,
// or as a raw LZMA2 stream with its end marker, decoded through a fixed
// buffer. Its end is checked where it is reached: exactly the declared length
// and checksum, and no stored bytes left over.
#ifndef UPKEEP_PACKAGE_CODED_STREAM_H_
#define UPKEEP_PACKAGE_CODED_STREAM_H_

#include <lzma.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "package/byte_sources.h"

namespace upkeep {

class CodedStream {
 public:
  static constexpr uint8_t kStored = 0;
  static constexpr uint8_t kDeflate = 1;
  static constexpr uint8_t kLzma2 = 2;

  CodedStream() = default;
  CodedStream(const CodedStream&) = delete;
  CodedStream& operator=(const CodedStream&) = delete;
  ~CodedStream();

  // False for an unknown codec, a stored stream whose sizes differ, an LZMA2
  // dictionary out of bounds, or no memory.
  bool Open(uint8_t codec, PackageSource* source, uint64_t offset, uint64_t inSize,
            uint64_t rawSize, uint32_t crc, uint64_t dictionary);
  // Up to `want` decoded bytes; none (and true) only where the stream has ended.
  bool Take(size_t want, const uint8_t** p, size_t* got);
  // One byte; false at the end.
  bool TakeByte(uint8_t* b);
  // An LEB128 varint of at most 64 bits; *ended (and true) when the stream
  // ended where the varint would begin.
  bool Varint(uint64_t* v, bool* ended);
  // True when every decoded byte was taken and the stream ends there.
  bool Finish();

 private:
  bool Refill();

  uint8_t codec_ = kStored;
  std::unique_ptr<SequentialSource> in_;
  uint64_t raw_size_ = 0, produced_ = 0;
  uint32_t want_crc_ = 0;
  uLong crc_ = 0;
  std::unique_ptr<uint8_t[]> buffer_;
  const uint8_t* data_ = nullptr;
  size_t at_ = 0, have_ = 0;
  bool ended_ = false;
  z_stream zs_ = {};
  bool zlib_open_ = false;
  lzma_stream xz_ = LZMA_STREAM_INIT;
  bool lzma_open_ = false;
};

}  // namespace upkeep

#endif  // UPKEEP_PACKAGE_CODED_STREAM_H_
