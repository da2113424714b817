// The decoded form of a binary delta, as a PatchFile entry carries it once its
// payload is inflated: records back to back, read from the start, that fill
// the bytes exactly. All integers are u32 little-endian.
//   copy:   header with kDeltaCopyFlag set, then the source offset; appends
//           (header & ~kDeltaCopyFlag) bytes of the old file from that offset
//   insert: header with the flag clear, then `header` bytes; appends them
// The new file is every record's bytes in record order. Copies may name any
// range of the old file, in any order; a length of 0 is allowed for both.
//
// The one reader and writer of this layout: the updater applies it, the
// authoring tool writes and checks it.
#ifndef UPKEEP_PACKAGE_DELTA_FORMAT_H_
#define UPKEEP_PACKAGE_DELTA_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace upkeep {

constexpr uint32_t kDeltaCopyFlag = 0x80000000u;
// Longest record either kind can describe.
constexpr uint32_t kMaxDeltaRecord = 0x7FFFFFFFu;

struct DeltaRecord {
  uint32_t sourceOffset = 0;  // 0 for insert records
  uint32_t length = 0;
  bool isCopy = false;
  const uint8_t* data = nullptr;  // insert bytes, inside the decoded delta; null for copies
};

// Walks the records of decoded bytes without allocating, so that checking a
// delta costs nothing beyond its bytes. Record data points into `bytes`.
class DeltaReader {
 public:
  enum Step { kRecord, kEnd, kTruncated };

  DeltaReader(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}
  // kRecord with the next record in *record; kEnd after the last one;
  // kTruncated (and from then on) when the bytes end inside a record.
  Step Next(DeltaRecord* record);

 private:
  const uint8_t* bytes_;
  size_t size_;
  size_t pos_ = 0;
  bool truncated_ = false;
};

// All records in file order and the sum of their lengths; false when the bytes
// end inside a record or the list cannot be held.
bool ParseDelta(const uint8_t* bytes, size_t size, std::vector<DeltaRecord>* records,
                uint64_t* outputSize);

// True when the bytes are whole records; allocates nothing.
bool IsWellFormedDelta(const uint8_t* bytes, size_t size);

// True when the record reads nothing outside an old file of `oldSize` bytes.
// An empty copy reads nothing, wherever it points.
inline bool DeltaRecordFitsSource(const DeltaRecord& record, uint64_t oldSize) {
  return !record.isCopy || record.length == 0 ||
         static_cast<uint64_t>(record.sourceOffset) + record.length <= oldSize;
}

// Record writers; lengths are at most kMaxDeltaRecord.
void AppendDeltaCopy(uint32_t sourceOffset, uint32_t length, std::vector<uint8_t>* out);
void AppendDeltaInsert(const uint8_t* data, uint32_t length, std::vector<uint8_t>* out);

}  // namespace upkeep

#endif  // UPKEEP_PACKAGE_DELTA_FORMAT_H_
