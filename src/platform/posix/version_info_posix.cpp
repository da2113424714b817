#include "platform/pe_version_reader.h"
#include "platform/version_info.h"

namespace upkeep {

uint32_t ReadVersionInfoSize(const std::string& path) { return PeVersionInfoSize(path); }

bool ReadVersionInfo(const std::string& path, uint32_t size, uint8_t* data) {
  return PeVersionInfo(path, size, data);
}

bool QueryVersionValue(uint8_t* block, uint32_t block_size, const std::string& sub_block,
                       const uint8_t** value, uint32_t* length) {
  return PeQueryVersionValue(block, block_size, sub_block, value, length);
}

}  // namespace upkeep
