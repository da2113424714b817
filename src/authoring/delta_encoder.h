// Turns (old, new) into the delta records that PatchFile applies, in the
// layout of package/delta_format.h.
#ifndef UPKEEP_AUTHORING_DELTA_ENCODER_H_
#define UPKEEP_AUTHORING_DELTA_ENCODER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace upkeep {

// A run of new_pos.. equal to old_pos.., as the basic form copies it.
struct DeltaMatch {
  size_t new_pos;
  size_t old_pos;
  size_t length;
};

struct DeltaOptions {
  int level = 9;  // 1 fastest .. 9 smallest
  // Told the bytes of the new file covered so far, every few hundred kB.
  std::function<void(size_t done)> progress;
  // When set, receives the copies in new-file order (seeds for the extended form).
  std::vector<DeltaMatch>* matches = nullptr;
};

// The decoded delta (before payload compression). Rebuilds `new_data` exactly
// from `old_data`.
std::vector<uint8_t> EncodeDelta(const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                                 size_t new_size, const DeltaOptions& options = DeltaOptions());

// Old files from this size on may take the extended form from the basic
// form's copies; below it the extended form never looks at them.
constexpr size_t kExtendedSeedsFrom = size_t{4} << 20;

// The inflated bytes of the extended form (package/delta_extended.h): copies
// with byte-wise adds, inserts and seeks. Matches come from a suffix array of
// the old file where the basic form's copies are short (edited code), else
// from those copies themselves (`seeds`: EncodeDelta's matches for the same
// pair; found here when null), which costs no sort and no memory per old byte.
// False when memory runs out.
bool EncodeExtendedDelta(const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                         size_t new_size, std::vector<uint8_t>* out,
                         const std::vector<DeltaMatch>* seeds = nullptr);

// The payload level for extended deltas: the best level costs about twice the
// time of the whole encode on executables for 1-4 per cent of size.
constexpr int kExtendedDeltaPayloadLevel = 11;

// How PackExtendedDelta stores the records; all but kSmallest force one form.
enum class ExtendedLayout {
  kSmallest,            // split, each stream in its smallest codec; small deltas also interleaved
  kInterleavedDeflate,  // "UKX2" as one payload
  kSplitStored,
  kSplitDeflate,
  kSplitLzma,
};

// The stored bytes of an extended delta entry from EncodeExtendedDelta's
// records. False when they are malformed, too long for a stream, or memory
// runs out.
bool PackExtendedDelta(const std::vector<uint8_t>& records, std::vector<uint8_t>* stored,
                       ExtendedLayout layout = ExtendedLayout::kSmallest);

// The stored bytes of a deflated-view delta (package/delta_redeflate.h): the
// extended delta between the files' expanded views, in PackExtendedDelta's
// smallest layout. False when the form does not apply (no deflate stream of
// the new file can be made again, or a view is over kMaxRedeflateExpanded) or
// memory runs out.
bool EncodeRedeflateDelta(const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                          size_t new_size, std::vector<uint8_t>* stored);

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_DELTA_ENCODER_H_
