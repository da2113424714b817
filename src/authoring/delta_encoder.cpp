#include "authoring/delta_encoder.h"

namespace upkeep {

namespace {
void PutU32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}
}  // namespace

// Placeholder until the matching encoder lands: one insert record of the new bytes.
std::vector<uint8_t> EncodeDelta(const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                                 size_t new_size, const DeltaOptions& options) {
  (void)old_data;
  (void)old_size;
  (void)options;
  std::vector<uint8_t> out;
  size_t done = 0;
  do {
    size_t n = new_size - done;
    if (n > 0x7FFFFFFF) n = 0x7FFFFFFF;
    PutU32(&out, static_cast<uint32_t>(n));
    out.insert(out.end(), new_data + done, new_data + done + n);
    done += n;
  } while (done < new_size);
  return out;
}

}  // namespace upkeep
