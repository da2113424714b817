// The inputs of the streamed decoders: an entry's stored bytes read in order
// through a buffer, and the old file a delta copies from, read where the
// delta asks through a window. Neither holds more than its buffer, whatever
// the sizes involved.
#ifndef UPKEEP_PACKAGE_BYTE_SOURCES_H_
#define UPKEEP_PACKAGE_BYTE_SOURCES_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "package/package.h"
#include "platform/file_system.h"

namespace upkeep {

// Bytes in memory as a source (tests, and what is decoded whole).
class MemorySource : public PackageSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool ReadAt(uint64_t offset, void* dst, size_t n) override;
  uint64_t size() const override { return size_; }

 private:
  const uint8_t* data_;
  size_t size_;
};

// The stored bytes of an entry as a source of their own, from 0. A packed
// entry is decoded whole into memory first (packing is for small texts); one
// that would inflate past kMaxPayloadSize is refused.
class EntrySource : public PackageSource {
 public:
  // Null when the entry is packed and cannot be decoded.
  static std::unique_ptr<EntrySource> Open(const PackageEntry& entry);
  bool ReadAt(uint64_t offset, void* dst, size_t n) override;
  uint64_t size() const override { return size_; }

 private:
  EntrySource() = default;
  PackageSource* source_ = nullptr;
  uint64_t offset_ = 0;
  uint64_t size_ = 0;
  std::vector<uint8_t> decoded_;
};

// Reads [begin, end) of a source in order through a buffer of its own.
class SequentialSource {
 public:
  static constexpr size_t kDefaultBuffer = size_t{256} << 10;
  SequentialSource(PackageSource* source, uint64_t begin, uint64_t end,
                   size_t buffer = kDefaultBuffer);
  // The next up to `want` bytes, valid until the next call; *got is 0 only at
  // the end. False when the source cannot be read.
  bool Next(size_t want, const uint8_t** data, size_t* got);
  // Exactly `n` bytes into `dst`; false at the end or on a read error.
  bool ReadExact(void* dst, size_t n);
  uint64_t position() const { return at_ - (have_ - pos_); }
  uint64_t left() const { return end_ - position(); }

 private:
  PackageSource* source_;
  uint64_t at_;  // where the next fill reads
  uint64_t end_;
  std::vector<uint8_t> buffer_;
  size_t pos_ = 0, have_ = 0;
};

// The old file of a delta, read where the delta asks.
class OldSource {
 public:
  virtual ~OldSource() = default;
  virtual uint64_t size() const = 0;
  // The most bytes one Span may ask for.
  virtual size_t span() const = 0;
  // `n` (at most span()) bytes from `pos`, valid until the next call; null
  // when they are not all there or cannot be read.
  virtual const uint8_t* Span(uint64_t pos, size_t n) = 0;
};

class MemoryOldSource : public OldSource {
 public:
  MemoryOldSource(const uint8_t* data, uint64_t size) : data_(data), size_(size) {}
  uint64_t size() const override { return size_; }
  size_t span() const override { return SIZE_MAX; }
  const uint8_t* Span(uint64_t pos, size_t n) override {
    return pos <= size_ && n <= size_ - pos ? data_ + pos : nullptr;
  }

 private:
  const uint8_t* data_;
  uint64_t size_;
};

// A file read through one window of `window` bytes, moved to where a read
// falls outside it: memory stays at the window for any file size.
class WindowedOldSource : public OldSource {
 public:
  WindowedOldSource(File* file, uint64_t size, size_t window);
  uint64_t size() const override { return size_; }
  size_t span() const override { return window_; }
  const uint8_t* Span(uint64_t pos, size_t n) override;

 private:
  File* file_;
  uint64_t size_;
  size_t window_;
  std::unique_ptr<uint8_t[]> buffer_;
  uint64_t start_ = 0;
  size_t have_ = 0;
};

}  // namespace upkeep

#endif  // UPKEEP_PACKAGE_BYTE_SOURCES_H_
