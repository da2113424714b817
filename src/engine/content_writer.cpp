#include "engine/content_writer.h"

#include <algorithm>
#include <cstring>

namespace upkeep {

namespace {

// Small pieces are gathered so that content of many short pieces does not
// become one system call per piece.
constexpr size_t kWriteBuffer = size_t{1} << 20;
// Zero runs of at least this much, on these boundaries, become holes.
constexpr size_t kHoleUnit = size_t{64} << 10;

bool AllZero(const uint8_t* p, size_t n) {
  if (n == 0 || p[0] != 0) return n == 0;
  // Compared with itself shifted by one: all equal to the first byte.
  return std::memcmp(p, p + 1, n - 1) == 0;
}

}  // namespace

ContentWriter::ContentWriter(File* file) : file_(file) { buffer_.reserve(kWriteBuffer); }

void ContentWriter::Write(const uint8_t* data, size_t n) {
  if (n >= kWriteBuffer) {
    if (!buffer_.empty()) Put(buffer_.data(), buffer_.size());
    buffer_.clear();
    Put(data, n);
    return;
  }
  if (buffer_.size() + n > kWriteBuffer) {
    Put(buffer_.data(), buffer_.size());
    buffer_.clear();
  }
  buffer_.insert(buffer_.end(), data, data + n);
}

bool ContentWriter::CloseHole() {
  if (hole_ == 0) return true;
  const uint64_t to = position_ + hole_;
  if (to > static_cast<uint64_t>(INT64_MAX) ||
      file_->Seek(static_cast<int64_t>(to), SeekOrigin::kBegin) != static_cast<int64_t>(to)) {
    failed_ = true;
    return false;
  }
  accepted_ += hole_;
  position_ = to;
  hole_ = 0;
  return true;
}

void ContentWriter::Put(const uint8_t* data, size_t n) {
  while (n > 0 && !failed_) {
    // Pieces on kHoleUnit boundaries of the file, so holes stay whole units.
    size_t k = std::min(n, kHoleUnit - static_cast<size_t>((position_ + hole_) % kHoleUnit));
    if (k == kHoleUnit && AllZero(data, k)) {
      crc_ = ContinueCrc(crc_, data, k);
      hole_ += k;
      data += k;
      n -= k;
      continue;
    }
    // A run of pieces that are no holes goes out in one call.
    while (k < n) {
      const size_t next = std::min(n - k, kHoleUnit);
      if (next == kHoleUnit && AllZero(data + k, next)) break;
      k += next;
    }
    if (!CloseHole()) return;
    const int64_t put = file_->Write(data, k);
    if (put <= 0) {
      failed_ = true;
      return;
    }
    const size_t taken = static_cast<size_t>(put) < k ? static_cast<size_t>(put) : k;
    crc_ = ContinueCrc(crc_, data, taken);
    accepted_ += taken;
    position_ += taken;
    if (taken < k) failed_ = true;
    data += k;
    n -= k;
  }
}

void ContentWriter::Finish(WrittenContent* written) {
  if (!buffer_.empty()) Put(buffer_.data(), buffer_.size());
  buffer_.clear();
  // A hole at the end is closed by its last byte, which gives the file its size.
  if (hole_ > 0 && !failed_) {
    const uint8_t zero = 0;
    --hole_;
    if (CloseHole() && file_->Write(&zero, 1) == 1) {
      ++accepted_;
      ++position_;
    } else {
      failed_ = true;
    }
  }
  if (written == nullptr) return;
  written->accepted = accepted_;
  written->crc = crc_;
  written->fileSize = file_->Size();
  written->flushed = !failed_ && file_->Flush();
}

ByteProgress::ByteProgress(ProgressCallback progress, int32_t overall, const char* label,
                           const char* text, uint64_t total)
    : progress_(progress), overall_(overall), label_(label), text_(text), total_(total) {
  if (progress_ != nullptr) progress_(overall_, 0, label_, text_);
}

void ByteProgress::Add(uint64_t n) {
  done_ += n;
  if (progress_ == nullptr || total_ == 0) return;
  const uint32_t p = static_cast<uint32_t>(std::min(done_, total_) * 100 / total_);
  if (p == last_) return;
  last_ = p;
  progress_(overall_, static_cast<int32_t>(p), label_, text_);
}

}  // namespace upkeep
