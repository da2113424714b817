// Payload entries decoded as streams, in memory of their own buffers only.
//
// The payload form (".FILE", ".DELTA"): one zlib stream, then the u32 Adler-32
// and the u32 length of the inflated bytes; it holds less than 4 GiB.
//
// The block form (".FILEX", whole files of any size): the bytes cut into
// blocks, each compressed on its own so that they can be made and decoded
// apart.
//   "UKB1"           magic
//   u64 rawSize      bytes the stream yields
//   u32 blockSize    raw bytes per block, kMinStreamBlock to kMaxStreamBlock;
//                    every block holds that many but the last
//   then ceil(rawSize / blockSize) blocks, each
//     u32 header     bit 31 set: the block's bytes are stored as they are;
//                    bits 0-30: the stored length that follows
//     stored bytes   a zlib stream of exactly the block's raw bytes, or
//                    (bit 31) the raw bytes themselves
//   nothing after the last block. All integers are little-endian.
#ifndef UPKEEP_PACKAGE_PAYLOAD_STREAM_H_
#define UPKEEP_PACKAGE_PAYLOAD_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "package/package.h"

namespace upkeep {

constexpr char kBlockStreamMagic[4] = {'U', 'K', 'B', '1'};
constexpr size_t kBlockStreamHeaderSize = 16;
constexpr uint32_t kStoredBlockFlag = 0x80000000u;
constexpr uint32_t kMinStreamBlock = 4096;
constexpr uint32_t kMaxStreamBlock = 16u << 20;
constexpr char kBlockFileSuffix[] = ".FILEX";

// Receives decoded bytes in order; false stops the decoding (which then fails).
using ByteSink = std::function<bool(const uint8_t* data, size_t size)>;

// True when the entry name (any letter case) ends in kBlockFileSuffix.
bool IsBlockFileName(const char* name);
// True for the names of whole-file and delta entries (.FILE, .FILEX, .DELTA,
// .DELTAX, .DELTAZ): what only commands read, unlike scripts and texts.
bool IsPayloadEntryName(const std::string& name);

// The most a block's stored form may take: a zlib stream of a block that
// does not shrink is stored raw instead, so anything larger is damage.
inline uint64_t MaxStoredBlock(uint32_t blockSize) {
  return uint64_t{blockSize} + blockSize / 8 + 1024;
}

// Decodes a block stream, the whole of `source`. `rawSize`, when given, is set
// from the header before the first byte reaches the sink. False, with the
// sink possibly part-fed, unless every block decodes to exactly its length
// and the stream ends after the last.
bool DecodeBlockStream(PackageSource& source, const ByteSink& sink, uint64_t* rawSize = nullptr);

class SequentialSource;

// Inflates the deflate stream `in` starts with (a zlib stream, or raw deflate
// with `raw`) through a buffer of its own, handing the bytes to `sink` as they
// come. False when the stream is damaged or cut short, or `sink` refuses.
// `left`, when given, is set to whether any of `in` follows the stream.
bool InflateSequence(SequentialSource& in, bool raw, const ByteSink& sink, bool* left = nullptr);

// Decodes a payload, the whole of `source`, as a stream: false unless the zlib
// stream ends after exactly the declared length (and, with `checkTrailer`,
// the trailer's Adler-32 is the bytes', which the format's own readers never
// asked).
bool DecodeZlibPayload(PackageSource& source, const ByteSink& sink, uint64_t* rawSize = nullptr,
                       bool checkTrailer = false);

// A whole file's entry: the block form when its name says so, else a payload.
bool DecodeFileEntry(const PackageEntry& entry, const ByteSink& sink, uint64_t* rawSize = nullptr);

}  // namespace upkeep

#endif  // UPKEEP_PACKAGE_PAYLOAD_STREAM_H_
