// Deflate with a pinned copy of zlib's compressor (built from Debian's source,
// never the system's), so that a stream a known deflater made can be made
// again byte for byte from its inflated bytes, by `make` and by every updater.
#ifndef UPKEEP_PACKAGE_REDEFLATE_H_
#define UPKEEP_PACKAGE_REDEFLATE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace upkeep {

struct DeflateParams {
  uint8_t level = 6;        // 1..9
  uint8_t memLevel = 8;     // 1..9
  uint8_t windowBits = 15;  // 9..15; the stream is raw deflate, no header
  uint8_t strategy = 0;     // zlib's: 0 default, 1 filtered, 2 Huffman only, 3 RLE, 4 fixed
  bool gzipBlocks = false;  // end blocks where gzip 1.x ends them
  bool operator==(const DeflateParams& o) const {
    return level == o.level && memLevel == o.memLevel && windowBits == o.windowBits &&
           strategy == o.strategy && gzipBlocks == o.gzipBlocks;
  }
};

bool ValidDeflateParams(const DeflateParams& params);

// Takes output piece by piece; returning false stops the stream.
using DeflateSink = std::function<bool(const uint8_t* data, size_t size)>;

// One raw deflate stream at a time; reusable after Finish or a failure.
class Redeflater {
 public:
  Redeflater();
  ~Redeflater();
  Redeflater(const Redeflater&) = delete;
  Redeflater& operator=(const Redeflater&) = delete;

  // False for invalid parameters or when memory runs out.
  bool Start(const DeflateParams& params);
  // Compresses `size` bytes; output reaches `sink` in pieces of at most 64 KiB.
  // False when the sink stopped it or the stream is not started.
  bool Write(const uint8_t* data, size_t size, const DeflateSink& sink);
  // Ends the stream with its final block and hands the rest over.
  bool Finish(const DeflateSink& sink);

 private:
  struct State;
  bool Run(const uint8_t* data, size_t size, bool finish, const DeflateSink& sink);
  std::unique_ptr<State> state_;
};

}  // namespace upkeep

#endif  // UPKEEP_PACKAGE_REDEFLATE_H_
