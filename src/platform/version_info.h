// Version resources of program files, with the contract of
// GetFileVersionInfoSizeA, GetFileVersionInfoA and VerQueryValueA. Win32 calls
// the system; POSIX reads the PE file itself (pe_version_reader.h).
#ifndef UPKEEP_PLATFORM_VERSION_INFO_H_
#define UPKEEP_PLATFORM_VERSION_INFO_H_

#include <cstdint>
#include <string>

namespace upkeep {

// Bytes a caller must provide for ReadVersionInfo; 0 when the file has no
// version resource or cannot be read.
uint32_t ReadVersionInfoSize(const std::string& path);

// Fills `data` (`size` bytes, as ReadVersionInfoSize told) with the version
// block. False when there is none.
bool ReadVersionInfo(const std::string& path, uint32_t size, uint8_t* data);

// Looks up a sub-block ("\", "\VarFileInfo\Translation",
// "\StringFileInfo\040904e4\ProductVersion") in a block that ReadVersionInfo
// filled. Text values come back in the ANSI code page, converted into the spare
// half of the block; *length counts bytes, the terminator included when the
// resource stored one. False when the path is not there.
bool QueryVersionValue(uint8_t* block, uint32_t block_size, const std::string& sub_block,
                       const uint8_t** value, uint32_t* length);

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_VERSION_INFO_H_
