// The PE version-resource reader and the queries over its block. The input is
// served as the program file; the block is copied into a buffer exactly as
// large as asked for, so any read or write past it is caught, and every value
// a query returns must lie inside that buffer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "memory_file_system.h"
#include "platform/pe_version_reader.h"
#include "fuzz_check.h"

namespace {

using namespace upkeep;

const char kPath[] = "\\fuzz\\Game.exe";

using upkeep::fuzz::Check;

void Query(std::vector<uint8_t>* block, const std::string& sub_block, uint32_t* first) {
  const uint8_t* value = nullptr;
  uint32_t length = 0;
  if (!PeQueryVersionValue(block->data(), static_cast<uint32_t>(block->size()), sub_block, &value,
                           &length)) {
    return;
  }
  const uint8_t* begin = block->data();
  Check(value >= begin && value <= begin + block->size());
  Check(length <= static_cast<size_t>(begin + block->size() - value));
  if (first != nullptr && length >= 4) {
    *first = value[0] | value[1] << 8 | value[2] << 16 | uint32_t{value[3]} << 24;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::MemoryFileSystem fs;
  fs.Add(kPath, data, size);
  std::vector<uint8_t> resource;
  const bool found = ReadPeVersionResource(kPath, &resource);
  const uint32_t info_size = PeVersionInfoSize(kPath);
  if (!found) {
    Check(info_size == 0);
    return 0;
  }
  // Larger than the file is possible: a section is zero-filled past its raw bytes.
  Check(resource.size() <= kMaxVersionResourceBytes);
  Check(info_size == 2 * resource.size() + 4);
  for (uint32_t cut : {info_size, info_size / 3}) {
    std::vector<uint8_t> block(cut);
    if (!PeVersionInfo(kPath, cut, block.data())) continue;
    uint32_t translation = 0x04E40409;
    Query(&block, "\\", nullptr);
    Query(&block, "\\VarFileInfo\\Translation", &translation);
    char table[64];
    std::snprintf(table, sizeof table, "\\StringFileInfo\\%04x%04x\\", translation & 0xFFFF,
                  translation >> 16);
    Query(&block, std::string(table) + "ProductVersion", nullptr);
    Query(&block, std::string(table) + "FileVersion", nullptr);
  }
  return 0;
}
