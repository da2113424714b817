// One changed file's entry for a package: every delta form `make` may write
// is tried where it can win, and the smallest (or the file whole, compressed)
// is kept. Pure: it reads the two files and returns bytes; what the entry is
// called, where its bytes wait and how the work is reported are its caller's.
// Calls on different files may run at the same time on different threads.
#ifndef UPKEEP_AUTHORING_CHANGE_ENCODER_H_
#define UPKEEP_AUTHORING_CHANGE_ENCODER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "authoring/delta_encoder.h"

namespace upkeep {

class WorkThreads;

// A file as the encoders read it: whole in memory (read, or mapped and let go
// behind the encoders a window at a time), or read where they ask.
class ChangeInput {
 public:
  virtual ~ChangeInput() = default;
  virtual uint64_t size() const = 0;
  // All of the file, or null when it is read only through ReadAt.
  virtual const uint8_t* data() const = 0;
  // `n` bytes from `offset`; false when they cannot all be read. Safe to call
  // from several threads at once.
  virtual bool ReadAt(uint64_t offset, uint8_t* dst, size_t n) const = 0;
  // The encoders are done with [offset, offset + length) for now: a mapped
  // file lets its pages go (they come back from the file when read again).
  virtual void Release(uint64_t offset, uint64_t length) const {
    (void)offset;
    (void)length;
  }
  // Bytes the encoders pass before they call Release; 0: they never do.
  virtual size_t window() const { return 0; }
};

// A file held in memory.
class MemoryChangeInput : public ChangeInput {
 public:
  MemoryChangeInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t size() const override { return size_; }
  const uint8_t* data() const override { return data_; }
  bool ReadAt(uint64_t offset, uint8_t* dst, size_t n) const override;

 private:
  const uint8_t* data_;
  size_t size_;
};

class File;

// A file read where the encoders ask, through one handle (a read at a time),
// for files too large to hold.
class FileChangeInput : public ChangeInput {
 public:
  // Null when the file cannot be opened.
  static std::unique_ptr<FileChangeInput> Open(const std::string& path);
  ~FileChangeInput() override;
  uint64_t size() const override { return size_; }
  const uint8_t* data() const override { return nullptr; }
  bool ReadAt(uint64_t offset, uint8_t* dst, size_t n) const override;

 private:
  FileChangeInput() = default;
  std::unique_ptr<File> file_;
  uint64_t size_ = 0;
  mutable std::mutex mu_;
};

// What an entry holds, as its name's suffix tells the updater.
enum class ChangeForm {
  kWhole,      // FILE: the new file, a payload
  kBasic,      // DELTA: copies and inserts, a payload
  kExtended,   // DELTAX: copies with adds (package/delta_extended.h)
  kRedeflate,  // DELTAZ: the extended form between deflated views
  kPredicted,  // DELTAP: the extended form's records, adds against predicted addresses
};

// The suffix of an entry holding the form ("FILE", "DELTA", ...).
const char* ChangeFormKind(ChangeForm form);

struct ChangeOptions {
  int level = 9;  // the basic form's effort, 1..9
  // Which delta forms may be written; kSmaller keeps the smallest per file.
  // kRedeflate takes the deflated-view form wherever it applies, else the
  // extended one; kPredicted writes the predicted form where the others would
  // write the extended one.
  enum class Formats { kSmaller, kBasic, kExtended, kRedeflate, kPredicted };
  Formats formats = Formats::kSmaller;
  // New files from this size on are not compressed whole here: the result
  // says whether the caller should stream the file whole (it may beat the
  // delta), and changed files whose basic delta copies under 1/32 of them
  // skip the other forms.
  uint64_t streamed_from = uint64_t{64} << 20;
  // Threads that may take pieces of one large file; null: the calling thread
  // does all the work. The bytes are the same either way; they depend on the
  // size of the pieces (Pieces in delta_encoder.h).
  WorkThreads* threads = nullptr;
  size_t piece = kSearchPiece;
  // Pieces of files without data(), read through ReadAt (delta_large.h).
  size_t large_piece = size_t{256} << 20;
  // Told, as the encoders go, how many bytes of the new file they have passed
  // (added to, never reset); for progress reports.
  std::atomic<uint64_t>* passed = nullptr;
};

struct EncodedChange {
  ChangeForm form = ChangeForm::kWhole;
  // The entry's bytes: a payload for kWhole and kBasic, the stored form
  // otherwise. Empty for kWhole when the file is to be streamed whole.
  std::vector<uint8_t> bytes;
  // The caller should compress the new file whole as a stream and keep that
  // when it comes out no larger than `bytes` (always, when `bytes` is empty).
  bool stream_whole = false;
};

// The memory EncodeChange may need for files of these sizes at its peak,
// besides the inputs themselves: indexes, records, compressor state and the
// result. An estimate on the high side, for scheduling. `large`: the inputs
// have no data().
uint64_t ChangeWorkMemory(uint64_t old_size, uint64_t new_size, const ChangeOptions& options,
                          bool large = false);

// False when an input cannot be read or memory runs out. Inputs without
// data() go to the large-file search (delta_large.h), whose delta is kept
// unless the file whole, streamed by the caller, may beat it.
bool EncodeChange(const ChangeInput& old_file, const ChangeInput& new_file,
                  const ChangeOptions& options, EncodedChange* out);

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_CHANGE_ENCODER_H_
