#include "authoring/block_stream_writer.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#ifdef UPKEEP_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "package/payload_stream.h"

namespace upkeep {

namespace {

void PutU32(uint32_t v, uint8_t* p) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

std::vector<uint8_t> BlockStreamHeader(uint64_t rawSize, uint32_t blockSize) {
  std::vector<uint8_t> head(kBlockStreamHeaderSize);
  std::memcpy(head.data(), kBlockStreamMagic, 4);
  PutU32(static_cast<uint32_t>(rawSize), head.data() + 4);
  PutU32(static_cast<uint32_t>(rawSize >> 32), head.data() + 8);
  PutU32(blockSize, head.data() + 12);
  return head;
}

BlockStreamWriter::BlockStreamWriter(const std::function<bool(const uint8_t*, size_t)>& emit,
                                     uint64_t rawSize, uint32_t blockSize, int level)
    : emit_(emit),
      block_(std::min(std::max(blockSize, kMinStreamBlock), kMaxStreamBlock)),
      level_(level) {
  const std::vector<uint8_t> head = BlockStreamHeader(rawSize, block_);
  failed_ = !emit_(head.data(), head.size());
  stored_ = head.size();
  pending_.reserve(block_);
#ifdef UPKEEP_HAVE_LIBDEFLATE
  compressor_ = libdeflate_alloc_compressor(level_);
  if (compressor_ == nullptr) failed_ = true;
#endif
}

BlockStreamWriter::~BlockStreamWriter() {
#ifdef UPKEEP_HAVE_LIBDEFLATE
  if (compressor_ != nullptr)
    libdeflate_free_compressor(static_cast<libdeflate_compressor*>(compressor_));
#endif
}

bool BlockStreamWriter::Block(const uint8_t* data, size_t n) {
  const bool zeros = n == block_ && data[0] == 0 && std::memcmp(data, data + 1, n - 1) == 0;
  if (zeros && !zero_block_.empty()) {
    stored_ += zero_block_.size();
    return emit_(zero_block_.data(), zero_block_.size());
  }
  size_t produced = 0;
#ifdef UPKEEP_HAVE_LIBDEFLATE
  libdeflate_compressor* c = static_cast<libdeflate_compressor*>(compressor_);
  packed_.resize(4 + libdeflate_zlib_compress_bound(c, n));
  produced = libdeflate_zlib_compress(c, data, n, packed_.data() + 4, packed_.size() - 4);
#else
  uLongf bound = compressBound(static_cast<uLong>(n));
  packed_.resize(4 + bound);
  if (compress2(packed_.data() + 4, &bound, data, static_cast<uLong>(n), level_) == Z_OK) {
    produced = bound;
  }
#endif
  // A block deflate does not shrink is stored as it is.
  if (produced == 0 || produced >= n) {
    uint8_t head[4];
    PutU32(static_cast<uint32_t>(n) | kStoredBlockFlag, head);
    stored_ += 4 + n;
    return emit_(head, 4) && emit_(data, n);
  }
  PutU32(static_cast<uint32_t>(produced), packed_.data());
  stored_ += 4 + produced;
  if (zeros) zero_block_.assign(packed_.begin(), packed_.begin() + 4 + produced);
  return emit_(packed_.data(), 4 + produced);
}

bool BlockStreamWriter::Write(const uint8_t* data, size_t n) {
  raw_ += n;
  while (n > 0 && !failed_) {
    if (pending_.empty() && n >= block_) {
      failed_ = !Block(data, block_);
      data += block_;
      n -= block_;
      continue;
    }
    const size_t k = std::min(n, block_ - pending_.size());
    pending_.insert(pending_.end(), data, data + k);
    data += k;
    n -= k;
    if (pending_.size() == block_) {
      failed_ = !Block(pending_.data(), pending_.size());
      pending_.clear();
    }
  }
  return !failed_;
}

bool BlockStreamWriter::Finish() {
  if (!failed_ && !pending_.empty()) failed_ = !Block(pending_.data(), pending_.size());
  pending_.clear();
  return !failed_;
}

}  // namespace upkeep
