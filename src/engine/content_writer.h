// New content written to a file as it is made: gathered into large writes,
// its CRC-32 taken from exactly the bytes the system accepted, long runs of
// zero bytes left as holes (a sparse file where the system has them), and
// progress reported as the bytes go out.
#ifndef UPKEEP_ENGINE_CONTENT_WRITER_H_
#define UPKEEP_ENGINE_CONTENT_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/checksum.h"
#include "engine/progress.h"
#include "platform/file_system.h"

namespace upkeep {

// Write errors are not reported as they happen: the caller compares what was
// accepted with the content's length, and the writing goes on so that
// progress runs to the end. The CRC covers exactly the bytes the system took,
// in file order, so it is the CRC of the file whenever the lengths agree.
class ContentWriter {
 public:
  explicit ContentWriter(File* file);
  void Write(const uint8_t* data, size_t n);
  // Everything out, the file's size taken and the file flushed to the disk;
  // `written`, when given, is told the outcome.
  void Finish(WrittenContent* written);
  uint64_t accepted() const { return accepted_; }

 private:
  void Put(const uint8_t* data, size_t n);
  bool CloseHole();

  File* file_;
  std::vector<uint8_t> buffer_;
  uint64_t position_ = 0;  // where the next accepted byte lands
  uint64_t hole_ = 0;      // zero bytes not written, ahead of position_
  uint64_t accepted_ = 0;
  uint32_t crc_ = 0;
  bool failed_ = false;
};

// Reports (overall, 0, label, text) at once, then (overall, p, label, text)
// whenever the integer percentage of `total` bytes done changes.
class ByteProgress {
 public:
  ByteProgress(ProgressCallback progress, int32_t overall, const char* label, const char* text,
               uint64_t total);
  void Add(uint64_t n);

 private:
  ProgressCallback progress_;
  int32_t overall_;
  const char* label_;
  const char* text_;
  uint64_t total_;
  uint64_t done_ = 0;
  uint32_t last_ = 0;
};

}  // namespace upkeep

#endif  // UPKEEP_ENGINE_CONTENT_WRITER_H_
