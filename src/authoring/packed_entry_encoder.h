// The archive's own entry packing: an 8-byte header (u32 coded length, u32
// unpacked length) and a coded stream of flag words, literals and short
// matches (2..9 bytes, up to 256 bytes back) that DecodePackedEntry reverses.
#ifndef UPKEEP_AUTHORING_PACKED_ENTRY_ENCODER_H_
#define UPKEEP_AUTHORING_PACKED_ENTRY_ENCODER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace upkeep {

// Larger inputs are refused: the parse keeps a few bytes per input byte.
constexpr size_t kMaxPackedEntryInput = size_t{256} << 20;

// The stored bytes of a packed entry. The parse is optimal for the format's
// costs (9 bits a literal, 12 bits a match). False when `size` exceeds
// kMaxPackedEntryInput or memory runs out.
bool EncodePackedEntry(const uint8_t* data, size_t size, std::vector<uint8_t>* out);

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_PACKED_ENTRY_ENCODER_H_
