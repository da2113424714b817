// Deflate streams inside a file (zip members, gzip members, zlib streams),
// the expanded view where they stand inflated, and the deflater settings that
// make a stream again byte for byte: what the deflated-view delta form is
// taken between.
#ifndef UPKEEP_AUTHORING_DEFLATE_STREAMS_H_
#define UPKEEP_AUTHORING_DEFLATE_STREAMS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "authoring/new_bytes_window.h"
#include "package/redeflate.h"

namespace upkeep {

// Shorter streams are not worth a table entry, and garbage that happens to
// inflate cleanly is far shorter than this.
constexpr uint64_t kMinDeflateStream = 256;

struct DeflateStream {
  uint64_t offset = 0;       // of its deflate bytes in the file
  uint64_t stored = 0;       // deflate bytes, ending with the final block
  uint64_t view_offset = 0;  // of its inflated bytes in the view
  uint64_t inflated = 0;
  // What its header tells of the deflater that made it, to try first.
  uint8_t window_bits = 15;
  uint8_t level_hint = 6;
  bool gzip = false;
  DeflateParams params;  // set by KeepReproducibleStreams
};

// A file ExpandDeflateStreams has gone through, with what it found.
struct ExpandedFile {
  const uint8_t* data = nullptr;
  const std::vector<DeflateStream>* streams = nullptr;
  const std::vector<uint8_t>* view = nullptr;
};

// Finds the streams in order, not overlapping, each inflating cleanly to at
// least kMinDeflateStream bytes, and writes the view: the file with every
// stream replaced by its inflated bytes. A stream that would take the view
// past `max_view` bytes stays as it is. False when memory runs out or the file
// itself is over `max_view`. A zip member whose deflate bytes (as long as its
// header says) `known` holds as one of its streams takes that stream's
// inflated bytes instead of being inflated again: the same streams and view.
// With `view` null the streams are found without their bytes held (the view's
// size is only counted), and `known` needs no view either. The scan tells
// `window` of the bytes it has gone past.
bool ExpandDeflateStreams(const uint8_t* data, size_t size, uint64_t max_view,
                          std::vector<DeflateStream>* streams, std::vector<uint8_t>* view,
                          const ExpandedFile* known = nullptr,
                          const NewBytesWindow* window = nullptr);

// The view of `data` with the listed streams (as found before, in order)
// inflated and their view offsets set; false when one does not inflate to
// its listed size or memory runs out.
bool ExpandListedStreams(const uint8_t* data, size_t size, std::vector<DeflateStream>* streams,
                         std::vector<uint8_t>* view);

// Settings with which Redeflater makes `stored` from `inflated` byte for
// byte, `hint` (when set) tried first, then the usual ones; false when none
// does.
bool FindDeflateParams(const uint8_t* inflated, size_t inflated_size, const uint8_t* stored,
                       size_t stored_size, const DeflateStream& stream, const DeflateParams* hint,
                       DeflateParams* found);

// Keeps the streams of `data` (as ExpandDeflateStreams found them, with its
// view) that FindDeflateParams can make again, with their settings; the
// others' deflate bytes go back into the view. After several streams in a row
// that none of the settings makes, with none made before, the rest are not
// tried: the file came from another deflater. False when memory runs out.
bool KeepReproducibleStreams(const uint8_t* data, size_t size, std::vector<DeflateStream>* streams,
                             std::vector<uint8_t>* view);

// Drops from both files' lists (and views) the streams whose deflate bytes
// the other file holds as they are (members that did not change): they stay
// deflated in both views, where the delta copies them, and the updater never
// deflates them again. Views may be null: the kept streams' view offsets are
// then those of the views ExpandListedStreams makes. False when memory runs out.
bool DropSharedStreams(const uint8_t* old_data, size_t old_size,
                       std::vector<DeflateStream>* old_streams, std::vector<uint8_t>* old_view,
                       const uint8_t* new_data, size_t new_size,
                       std::vector<DeflateStream>* new_streams, std::vector<uint8_t>* new_view);

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_DEFLATE_STREAMS_H_
