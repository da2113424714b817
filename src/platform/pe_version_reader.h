// A reader of version resources straight from a PE file, giving the answers of
// the system's version API: the resource is found the way the loader finds it
// (type 16, name 1, language neutral, then en-US, then the first one), and the
// block is walked as VerQueryValueA walks it. Files are untrusted: every offset
// and length is checked, and a malformed file reads as one without a resource.
//
// POSIX builds use it as their version API; Windows builds carry it so that
// tests can hold it against the system's answers.
#ifndef UPKEEP_PLATFORM_PE_VERSION_READER_H_
#define UPKEEP_PLATFORM_PE_VERSION_READER_H_

#include <cstdint>
#include <string>
#include <vector>

namespace upkeep {

// Resources larger than this are not taken for a version block (a block's own
// length field tops out at 64 KiB).
constexpr uint32_t kMaxVersionResourceBytes = 1u << 20;

// The raw version resource of the PE file at `path` (read through the file
// system seam). False when there is none.
bool ReadPeVersionResource(const std::string& path, std::vector<uint8_t>* resource);

// GetFileVersionInfoSizeA: twice the resource plus 4, or 0.
uint32_t PeVersionInfoSize(const std::string& path);

// GetFileVersionInfoA: the resource (cut to `size`), then the "FE2X" mark
// after the block when it fits.
bool PeVersionInfo(const std::string& path, uint32_t size, uint8_t* data);

// VerQueryValueA over such a block; `block_size` bounds every read and write.
bool PeQueryVersionValue(uint8_t* block, uint32_t block_size, const std::string& sub_block,
                         const uint8_t** value, uint32_t* length);

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_PE_VERSION_READER_H_
