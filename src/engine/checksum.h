// CRC-32 of whole files and the test of a file against a script's checksum text.
#ifndef UPKEEP_ENGINE_CHECKSUM_H_
#define UPKEEP_ENGINE_CHECKSUM_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/mapped_file.h"
#include "engine/progress.h"
#include "platform/file_system.h"

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
// missing or unopenable file counts as empty; a file that cannot be read to
// its end, an over-long path or a bad text never matches. The file is read in
// pieces of `buffer` bytes, whatever its size; progress as ComputeFileCrc
// reports it.
bool FileMatchesChecksum(FileSystem* fs, size_t buffer, const char* baseDir, const char* name,
                         const char* expected, ProgressCallback progress, int32_t overallPercent,
                         const char* message);
// The same through the process's file system, in pieces of 4 MiB.
bool FileMatchesChecksum(const char* baseDir, const char* name, const char* expected,
                         ProgressCallback progress, int32_t overallPercent, const char* message);

enum class FileCrcResult { kDone, kCannotOpen, kReadFailed };
// The CRC-32 of the file at `path`, read in pieces of `buffer` bytes, with
// ComputeFileCrc's progress reports under `displayName`.
FileCrcResult ComputeStreamedFileCrc(FileSystem* fs, const std::string& path, size_t buffer,
                                     const char* displayName, ProgressCallback progress,
                                     int32_t overallPercent, const char* message, uint32_t* crc);

}  // namespace upkeep

#endif  // UPKEEP_ENGINE_CHECKSUM_H_
