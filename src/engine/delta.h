// Binary deltas as PatchFile uses them: a delta entry loaded and split into
// its records (package/delta_format.h), and its application to a new file.
#ifndef UPKEEP_ENGINE_DELTA_H_
#define UPKEEP_ENGINE_DELTA_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/checksum.h"
#include "engine/mapped_file.h"
#include "engine/progress.h"
#include "package/delta_extended.h"
#include "package/delta_format.h"
#include "package/package.h"

namespace upkeep {

// A decoded delta: its records in file order, whose insert bytes point into
// the decoded payload it keeps. The extended form (package/delta_extended.h)
// keeps only its checked stored bytes and is inflated again as it is applied.
struct Delta {
  std::unique_ptr<Payload> payload;
  std::vector<DeltaRecord> records;
  uint64_t outputSize = 0;  // sum of record lengths
  bool extended = false;
  bool redeflate = false;       // extended form between deflated views (package/delta_redeflate.h)
  bool predicted = false;       // the predicted form (package/delta_predicted.h)
  std::vector<uint8_t> stored;  // extended form only
  uint64_t oldNeeded = 0;       // extended form only: the old size its copies need
};

// Loads and splits the entry; an entry named as the extended form or the
// deflated-view form is loaded as one. Null when the entry cannot be loaded or the decoded bytes
// end inside a record.
std::unique_ptr<Delta> LoadDelta(const char* entryName);
// True when every non-empty copy record lies inside an old file of `oldSize` bytes.
bool DeltaFitsSource(const Delta& delta, uint64_t oldSize);

enum : int {
  kApplyDone = 0,
  kApplyTargetFailed = 1,  // the target could not be created
  kApplyDoesNotFit = 2,    // a copy record passes the end of the old content; nothing written
};

// Writes the new content to `target`, a new file (CreateNewFile), reporting
// (overall, p, target, text) when the integer percentage of bytes written
// changes. With `written`, the file is also flushed to the disk through the
// handle that wrote it, and what it was given is noted there.
int ApplyDelta(const Delta& delta, const MappedFile& old, const std::string& target,
               ProgressCallback progress, int32_t overallPercent, const char* text,
               WrittenContent* written = nullptr);

// The streamed road PatchFile takes: the entry is read where it lies and the
// old file through its source's window, so memory does not grow with either.
// First the delta's shape, checked without the old file (false when it is
// not whole and well formed; the form is the name's).
bool InspectDeltaEntry(const PackageEntry& entry, ExtendedDeltaInfo* shape);
// Then the new content written to `target` through `fs`, with the
// reports and `written` of ApplyDelta. kApplyDoesNotFit when the old file is
// shorter than the shape needs, cannot be read, or the delta fails on the
// way (the target is then incomplete).
int ApplyDeltaEntry(const PackageEntry& entry, const ExtendedDeltaInfo& shape, OldSource& old,
                    FileSystem* fs, const std::string& target, ProgressCallback progress,
                    int32_t overallPercent, const char* text, WrittenContent* written);

}  // namespace upkeep

#endif  // UPKEEP_ENGINE_DELTA_H_
