// Writes the block form of package/payload_stream.h: bytes of any length,
// cut into blocks that are each deflated on their own (or stored as they are
// when deflate does not shrink them), so that a later reader or writer may
// take the blocks apart. Memory is two blocks, whatever the length.
#ifndef UPKEEP_AUTHORING_BLOCK_STREAM_WRITER_H_
#define UPKEEP_AUTHORING_BLOCK_STREAM_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace upkeep {

constexpr uint32_t kDefaultStreamBlock = 4u << 20;
// Deflate's level for blocks: libdeflate's where the build has it, else zlib's.
constexpr int kBlockStreamLevel = 6;

class BlockStreamWriter {
 public:
  // `emit` takes the stored bytes in order (false stops the work). The header
  // goes out first with `rawSize`; when the length is known only at the end,
  // pass 0 here and patch the header (BlockStreamHeader) over what went out.
  BlockStreamWriter(const std::function<bool(const uint8_t*, size_t)>& emit, uint64_t rawSize,
                    uint32_t blockSize = kDefaultStreamBlock, int level = kBlockStreamLevel);
  ~BlockStreamWriter();
  BlockStreamWriter(const BlockStreamWriter&) = delete;
  BlockStreamWriter& operator=(const BlockStreamWriter&) = delete;

  bool Write(const uint8_t* data, size_t n);
  // The last block out; false when anything failed on the way.
  bool Finish();
  uint64_t rawSize() const { return raw_; }
  uint64_t storedSize() const { return stored_; }

 private:
  bool Block(const uint8_t* data, size_t n);

  std::function<bool(const uint8_t*, size_t)> emit_;
  uint32_t block_;
  int level_;
  std::vector<uint8_t> pending_;
  std::vector<uint8_t> packed_;
  // The stored form of a whole block of zeros, made once: sparse and padded
  // files hold many.
  std::vector<uint8_t> zero_block_;
  void* compressor_ = nullptr;
  uint64_t raw_ = 0;
  uint64_t stored_ = 0;
  bool failed_ = false;
};

// The 16-byte header of a block stream of `rawSize` bytes.
std::vector<uint8_t> BlockStreamHeader(uint64_t rawSize, uint32_t blockSize = kDefaultStreamBlock);

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_BLOCK_STREAM_WRITER_H_
