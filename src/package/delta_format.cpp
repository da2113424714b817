#include "package/delta_format.h"

#include <new>

namespace upkeep {

namespace {

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void PutU32(uint32_t v, std::vector<uint8_t>* out) {
  const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                        static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
  out->insert(out->end(), b, b + 4);
}

}  // namespace

DeltaReader::Step DeltaReader::Next(DeltaRecord* record) {
  if (truncated_) return kTruncated;
  if (pos_ == size_) return kEnd;
  // Every length is compared with what remains, never added to the position
  // first, so no header value can wrap past the end.
  if (size_ - pos_ < 4) {
    truncated_ = true;
    return kTruncated;
  }
  const uint32_t header = GetU32(bytes_ + pos_);
  pos_ += 4;
  DeltaRecord r;
  if (header & kDeltaCopyFlag) {
    if (size_ - pos_ < 4) {
      truncated_ = true;
      return kTruncated;
    }
    r.isCopy = true;
    r.length = header & ~kDeltaCopyFlag;
    r.sourceOffset = GetU32(bytes_ + pos_);
    pos_ += 4;
  } else {
    if (size_ - pos_ < header) {
      truncated_ = true;
      return kTruncated;
    }
    r.length = header;
    r.data = bytes_ + pos_;
    pos_ += header;
  }
  *record = r;
  return kRecord;
}

bool ParseDelta(const uint8_t* bytes, size_t size, std::vector<DeltaRecord>* records,
                uint64_t* outputSize) {
  records->clear();
  *outputSize = 0;
  DeltaReader reader(bytes, size);
  DeltaRecord r;
  DeltaReader::Step step;
  while ((step = reader.Next(&r)) == DeltaReader::kRecord) {
    *outputSize += r.length;
    // A long delta of tiny records can need more memory than its bytes: it
    // fails as an unusable delta instead of ending the process.
    try {
      records->push_back(r);
    } catch (const std::bad_alloc&) {
      records->clear();
      return false;
    }
  }
  return step == DeltaReader::kEnd;
}

bool IsWellFormedDelta(const uint8_t* bytes, size_t size) {
  DeltaReader reader(bytes, size);
  DeltaRecord r;
  DeltaReader::Step step;
  while ((step = reader.Next(&r)) == DeltaReader::kRecord) continue;
  return step == DeltaReader::kEnd;
}

void AppendDeltaCopy(uint32_t sourceOffset, uint32_t length, std::vector<uint8_t>* out) {
  PutU32(length | kDeltaCopyFlag, out);
  PutU32(sourceOffset, out);
}

void AppendDeltaInsert(const uint8_t* data, uint32_t length, std::vector<uint8_t>* out) {
  PutU32(length, out);
  out->insert(out->end(), data, data + length);
}

}  // namespace upkeep
