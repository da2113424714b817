// Little-endian fields patched into byte buffers that are already laid out
// (PE headers, resource tables). The caller checks the range.
#ifndef UPKEEP_AUTHORING_LE_BYTES_H_
#define UPKEEP_AUTHORING_LE_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace upkeep {

inline void Set16(std::vector<uint8_t>* out, size_t at, uint32_t v) {
  (*out)[at] = static_cast<uint8_t>(v);
  (*out)[at + 1] = static_cast<uint8_t>(v >> 8);
}

inline void Set32(std::vector<uint8_t>* out, size_t at, uint32_t v) {
  Set16(out, at, v & 0xFFFF);
  Set16(out, at + 2, v >> 16);
}

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_LE_BYTES_H_
