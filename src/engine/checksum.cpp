#include "engine/checksum.h"

#ifdef UPKEEP_HAVE_LIBDEFLATE
#include <libdeflate.h>
#else
#include <zlib.h>
#endif

#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "engine/command_context.h"
#include "script/command_schema.h"

namespace upkeep {

namespace {

// Bytes per crc32 call between progress points: small enough to keep the call
// within zlib's uInt, large enough to keep the loop out of the profile.
constexpr uint32_t kCrcChunk = 1u << 20;

// libdeflate's folding CRC runs at memory speed; zlib's is the fallback.
uint32_t UpdateCrc(uint32_t crc, const uint8_t* data, uint32_t size) {
#ifdef UPKEEP_HAVE_LIBDEFLATE
  return libdeflate_crc32(crc, data, size);
#else
  return static_cast<uint32_t>(crc32(crc, data, size));
#endif
}

// First byte index whose step percentage exceeds `percent`.
uint64_t FirstIndexAbove(uint32_t percent, uint64_t size) {
  // Smallest i with i * 100 >= (percent + 1) * size.
  return ((static_cast<uint64_t>(percent) + 1) * size + 99) / 100;
}

}  // namespace

uint32_t ComputeFileCrc(const MappedFile& mapped, const char* displayName,
                        ProgressCallback progress, int32_t overallPercent, const char* message) {
  if (mapped.view == nullptr || mapped.size == 0) return 0;
  const uint64_t size = mapped.size;
  uint32_t crc = 0;
  uint64_t i = 0;
  // The byte index at which the next distinct percentage is first reached.
  uint64_t next_change = 0;
  while (i < size) {
    uint64_t end = size;
    if (end - i > kCrcChunk) end = i + kCrcChunk;
    if (progress != nullptr && end > next_change + 1) end = next_change + 1;
    crc = UpdateCrc(crc, mapped.view + i, static_cast<uint32_t>(end - i));
    i = end;
    if (progress != nullptr && i == next_change + 1) {
      uint32_t p = static_cast<uint32_t>(next_change * 100 / size);
      progress(overallPercent, static_cast<int32_t>(p), TextOrEmpty(displayName),
               TextOrEmpty(message));
      next_change = FirstIndexAbove(p, size);
    }
  }
  return crc;
}

uint32_t ComputeBufferCrc(const uint8_t* data, size_t size) { return ContinueCrc(0, data, size); }

uint32_t ContinueCrc(uint32_t crc, const uint8_t* data, size_t size) {
  while (size > 0) {
    const uint32_t n = size > kCrcChunk ? kCrcChunk : static_cast<uint32_t>(size);
    crc = UpdateCrc(crc, data, n);
    data += n;
    size -= n;
  }
  return crc;
}

void ReportCrcProgress(uint64_t size, const char* displayName, ProgressCallback progress,
                       int32_t overallPercent, const char* message) {
  if (progress == nullptr) return;
  // The same points as ComputeFileCrc's walk: each distinct percentage once.
  for (uint64_t i = 0; i < size; i = FirstIndexAbove(static_cast<uint32_t>(i * 100 / size), size)) {
    progress(overallPercent, static_cast<int32_t>(i * 100 / size), TextOrEmpty(displayName),
             TextOrEmpty(message));
  }
}

FileCrcResult ComputeStreamedFileCrc(FileSystem* fs, const std::string& path, size_t buffer,
                                     const char* displayName, ProgressCallback progress,
                                     int32_t overallPercent, const char* message, uint32_t* crc) {
  *crc = 0;
  std::unique_ptr<File> file = fs->Open(path, OpenMode::kRead);
  if (file == nullptr) return FileCrcResult::kCannotOpen;
  const int64_t end = file->Size();
  if (end < 0) return FileCrcResult::kReadFailed;
  const uint64_t size = static_cast<uint64_t>(end);
  if (size == 0) return FileCrcResult::kDone;
  const size_t piece = static_cast<size_t>(std::min<uint64_t>(std::max<size_t>(buffer, 1), size));
  std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[piece]);
  if (data == nullptr) return FileCrcResult::kReadFailed;
  uint32_t value = 0;
  uint64_t i = 0;
  // The byte index at which the next distinct percentage is first reached.
  uint64_t next_change = 0;
  while (i < size) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size - i, piece));
    if (file->ReadAt(i, data.get(), n) != static_cast<int64_t>(n))
      return FileCrcResult::kReadFailed;
    const uint64_t piece_end = i + n;
    while (i < piece_end) {
      uint64_t stop = piece_end;
      if (progress != nullptr && stop > next_change + 1) stop = next_change + 1;
      value = ContinueCrc(value, data.get() + (i + n - piece_end), static_cast<size_t>(stop - i));
      i = stop;
      if (progress != nullptr && i == next_change + 1) {
        const uint32_t p = static_cast<uint32_t>(next_change * 100 / size);
        progress(overallPercent, static_cast<int32_t>(p), TextOrEmpty(displayName),
                 TextOrEmpty(message));
        next_change = FirstIndexAbove(p, size);
      }
    }
  }
  *crc = value;
  return FileCrcResult::kDone;
}

bool FileMatchesChecksum(FileSystem* fs, size_t buffer, const char* baseDir, const char* name,
                         const char* expected, ProgressCallback progress, int32_t overallPercent,
                         const char* message) {
  std::string path;
  if (name == nullptr || !JoinPath(TextOrEmpty(baseDir), name, kMaxJoinedPath, &path)) {
    return false;
  }
  uint32_t wanted = 0;
  if (!ParseChecksumText(expected, &wanted)) return false;
  uint32_t crc = 0;
  switch (ComputeStreamedFileCrc(fs, path, buffer, path.c_str(), progress, overallPercent, message,
                                 &crc)) {
    case FileCrcResult::kCannotOpen:
      return wanted == 0;  // missing or unopenable: checksummed as empty
    case FileCrcResult::kReadFailed:
      return false;
    case FileCrcResult::kDone:
      break;
  }
  return crc == wanted;
}

bool FileMatchesChecksum(const char* baseDir, const char* name, const char* expected,
                         ProgressCallback progress, int32_t overallPercent, const char* message) {
  return FileMatchesChecksum(GetFileSystem(), kDefaultReadWindow, baseDir, name, expected, progress,
                             overallPercent, message);
}

}  // namespace upkeep
