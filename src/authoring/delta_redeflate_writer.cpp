// The deflated-view delta form: tables of the streams to inflate in the old
// file and to deflate again in the new one, then the extended delta between
// the expanded views.
#include <new>

#include "authoring/deflate_streams.h"
#include "authoring/delta_encoder.h"
#include "package/delta_extended.h"
#include "package/delta_redeflate.h"

namespace upkeep {

namespace {

// Changed streams whose deflate bytes are under 1/64 of a file of a MiB or
// more: in programs these are mostly a few short runs that happen to inflate
// (381 bytes of a 69 MB library), and the trial cost more time and memory
// than all the other forms together.
bool Sliver(const std::vector<DeflateStream>& streams, size_t file_size) {
  constexpr size_t kLargeFile = size_t{1} << 20;
  uint64_t stored = 0;
  for (const DeflateStream& s : streams) stored += s.stored;
  return file_size >= kLargeFile && stored * 64 < file_size;
}

}  // namespace

bool EncodeRedeflateDelta(const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                          size_t new_size, std::vector<uint8_t>* stored, uint64_t* redeflated,
                          bool only_where_it_may_win, const NewBytesWindow* window) {
  stored->clear();
  if (redeflated != nullptr) *redeflated = 0;
  try {
    // Only streams that changed are listed: a member both files hold as it is
    // is copied deflated, and never deflated again by the updater. The streams
    // are found first without their bytes, so an archive whose members all
    // stayed as they were costs no views (the old view's bound is checked as
    // it was found).
    std::vector<DeflateStream> new_streams, old_streams;
    std::vector<uint8_t> new_view, old_view;
    // Members the new file holds as they are are inflated only there.
    const ExpandedFile expanded_new{new_data, &new_streams, nullptr};
    if (!ExpandDeflateStreams(new_data, new_size, kMaxRedeflateExpanded, &new_streams, nullptr,
                              nullptr, window) ||
        new_streams.empty() ||
        !ExpandDeflateStreams(old_data, old_size, kRedeflateOldViewWritten, &old_streams, nullptr,
                              &expanded_new) ||
        !DropSharedStreams(old_data, old_size, &old_streams, nullptr, new_data, new_size,
                           &new_streams, nullptr) ||
        new_streams.empty() || (only_where_it_may_win && Sliver(new_streams, new_size)) ||
        !ExpandListedStreams(new_data, new_size, &new_streams, &new_view) ||
        !KeepReproducibleStreams(new_data, new_size, &new_streams, &new_view) ||
        new_streams.empty() || !ExpandListedStreams(old_data, old_size, &old_streams, &old_view)) {
      return false;
    }
    // The changed members' new content is most of the delta, as inserts, and
    // their LZMA2 most of the form's time: it goes the quicker way.
    std::vector<uint8_t> records, delta;
    if (!EncodeExtendedDelta(old_view.data(), old_view.size(), new_view.data(), new_view.size(),
                             &records) ||
        !PackExtendedDelta(records, &delta, ExtendedLayout::kSmallest, /*quick_inserts=*/true)) {
      return false;
    }
    stored->assign(kRedeflateDeltaMagic, kRedeflateDeltaMagic + 4);
    AppendDeltaVarint(old_streams.size(), stored);
    uint64_t end = 0;
    for (const DeflateStream& s : old_streams) {
      AppendDeltaVarint(s.offset - end, stored);
      AppendDeltaVarint(s.stored, stored);
      AppendDeltaVarint(s.inflated, stored);
      end = s.offset + s.stored;
    }
    AppendDeltaVarint(new_streams.size(), stored);
    end = 0;
    for (const DeflateStream& s : new_streams) {
      AppendDeltaVarint(s.view_offset - end, stored);
      AppendDeltaVarint(s.inflated, stored);
      AppendDeltaVarint(s.stored, stored);
      const DeflateParams& p = s.params;
      stored->insert(stored->end(),
                     {p.level, p.memLevel, p.windowBits, p.strategy,
                      static_cast<uint8_t>(p.gzipBlocks ? kRedeflateGzipBlocks : 0)});
      end = s.view_offset + s.inflated;
      if (redeflated != nullptr) *redeflated += s.stored;
    }
    AppendDeltaVarint(new_size, stored);
    stored->insert(stored->end(), delta.begin(), delta.end());
  } catch (const std::bad_alloc&) {
    stored->clear();
    return false;
  }
  return true;
}

}  // namespace upkeep
