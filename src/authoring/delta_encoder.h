// Turns (old, new) into the delta records that PatchFile applies, in the
// layout of package/delta_format.h.
#ifndef UPKEEP_AUTHORING_DELTA_ENCODER_H_
#define UPKEEP_AUTHORING_DELTA_ENCODER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "authoring/new_bytes_window.h"

namespace upkeep {

class LzmaEncoders;
class WorkThreads;

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
  // When set, told how far into the new file the encoder is.
  const NewBytesWindow* window = nullptr;
};

// The decoded delta (before payload compression). Rebuilds `new_data` exactly
// from `old_data`.
std::vector<uint8_t> EncodeDelta(const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                                 size_t new_size, const DeltaOptions& options = DeltaOptions());

// Old files from this size on may take the extended form from the basic
// form's copies; below it the extended form never looks at them.
constexpr size_t kExtendedSeedsFrom = size_t{4} << 20;

// True when a quick sample says the basic form's copies between the files
// would be short (edited code, not moved blocks), so that the extended form
// will sort the old file and need none of them: `make` then runs it first,
// without the basic encode. False when unsure, or the old file is outside the
// sizes where that applies.
bool ExtendedCopiesLookShort(const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                             size_t new_size);

// How the extended form's search and packing spread their work: the new
// file in pieces of `piece` bytes (a file under two pieces is one), each
// searched on its own and joined, and long streams packed in pieces of half
// that, on `threads` when given, small streams on `lzma`'s encoders. The
// bytes made depend on `piece` alone.
constexpr size_t kSearchPiece = size_t{8} << 20;
struct Pieces {
  size_t piece = kSearchPiece;
  WorkThreads* threads = nullptr;
  LzmaEncoders* lzma = nullptr;
};

// The inflated bytes of the extended form (package/delta_extended.h): copies
// with byte-wise adds, inserts and seeks. Matches come from a suffix array of
// the old file where the basic form's copies are short (edited code), else
// from those copies themselves (`seeds`: EncodeDelta's matches for the same
// pair; found here when null), which costs no sort and no memory per old byte.
// False when memory runs out. `window`, when set, is told how far into the
// new file the encoder is.
bool EncodeExtendedDelta(const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                         size_t new_size, std::vector<uint8_t>* out,
                         const std::vector<DeltaMatch>* seeds = nullptr,
                         const NewBytesWindow* window = nullptr, const Pieces& pieces = Pieces());

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
// `quick_inserts` trades about 1 % of a long inserts stream's LZMA2 size for
// a fifth of its time (a faster match finder, shorter good-enough matches);
// short ones are packed as without it. Small LZMA2 streams go on `lzma`'s
// encoders when given.
bool PackExtendedDelta(const std::vector<uint8_t>& records, std::vector<uint8_t>* stored,
                       ExtendedLayout layout = ExtendedLayout::kSmallest,
                       bool quick_inserts = false, LzmaEncoders* lzma = nullptr);

// Reads a records' LEB128 varint at *at, moving it on; false at the end of
// the bytes or past 64 bits, where the decoders refuse it too.
bool GetDeltaVarint(const std::vector<uint8_t>& bytes, size_t* at, uint64_t* v);

// The same records with every copy whose adds are bursts among zeros (ids and
// stamps a rebuild changes) written as plain copies around inserts of the new
// bytes, which tiny deltas pack smaller, and the last record's seek dropped.
// False when the records are malformed or do not fit the old file.
bool SparseAddsAsInserts(const std::vector<uint8_t>& records, const uint8_t* old_data,
                         size_t old_size, std::vector<uint8_t>* out);

// The stored bytes of a predicted delta (package/delta_predicted.h) from
// EncodeExtendedDelta's records for the same pair: the adds are taken again
// against the address model, in whichever mode (x86-64, x86 or none) leaves
// the fewest bytes, and packed as zero runs; long streams are packed in
// pieces (Pieces), the same bytes whatever the threads. The new bytes read
// are told to `window` as they pass. False when the records do not fit the
// files or memory runs out.
bool PackPredictedDelta(const std::vector<uint8_t>& records, const uint8_t* old_data,
                        size_t old_size, const uint8_t* new_data, size_t new_size,
                        std::vector<uint8_t>* stored, const Pieces& pieces = Pieces(),
                        const NewBytesWindow* window = nullptr);

// The stored bytes of a predicted delta from its three streams as they
// decode (controls, add runs, inserts; consumed), packed as
// PackPredictedDelta packs them.
bool PackPredictedStreams(uint8_t mode, std::vector<uint8_t>* controls,
                          std::vector<uint8_t>* add_runs, std::vector<uint8_t>* inserts,
                          const Pieces& pieces, std::vector<uint8_t>* stored);

// The stored bytes of a deflated-view delta (package/delta_redeflate.h): the
// extended delta between the files' expanded views, in PackExtendedDelta's
// smallest layout. False when the form does not apply (no deflate stream of
// the new file can be made again, or a view is over kMaxRedeflateExpanded) or
// memory runs out. `redeflated`, when given, gets the bytes of the new file
// that the updater deflates again (what other forms carry nearly whole).
// `only_where_it_may_win` also turns it down where the changed streams are a
// sliver of a large file: their deflate bytes are all it could save over the
// other forms, which search the rest of the file better. The scan of the
// new file for streams tells `window` as it goes.
bool EncodeRedeflateDelta(const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                          size_t new_size, std::vector<uint8_t>* stored,
                          uint64_t* redeflated = nullptr, bool only_where_it_may_win = false,
                          const NewBytesWindow* window = nullptr);

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_DELTA_ENCODER_H_
