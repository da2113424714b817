#include "package/byte_sources.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace upkeep {

bool MemorySource::ReadAt(uint64_t offset, void* dst, size_t n) {
  if (offset > size_ || n > size_ - offset) return false;
  if (n > 0) std::memcpy(dst, data_ + offset, n);
  return true;
}

std::unique_ptr<EntrySource> EntrySource::Open(const PackageEntry& entry) {
  std::unique_ptr<EntrySource> s(new (std::nothrow) EntrySource);
  if (s == nullptr || entry.source == nullptr) return nullptr;
  if (entry.packedSize == 0) {
    s->source_ = entry.source;
    s->offset_ = entry.offset;
    s->size_ = entry.size;
    return s;
  }
  if (entry.size > kMaxPayloadSize) return nullptr;
  std::vector<uint8_t> stored;
  try {
    stored.resize(entry.packedSize);
    s->decoded_.resize(static_cast<size_t>(entry.size));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  if (!entry.source->ReadAt(entry.offset, stored.data(), stored.size()) ||
      !DecodePackedEntry(stored.data(), stored.size(), s->decoded_.data(), s->decoded_.size())) {
    return nullptr;
  }
  s->size_ = s->decoded_.size();
  return s;
}

bool EntrySource::ReadAt(uint64_t offset, void* dst, size_t n) {
  if (offset > size_ || n > size_ - offset) return false;
  if (n == 0) return true;
  if (source_ == nullptr) {
    std::memcpy(dst, decoded_.data() + offset, n);
    return true;
  }
  return source_->ReadAt(offset_ + offset, dst, n);
}

SequentialSource::SequentialSource(PackageSource* source, uint64_t begin, uint64_t end,
                                   size_t buffer)
    : source_(source), at_(begin), end_(std::max(begin, end)) {
  buffer_.resize(std::max<size_t>(buffer, 1));
}

bool SequentialSource::Next(size_t want, const uint8_t** data, size_t* got) {
  if (pos_ == have_) {
    pos_ = have_ = 0;
    const uint64_t left = end_ - at_;
    if (left == 0) {
      *got = 0;
      return true;
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, buffer_.size()));
    if (!source_->ReadAt(at_, buffer_.data(), n)) return false;
    at_ += n;
    have_ = n;
  }
  *got = std::min(want, have_ - pos_);
  *data = buffer_.data() + pos_;
  pos_ += *got;
  return true;
}

bool SequentialSource::ReadExact(void* dst, size_t n) {
  uint8_t* out = static_cast<uint8_t*>(dst);
  while (n > 0) {
    const uint8_t* p;
    size_t got = 0;
    if (!Next(n, &p, &got) || got == 0) return false;
    std::memcpy(out, p, got);
    out += got;
    n -= got;
  }
  return true;
}

WindowedOldSource::WindowedOldSource(File* file, uint64_t size, size_t window)
    : file_(file), size_(size), window_(std::max<size_t>(window, 1)) {}

const uint8_t* WindowedOldSource::Span(uint64_t pos, size_t n) {
  if (pos > size_ || n > size_ - pos || n > window_) return nullptr;
  if (pos >= start_ && pos - start_ <= have_ && n <= have_ - (pos - start_)) {
    return buffer_.get() + (pos - start_);
  }
  if (buffer_ == nullptr) {
    buffer_.reset(new (std::nothrow) uint8_t[window_]);
    if (buffer_ == nullptr) return nullptr;
  }
  // The window starts at the read: deltas mostly go forward.
  const size_t fill = static_cast<size_t>(std::min<uint64_t>(window_, size_ - pos));
  have_ = 0;
  if (fill > 0 && file_->ReadAt(pos, buffer_.get(), fill) != static_cast<int64_t>(fill)) {
    return nullptr;
  }
  start_ = pos;
  have_ = fill;
  return buffer_.get();
}

}  // namespace upkeep
