// The predicted delta form: a PatchFile entry whose name ends in
// kPredictedDeltaSuffix. Its records are the extended form's (copies with
// byte-wise adds, inserts, seeks; package/delta_extended.h), with two
// differences that make programs' deltas far smaller and quicker to pack:
// the adds of a copy are taken against the address model's prediction
// (package/address_model.h) instead of the old bytes, and they travel as runs
// of zeros. Stored bytes:
//   "UKP1"                     magic
//   u8 mode                    kAddress* (kAddressNone: adds against the old bytes)
//   3 stream headers: controls, add runs, inserts, each
//     u8 codec                 kPredictedCodec*
//     varint dictionary        LZMA2 dictionary size, else 0
//     varint rawSize           decoded bytes
//     u32 crc                  CRC-32 of the decoded bytes
//     varint storedSize        bytes of the stream, which follow in this order
//   the three streams, nothing after them
// Controls: per record, varint copyLength * 2 + plain, varint insertLength,
// varint seek (zigzag), as in the extended form. A plain copy takes the old
// bytes as they are (no adds, no prediction); the position starts at 0,
// moves on by copyLength after each copy and by seek after each record, and
// never leaves the old file. Add runs: the adds of every copy that is not
// plain, in record order, as items of varint zeros (that many 0 adds)
// followed by one add byte that is not 0; the last item may end after its
// zeros. Inserts: every insert's bytes in record order. Varints are LEB128,
// at most 64 bits; all other values are little-endian.
//
// Decoding keeps to fixed buffers (and the model's table when a mode is set),
// so memory does not depend on any length the bytes claim; the LZMA2
// dictionaries together may not exceed kMaxExtendedDictionary.
#ifndef UPKEEP_PACKAGE_DELTA_PREDICTED_H_
#define UPKEEP_PACKAGE_DELTA_PREDICTED_H_

#include <cstddef>
#include <cstdint>

#include "package/byte_sources.h"
#include "package/delta_extended.h"

namespace upkeep {

constexpr char kPredictedDeltaSuffix[] = ".DELTAP";
constexpr char kPredictedDeltaMagic[4] = {'U', 'K', 'P', '1'};
constexpr uint8_t kPredictedCodecStored = 0;
constexpr uint8_t kPredictedCodecLzma2 = 2;  // a raw LZMA2 stream with its end marker

// True when the entry name (any letter case) ends in kPredictedDeltaSuffix.
bool IsPredictedDeltaName(const char* name);

// As DecodeExtendedDelta: with `sink` empty only the streams and records are
// checked (copies against `oldSize` alone) and `old` is not read. False, with
// the sink possibly part-fed, on any malformed header, stream or record, a
// stream that does not end exactly at its declared length and checksum, or a
// copy or seek outside the old file.
bool DecodePredictedDelta(PackageSource& stored, OldSource* old, uint64_t oldSize,
                          const DeltaSink& sink, ExtendedDeltaInfo* info);
// The same over bytes in memory.
bool DecodePredictedDelta(const uint8_t* stored, size_t storedSize, const uint8_t* old,
                          uint64_t oldSize, const DeltaSink& sink, ExtendedDeltaInfo* info);

}  // namespace upkeep

#endif  // UPKEEP_PACKAGE_DELTA_PREDICTED_H_
