#include <cstddef>
#include <cstdint>

#include "package/package.h"
#include "package/package_internal.h"

namespace upkeep {

namespace {

// Flag bits come most significant first from 16-bit little-endian words. The
// next word is read as soon as the last bit of a word is taken, so it sits in
// the stream before the data bytes of the item that used that bit.
class FlagReader {
 public:
  FlagReader(const uint8_t* in, size_t size, size_t* pos) : in_(in), size_(size), pos_(pos) {
    Refill();
  }
  // False when the stream ended where a flag word was due.
  bool Next(int* bit) {
    if (left_ == 0) return false;
    *bit = (word_ >> 15) & 1;
    word_ = static_cast<uint16_t>(word_ << 1);
    if (--left_ == 0) Refill();
    return true;
  }

 private:
  void Refill() {
    // A missing final word is tolerated; it only matters if another bit is due.
    if (size_ - *pos_ < 2) return;
    word_ = static_cast<uint16_t>(in_[*pos_] | in_[*pos_ + 1] << 8);
    *pos_ += 2;
    left_ = 16;
  }

  const uint8_t* in_;
  size_t size_;
  size_t* pos_;
  uint16_t word_ = 0;
  int left_ = 0;
};

}  // namespace

bool DecodePackedEntry(const uint8_t* stored, size_t stored_size, uint8_t* dest, size_t dest_size) {
  if (stored == nullptr || stored_size < 8) return false;
  // The coded length at offset 0 is informative only; the stored size bounds reads.
  if (package_internal::LoadU32(stored + 4) != dest_size) return false;
  if (dest == nullptr && dest_size != 0) return false;
  const uint8_t* in = stored + 8;
  const size_t in_size = stored_size - 8;
  size_t pos = 0;
  FlagReader flags(in, in_size, &pos);
  size_t out = 0;
  while (out < dest_size) {
    int bit = 0;
    if (!flags.Next(&bit)) return false;
    if (bit == 0) {
      if (pos >= in_size) return false;
      dest[out++] = in[pos++];
      continue;
    }
    int n = 0;
    for (int i = 0; i < 3; ++i) {
      if (!flags.Next(&bit)) return false;
      n = n * 2 + bit;
    }
    if (pos >= in_size) return false;
    const size_t distance = 256 - static_cast<size_t>(in[pos++]);
    if (distance > out) return false;  // before the start of the output
    size_t length = static_cast<size_t>(n) + 2;
    if (length > dest_size - out) length = dest_size - out;  // a last match may run over
    // Byte by byte: a match may overlap the bytes it produces.
    for (size_t i = 0; i < length; ++i, ++out) dest[out] = dest[out - distance];
  }
  return true;
}

}  // namespace upkeep
