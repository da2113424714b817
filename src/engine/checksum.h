// CRC-32 of whole files and the test of a file against a script's checksum text.
#ifndef UPKEEP_ENGINE_CHECKSUM_H_
#define UPKEEP_ENGINE_CHECKSUM_H_

#include <cstddef>
#include <cstdint>

#include "engine/mapped_file.h"
#include "engine/progress.h"

namespace upkeep {

// What a target was given, taken as it was written: the bytes the system
// accepted and their CRC-32, the file's size after it, and whether it then
// reached the disk. The file holds exactly those bytes when the accepted
// count, the file's size and the content's length agree.
struct WrittenContent {
  uint64_t accepted = 0;
  uint32_t crc = 0;
  int64_t fileSize = -1;
  bool flushed = false;
};

// The CRC-32 (ISO-HDLC) of the mapped bytes. Calls `progress` once for each
// distinct floor(i * 100 / size) over the byte indexes i, in rising order; never
// with 100, never for an empty file. An unusable mapping yields 0 unread.
uint32_t ComputeFileCrc(const MappedFile& mapped, const char* displayName,
                        ProgressCallback progress, int32_t overallPercent, const char* message);

// The CRC-32 of bytes in memory.
uint32_t ComputeBufferCrc(const uint8_t* data, size_t size);
// `crc` (of earlier bytes; 0 to start) continued over more bytes.
uint32_t ContinueCrc(uint32_t crc, const uint8_t* data, size_t size);
// The progress reports ComputeFileCrc makes over `size` bytes, for content
// whose CRC was taken as it was written.
void ReportCrcProgress(uint64_t size, const char* displayName, ProgressCallback progress,
                       int32_t overallPercent, const char* message);

// True when base + '\' + name (no separator after an empty base or one ending
// in '\') has the CRC-32 the text names (as ParseChecksumText reads it). A
// missing or unopenable file counts as empty; an unmappable non-empty file, an
// over-long path or a bad text never matches.
bool FileMatchesChecksum(const char* baseDir, const char* name, const char* expected,
                         ProgressCallback progress, int32_t overallPercent, const char* message);

}  // namespace upkeep

#endif  // UPKEEP_ENGINE_CHECKSUM_H_
