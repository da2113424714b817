// The stored form of a payload entry (.FILE and .DELTA): one zlib stream
// (libdeflate where the build links it, its best level unless told, else zlib level 9), then
// the u32 Adler-32 of the data and the u32 data length.
#ifndef UPKEEP_AUTHORING_PAYLOAD_WRITER_H_
#define UPKEEP_AUTHORING_PAYLOAD_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace upkeep {

constexpr int kBestPayloadLevel = 12;

// False when `size` exceeds what the loader accepts (kMaxPayloadSize) or
// compression fails. `level` is libdeflate's (1..12); zlib, where used, runs at 9.
bool EncodePayload(const uint8_t* data, size_t size, std::vector<uint8_t>* out,
                   int level = kBestPayloadLevel);
// Convenience form; empty on failure (a valid payload is never empty).
std::vector<uint8_t> EncodePayload(const std::vector<uint8_t>& data);

// `data` as one raw deflate stream (no header, checksum or length), the
// smaller of the two deflaters' as EncodePayload chooses; false when it
// cannot be made.
bool EncodeRawDeflate(const uint8_t* data, size_t size, std::vector<uint8_t>* out, int level);

// How StreamPayload ended.
enum class StreamedPayload { kDone, kOverLimit, kFailed };

// The same stored form for inputs too large to hold twice: zlib's deflate over
// the input a piece at a time, each piece that a fast trial finds
// incompressible stored as it is (quick, and hardly larger). `emit` gets the
// output as it is made (false stops the work); `passed(pos)`, when set, is
// told that the input below `pos` is done with. kOverLimit, early, once the
// whole would be over `limit` bytes.
StreamedPayload StreamPayload(const uint8_t* data, size_t size,
                              const std::function<bool(const uint8_t*, size_t)>& emit,
                              const std::function<void(size_t pos)>& passed,
                              uint64_t limit = UINT64_MAX);

// CRC-32 of the bytes, the value scripts state for whole files.
uint32_t Crc32(const std::vector<uint8_t>& data);

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_PAYLOAD_WRITER_H_
