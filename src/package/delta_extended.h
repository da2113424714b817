// The extended delta form: a PatchFile entry whose name ends in
// kExtendedDeltaSuffix. Its stored form is either the split layout (below) or
// a payload (one zlib stream, u32 Adler-32 of the inflated bytes, u32 inflated
// length) whose inflated bytes are
//   "UKX2"                     magic
//   then records back to back until the bytes end, each
//     varint copy              copyLength * 2 + plain
//     varint insertLength      bytes taken as they are
//     varint seek (zigzag)     added to the position after the copy
//     copyLength add bytes     new[i] = old[position + i] + add[i] (mod 256),
//                              absent when plain is 1: the bytes are old's as they are
//     insertLength bytes
// Varints are LEB128, least significant group first, at most 64 bits. The
// position starts at 0 and moves on by copyLength after each copy. A copy must
// lie inside the old file and the position never goes below 0. Streams that
// start "UKX1" have no plain bit: the first varint is copyLength itself.
//
// The split layout keeps the same records in three streams, each compressed on
// its own, which codes each kind of byte better. Its stored bytes are
//   "UKX3"                     magic (never the start of a zlib stream)
//   3 stream headers: controls, adds, inserts, each
//     u8 codec                 kExtendedCodec*
//     u32 dictionary           LZMA2 dictionary size, else 0
//     u32 rawSize              decoded bytes
//     u32 crc                  CRC-32 of the decoded bytes
//     u32 storedSize           bytes of the stream, which follow in this order
//   the three streams, nothing after them
// The controls are the records' varints back to back, the adds every non-plain
// copy's add bytes and the inserts every insert's bytes, in record order.
// All values are little-endian.
//
// A small delta may keep its records as one raw deflate stream, without the
// payload's framing, which weighs on a delta of a hundred bytes:
//   u8 kExtendedRawMarker      (no zlib stream starts with it, nor either magic)
//   the raw deflate stream of the records without their magic, ending exactly
//   where the stored bytes end
// The package's manifest and the file's checksum in the script stand in for
// the payload's Adler-32.
//
// A delta whose records are too long for one payload (over 4 GiB) keeps them,
// "UKX2" magic first, in the block form of package/payload_stream.h, which
// its stored bytes then start with ("UKB1").
//
// Decoding streams: the stored bytes are read in order through buffers, each
// decompressor and the output go through fixed buffers and the old file
// through its source's window, so memory does not depend on any length the
// bytes claim; the LZMA2 dictionaries together may not exceed
// kMaxExtendedDictionary.
#ifndef UPKEEP_PACKAGE_DELTA_EXTENDED_H_
#define UPKEEP_PACKAGE_DELTA_EXTENDED_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "package/byte_sources.h"

namespace upkeep {

constexpr char kExtendedDeltaSuffix[] = ".DELTAX";
constexpr char kExtendedDeltaMagic[4] = {'U', 'K', 'X', '2'};
constexpr char kExtendedSplitMagic[4] = {'U', 'K', 'X', '3'};
constexpr uint8_t kExtendedRawMarker = 0x02;
constexpr uint8_t kExtendedCodecStored = 0;
constexpr uint8_t kExtendedCodecDeflate = 1;  // a zlib stream
constexpr uint8_t kExtendedCodecLzma2 = 2;    // a raw LZMA2 stream with its end marker
constexpr int kExtendedStreams = 3;
constexpr size_t kExtendedStreamHeaderSize = 17;
constexpr size_t kExtendedSplitHeaderSize = 4 + kExtendedStreams * kExtendedStreamHeaderSize;
constexpr uint32_t kMaxExtendedDictionary = 64u << 20;

// True when the entry name (any letter case) ends in `suffix` (upper case)
// and has more before it.
bool HasDeltaSuffix(const char* name, const char* suffix);

// True when the entry name (any letter case) ends in kExtendedDeltaSuffix.
bool IsExtendedDeltaName(const char* name);

struct ExtendedDeltaInfo {
  uint64_t outputSize = 0;  // bytes the delta writes
  uint64_t oldNeeded = 0;   // the end of the furthest non-empty copy
};

// Receives the new content piece by piece.
using DeltaSink = std::function<void(const uint8_t* data, size_t size)>;

// Decodes the stored bytes against the old file (`old` may be null when
// `oldSize` is 0). With `sink` empty only the stream is checked, copies
// against `oldSize` alone, and `old` is not read. False, with the sink
// possibly part-fed, when the payload is not a complete stream of its
// declared length and checksum, or a record is malformed or reads outside the
// old file (or the old file cannot be read).
bool DecodeExtendedDelta(PackageSource& stored, OldSource* old, uint64_t oldSize,
                         const DeltaSink& sink, ExtendedDeltaInfo* info);
// The same over bytes in memory.
bool DecodeExtendedDelta(const uint8_t* stored, size_t storedSize, const uint8_t* old,
                         uint64_t oldSize, const DeltaSink& sink, ExtendedDeltaInfo* info);

// A LEB128 varint, as every delta form stores its numbers.
void AppendDeltaVarint(uint64_t v, std::vector<uint8_t>* out);

// Moves *position by a record's seek, staying inside an old file of
// `oldSize` bytes; false (position unchanged) when it would leave it.
bool ApplyDeltaSeek(int64_t seek, uint64_t oldSize, uint64_t* position);

// Writers of the inflated layout; a record with `add` null and a copy is a
// plain copy.
void AppendExtendedDeltaMagic(std::vector<uint8_t>* out);
void AppendExtendedDeltaRecord(const uint8_t* add, uint64_t copyLength, const uint8_t* extra,
                               uint64_t insertLength, int64_t seek, std::vector<uint8_t>* out);

}  // namespace upkeep

#endif  // UPKEEP_PACKAGE_DELTA_EXTENDED_H_
