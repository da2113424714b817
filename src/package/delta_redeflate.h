// The delta form for files that hold deflate streams (zip members, gzip,
// zlib): a PatchFile entry whose name ends in kRedeflateDeltaSuffix. A changed
// member is recompressed data that shares almost nothing byte for byte with
// the old one, so the delta is taken between the files' expanded views, where
// listed streams stand inflated, and the updater deflates the new file's
// streams again with the pinned deflater (package/redeflate.h), which makes
// them byte for byte as `make` found them.
//
// Stored bytes:
//   "UKZ1"                      magic
//   varint oldStreams           streams of the old file to inflate, in order
//     varint gap                from the end of the previous one (or 0) to its start
//     varint storedLength       its deflate bytes, at least 1
//     varint inflatedLength     what it inflates to
//   varint newStreams           streams of the expanded new view, in order
//     varint gap                from the end of the previous one's inflated bytes (or 0)
//     varint inflatedLength     bytes of the view deflated into it
//     varint storedLength       deflate bytes they must make, at least 1
//     u8 level, u8 memLevel, u8 windowBits, u8 strategy   DeflateParams
//     u8 flags                  bit 0: gzipBlocks; other bits 0
//   varint newSize              bytes of the new file
//   the rest: an extended delta (any layout of delta_extended.h) from the
//   expanded old view to the expanded new view
// Varints are LEB128 as in delta_extended.h. Each old stream is raw deflate
// that must end with its final block exactly at storedLength bytes and inflate
// to exactly inflatedLength. The expanded old view is the old file with every
// listed stream replaced by its inflated bytes; it is held in memory and may
// not exceed kMaxRedeflateExpanded (so this form, alone of the delta forms,
// holds up to that much of the old file in memory; make writes it only for
// views up to kRedeflateOldViewWritten). The new file is the expanded new view with
// every listed stream's inflatedLength bytes replaced by their deflate bytes;
// newSize must equal the view's size less the streams' inflated lengths plus
// their stored lengths.
#ifndef UPKEEP_PACKAGE_DELTA_REDEFLATE_H_
#define UPKEEP_PACKAGE_DELTA_REDEFLATE_H_

#include <cstddef>
#include <cstdint>

#include "package/delta_extended.h"
#include "package/redeflate.h"

namespace upkeep {

constexpr char kRedeflateDeltaSuffix[] = ".DELTAZ";
constexpr char kRedeflateDeltaMagic[4] = {'U', 'K', 'Z', '1'};
constexpr uint64_t kMaxRedeflateExpanded = 256ull << 20;
// make writes this form only where the old view is at most this large, so
// that the updater, holding it and one old stream's bytes, stays under 256 MB.
constexpr uint64_t kRedeflateOldViewWritten = 160ull << 20;
constexpr uint8_t kRedeflateGzipBlocks = 1;

// True when the entry name (any letter case) ends in kRedeflateDeltaSuffix.
bool IsRedeflateDeltaName(const char* name);

// Decodes the stored bytes against the old file, handing the new file to
// `sink` piece by piece. With `sink` empty only the tables and the embedded
// delta's shape are checked and `old` is not read. info->outputSize is newSize
// and info->oldNeeded the old size that the old streams and the embedded
// delta's copies need. False, with the sink possibly part-fed, on any
// malformed table, an old stream that does not inflate as listed, a view over
// kMaxRedeflateExpanded, a failing embedded delta, or a new stream whose
// deflate bytes are not storedLength long.
bool DecodeRedeflateDelta(PackageSource& stored, OldSource* old, uint64_t oldSize,
                          const DeltaSink& sink, ExtendedDeltaInfo* info);
// The same over bytes in memory.
bool DecodeRedeflateDelta(const uint8_t* stored, size_t storedSize, const uint8_t* old,
                          uint64_t oldSize, const DeltaSink& sink, ExtendedDeltaInfo* info);

}  // namespace upkeep

#endif  // UPKEEP_PACKAGE_DELTA_REDEFLATE_H_
