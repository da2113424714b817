// Raw LZMA2 streams for make. Setting an encoder up costs about a MiB of
// fresh tables, which is more than packing a few KiB: a delta packs dozens of
// small streams (each with several literal settings), so encoders for small
// dictionaries are kept for the next stream of the same file.
#ifndef UPKEEP_AUTHORING_LZMA_ENCODERS_H_
#define UPKEEP_AUTHORING_LZMA_ENCODERS_H_

#include <lzma.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace upkeep {

// Idle encoders, for any thread; each holds its tables until the object goes.
class LzmaEncoders {
 public:
  LzmaEncoders() = default;
  ~LzmaEncoders();
  LzmaEncoders(const LzmaEncoders&) = delete;
  LzmaEncoders& operator=(const LzmaEncoders&) = delete;

  // Dictionaries up to this go through kept encoders: their tables are the
  // match finder's smallest (about 0.5 MiB), so keeping one per thread costs
  // little. Larger ones are set up and freed each time.
  static constexpr uint32_t kKeptDictionary = 64 * 1024;

  // The encoders kept now (for tests).
  size_t idle() const;

 private:
  friend bool EncodeLzma2(const lzma_options_lzma&, const uint8_t*, size_t, std::vector<uint8_t>*,
                          LzmaEncoders*);
  lzma_stream* Take();
  void Give(lzma_stream* s);

  mutable std::mutex mu_;
  std::vector<lzma_stream*> idle_;
};

// `size` bytes of `data` as one raw LZMA2 stream with `options` (with its end
// marker) in `out`, on one of `keep`'s encoders when given and the
// dictionary is small. The bytes are those of a fresh encoder. False when
// memory runs out or the stream outgrows liblzma's bound.
bool EncodeLzma2(const lzma_options_lzma& options, const uint8_t* data, size_t size,
                 std::vector<uint8_t>* out, LzmaEncoders* keep = nullptr);

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_LZMA_ENCODERS_H_
