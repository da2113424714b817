// Binary deltas: copy records over the old file's bytes and insert records of
// new bytes, stored as a payload entry, and their application to a new file.
#ifndef UPKEEP_ENGINE_DELTA_H_
#define UPKEEP_ENGINE_DELTA_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/mapped_file.h"
#include "engine/progress.h"
#include "package/package.h"

namespace upkeep {

struct DeltaRecord {
  uint32_t sourceOffset = 0;  // 0 for insert records
  uint32_t length = 0;
  bool isCopy = false;
  const uint8_t* data = nullptr;  // insert bytes, inside the owning Delta; null for copies
};

// A decoded delta: its records in file order, whose insert bytes point into
// the decoded payload it keeps.
struct Delta {
  std::unique_ptr<Payload> payload;
  std::vector<DeltaRecord> records;
  uint64_t outputSize = 0;  // sum of record lengths
};

// Loads and splits the entry. Null when the entry cannot be loaded or the
// decoded bytes end inside a record.
std::unique_ptr<Delta> LoadDelta(const char* entryName);
// Splits decoded bytes into records; false when they end inside a record.
bool ParseDelta(const uint8_t* bytes, size_t size, std::vector<DeltaRecord>* records,
                uint64_t* outputSize);
// True when every non-empty copy record lies inside an old file of `oldSize` bytes.
bool DeltaFitsSource(const Delta& delta, uint64_t oldSize);

enum : int {
  kApplyDone = 0,
  kApplyTargetFailed = 1,  // the target could not be created
  kApplyDoesNotFit = 2,    // a copy record passes the end of the old content; nothing written
};

// Writes the new content to `target`, reporting (overall, p, target, text) when
// the integer percentage of bytes written changes.
int ApplyDelta(const Delta& delta, const MappedFile& old, const std::string& target,
               ProgressCallback progress, int32_t overallPercent, const char* text);

}  // namespace upkeep

#endif  // UPKEEP_ENGINE_DELTA_H_
