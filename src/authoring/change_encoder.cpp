#include "authoring/change_encoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "authoring/delta_large.h"
#include "authoring/lzma_encoders.h"
#include "authoring/payload_writer.h"
#include "authoring/work_threads.h"
#include "package/address_model.h"
#include "package/delta_extended.h"
#include "package/delta_format.h"
#include "package/delta_predicted.h"
#include "package/delta_redeflate.h"
#include "package/package.h"
#include "platform/file_system.h"

namespace upkeep {

namespace {

// Whether the payload of `data` may come out smaller than `than` bytes.
// Deflate's fastest level gives seldom more than a few tenths over its best
// one, at a tenth of the time: where even it is well under twice `than`, the
// best level is run; where it is over, the best level cannot get below.
bool MayDeflateBelow(const uint8_t* data, size_t size, size_t than) {
#ifndef UPKEEP_HAVE_LIBDEFLATE
  return true;  // zlib has one level here: a trial would cost as much as the real one
#endif
  constexpr size_t kAlwaysBelow = size_t{1} << 20;  // cheap enough to just try
  if (size < kAlwaysBelow) return true;
  std::vector<uint8_t> fast;
  // Pieces first, which stop the trial early where their sizes alone pass the
  // mark (a big compressed file, whose trial cost as much as all the rest of
  // its delta): deflating the whole could save over them at most what matches
  // across a piece's start (its first window) and a block's headers take.
  constexpr size_t kPiece = size_t{1} << 20;
  constexpr size_t kPieceSlack = 32 * 1024 + 1024;
  if (size >= 2 * kPiece) {
    size_t pieces = 0, slack = 0;
    for (size_t at = 0; at < size; at += kPiece) {
      if (!EncodePayload(data + at, std::min(kPiece, size - at), &fast, 1)) break;
      pieces += fast.size();
      slack += kPieceSlack;
      if (pieces >= 2 * than + slack) return false;
    }
  }
  return !EncodePayload(data, size, &fast, 1) || fast.size() < 2 * than;
}

// The new bytes a basic delta takes from the old file.
uint64_t CopiedBytes(const std::vector<uint8_t>& delta) {
  DeltaReader reader(delta.data(), delta.size());
  DeltaRecord record;
  uint64_t copied = 0;
  while (reader.Next(&record) == DeltaReader::kRecord) copied += record.isCopy ? record.length : 0;
  return copied;
}

// The forms tried for one file, smallest kept; a tie keeps the form that was
// there first.
class Choice {
 public:
  Choice(const ChangeInput& old_file, const ChangeInput& new_file, const ChangeOptions& options)
      : options_(options),
        old_(old_file.data()),
        old_size_(static_cast<size_t>(old_file.size())),
        new_(new_file.data()),
        new_size_(static_cast<size_t>(new_file.size())) {
    if (new_file.window() > 0) {
      window_.step = new_file.window();
      window_.passed = [&new_file](size_t from, size_t pos) {
        if (pos > from) new_file.Release(from, pos - from);
      };
    }
  }

  bool Run(EncodedChange* out);

 private:
  using Formats = ChangeOptions::Formats;

  const NewBytesWindow* window() const { return window_.passed ? &window_ : nullptr; }
  // Between forms: a mapped new file keeps none of the pages the last one
  // read (a scan for deflate streams reads all of them), so that they do not
  // add to what the next form holds.
  void LetNewGo() {
    if (window_.passed) window_.passed(0, new_size_);
  }
  void Passed(uint64_t n) {
    if (options_.passed != nullptr) options_.passed->fetch_add(n, std::memory_order_relaxed);
  }
  void Keep(ChangeForm form, std::vector<uint8_t>* bytes) {
    best_.swap(*bytes);
    form_ = form;
    have_ = true;
  }

  void Redeflate();
  void Basic(unsigned share);
  void BasicPayload();
  void Extended();

  const ChangeOptions& options_;
  const uint8_t* old_;
  size_t old_size_;
  const uint8_t* new_;
  size_t new_size_;
  NewBytesWindow window_;
  bool extended_first_ = false;
  std::vector<DeltaMatch> matches_;
  std::vector<uint8_t> basic_delta_;
  std::vector<uint8_t> best_;
  LzmaEncoders lzma_;              // for the many small streams of one file's tries
  uint64_t redeflated_bytes_ = 0;  // new bytes the deflated-view form deflates again
  ChangeForm form_ = ChangeForm::kBasic;
  bool have_ = false;
};

// Files with deflate streams: the delta between their inflated views.
void Choice::Redeflate() {
  std::vector<uint8_t> stored;
  if (EncodeRedeflateDelta(old_, old_size_, new_, new_size_, &stored, &redeflated_bytes_,
                           options_.formats == Formats::kSmaller, window()) &&
      stored.size() <= kMaxPayloadSize && (!have_ || stored.size() < best_.size())) {
    Keep(ChangeForm::kRedeflate, &stored);
  }
}

void Choice::Basic(unsigned share) {
  DeltaOptions delta_options;
  delta_options.level = options_.level;
  // The extended form grows its copies from these instead of searching again.
  if (options_.formats != Formats::kBasic && !extended_first_) delta_options.matches = &matches_;
  delta_options.window = window();
  if (options_.passed != nullptr) {
    // When the extended form follows, this pass is the first half of the work.
    size_t told = 0;
    delta_options.progress = [this, share, told](size_t done) mutable {
      Passed(done / share - told);
      told = done / share;
    };
  }
  basic_delta_ = EncodeDelta(old_, old_size_, new_, new_size_, delta_options);
}

// Kept when no smaller delta is at hand; on a tie the basic form wins.
void Choice::BasicPayload() {
  std::vector<uint8_t> payload;
  if (basic_delta_.size() <= kMaxPayloadSize &&
      (!have_ || MayDeflateBelow(basic_delta_.data(), basic_delta_.size(), best_.size() + 1)) &&
      EncodePayload(basic_delta_.data(), basic_delta_.size(), &payload) &&
      (!have_ || payload.size() <= best_.size())) {
    Keep(ChangeForm::kBasic, &payload);
  }
  std::vector<uint8_t>().swap(basic_delta_);
}

// The extended form's records, stored in the predicted form and, where that
// may still lose (tiny deltas, whose interleaved layout spends least on
// headers) or is asked for, in the extended form's own layouts.
void Choice::Extended() {
  std::vector<uint8_t> delta, payload;
  const bool seeded = options_.formats == Formats::kSmaller && !extended_first_;
  Pieces pieces;
  pieces.piece = options_.piece;
  pieces.threads = options_.threads;
  pieces.lzma = &lzma_;
  if (!EncodeExtendedDelta(old_, old_size_, new_, new_size_, &delta, seeded ? &matches_ : nullptr,
                           window(), pieces)) {
    return;
  }
  constexpr size_t kExtendedLayoutsBelow = 64 * 1024;
  const bool predicted =
      options_.formats == Formats::kSmaller || options_.formats == Formats::kPredicted;
  const bool extended = options_.formats != Formats::kPredicted &&
                        (!predicted || delta.size() <= kExtendedLayoutsBelow);
  // Where the address model predicted code, the predicted form beat the
  // extended layouts by a fifth or more on every program measured but the
  // ones whose whole delta is a few hundred bytes; there they are not tried.
  constexpr size_t kCodeLayoutsBelow = 1024;
  const auto pack = [&](const std::vector<uint8_t>& records) {
    bool code = false;
    if (predicted &&
        PackPredictedDelta(records, old_, old_size_, new_, new_size_, &payload, pieces, window()) &&
        payload.size() <= kMaxPayloadSize) {
      code = payload.size() >= kCodeLayoutsBelow &&
             std::memcmp(payload.data(), kPredictedDeltaMagic, 4) == 0 &&
             payload[4] != kAddressNone;
      if (!have_ || payload.size() < best_.size()) Keep(ChangeForm::kPredicted, &payload);
    }
    if (extended && !code && records.size() <= kMaxPayloadSize &&
        PackExtendedDelta(records, &payload, ExtendedLayout::kSmallest, false, &lzma_) &&
        (!have_ || payload.size() < best_.size())) {
      Keep(ChangeForm::kExtended, &payload);
    }
  };
  pack(delta);
  // A tiny delta goes again with its sparse adds as inserts: where a rebuild
  // changed an id here and there that saves a tenth, elsewhere next to nothing.
  constexpr size_t kSparseBelow = 2048;
  std::vector<uint8_t> sparse;
  if (have_ && best_.size() < kSparseBelow && SparseAddsAsInserts(delta, old_, old_size_, &sparse))
    pack(sparse);
}

bool Choice::Run(EncodedChange* out) {
  const bool streamed = new_size_ >= options_.streamed_from;
  const bool try_extended = options_.formats != Formats::kBasic;
  const bool forced_extended = options_.formats == Formats::kExtended ||
                               options_.formats == Formats::kRedeflate ||
                               options_.formats == Formats::kPredicted;
  // Below the size where the extended form grows the basic form's copies it
  // needs none of them, so it goes first; the basic form is then tried only
  // when the extended delta is not far smaller than the file (compressed
  // files) or is tiny (a few bytes changed, where the extended form's stream
  // headers weigh): on everything else measured it lost by a wide margin.
  constexpr size_t kBasicMayWinBelow = 4096;
  extended_first_ =
      options_.formats == Formats::kSmaller &&
      (old_size_ < kExtendedSeedsFrom || ExtendedCopiesLookShort(old_, old_size_, new_, new_size_));
  // The sample above read slices spread over the new file.
  LetNewGo();
  std::vector<uint8_t> redeflated;  // the deflated-view delta, when it waits for the others
  // Forced, the deflated-view form goes alone where it applies. Left to
  // choose, it goes first too: where the streams it makes again are a good
  // part of its delta, the other forms carry their deflate bytes nearly
  // whole, so they are tried only when its delta is not far smaller than the
  // file, as for the extended form below. A program holding a few small
  // streams is left to the other forms as well.
  if (options_.formats == Formats::kRedeflate) Redeflate();
  if (options_.formats == Formats::kSmaller) {
    Redeflate();
    LetNewGo();
    if (have_ && (best_.size() * 4 > new_size_ || redeflated_bytes_ * 2 < best_.size())) {
      redeflated.swap(best_);
      have_ = false;
    }
  }
  if (!have_ && extended_first_) {
    Extended();
    LetNewGo();
    if (!have_ || best_.size() * 4 > new_size_ || best_.size() < kBasicMayWinBelow) {
      Basic(1);
      BasicPayload();
    }
  } else if (!have_) {
    // The basic form's records go first (the extended form may grow their
    // copies); their payload is made once it is known what it has to beat.
    if (!forced_extended) Basic(try_extended ? 2 : 1);
    LetNewGo();
    // A large file rewritten whole: with next to nothing copied, a delta
    // cannot get much below the file itself, and the other forms would only
    // cost memory (the extended search sorts the old file) and time.
    if (!forced_extended && streamed && CopiedBytes(basic_delta_) * 32 < new_size_) {
      std::vector<uint8_t>().swap(basic_delta_);
    } else {
      if (try_extended) Extended();
      LetNewGo();
      if (!forced_extended) BasicPayload();
    }
  }
  std::vector<DeltaMatch>().swap(matches_);
  if (!redeflated.empty() && (!have_ || redeflated.size() < best_.size()))
    Keep(ChangeForm::kRedeflate, &redeflated);

  out->stream_whole = false;
  // The whole file can only win when the delta is not much smaller than it;
  // ties go to it.
  if (streamed) {
    out->stream_whole = !have_ || best_.size() * 20 >= new_size_;
  } else if (!have_ || (best_.size() * 20 >= new_size_ &&
                        MayDeflateBelow(new_, new_size_, best_.size() + 1))) {
    std::vector<uint8_t> file_payload;
    if (!EncodePayload(new_, new_size_, &file_payload)) return false;
    if (!have_ || file_payload.size() <= best_.size()) Keep(ChangeForm::kWhole, &file_payload);
  }
  if (!have_) {
    form_ = ChangeForm::kWhole;
    best_.clear();
  }
  out->form = form_;
  out->bytes.swap(best_);
  return true;
}

}  // namespace

std::unique_ptr<FileChangeInput> FileChangeInput::Open(const std::string& path) {
  std::unique_ptr<FileChangeInput> in(new FileChangeInput);
  in->file_ = GetFileSystem()->Open(path, OpenMode::kRead);
  if (in->file_ == nullptr) return nullptr;
  const int64_t size = in->file_->Size();
  if (size < 0) return nullptr;
  in->size_ = static_cast<uint64_t>(size);
  return in;
}

FileChangeInput::~FileChangeInput() = default;

bool FileChangeInput::ReadAt(uint64_t offset, uint8_t* dst, size_t n) const {
  if (offset > size_ || n > size_ - offset || offset > static_cast<uint64_t>(INT64_MAX))
    return false;
  std::lock_guard<std::mutex> lock(mu_);
  if (file_->Seek(static_cast<int64_t>(offset), SeekOrigin::kBegin) < 0) return false;
  while (n > 0) {
    const int64_t got = file_->Read(dst, n);
    if (got <= 0) return false;
    dst += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool MemoryChangeInput::ReadAt(uint64_t offset, uint8_t* dst, size_t n) const {
  if (offset > size_ || n > size_ - offset) return false;
  if (n != 0) std::memcpy(dst, data_ + offset, n);
  return true;
}

const char* ChangeFormKind(ChangeForm form) {
  switch (form) {
    case ChangeForm::kWhole:
      return "FILE";
    case ChangeForm::kBasic:
      return "DELTA";
    case ChangeForm::kExtended:
      return kExtendedDeltaSuffix + 1;
    case ChangeForm::kRedeflate:
      return kRedeflateDeltaSuffix + 1;
    case ChangeForm::kPredicted:
      return kPredictedDeltaSuffix + 1;
  }
  return "FILE";
}

uint64_t ChangeWorkMemory(uint64_t old_size, uint64_t new_size, const ChangeOptions& options,
                          bool large) {
  if (large) {
    LargeDeltaOptions o;
    return LargeDeltaMemory(old_size, o,
                            options.threads != nullptr ? options.threads->count() : 1) +
           o.max_inserts;
  }
  // The suffix array (4 bytes per old byte) and its filter, or the basic
  // form's index; the records and their split streams (about the new size
  // each, at worst); a payload as large as the file.
  const uint64_t big = std::max(old_size, new_size);
  return 5 * old_size + 3 * new_size + big / 4 + (uint64_t{16} << 20);
}

bool EncodeChange(const ChangeInput& old_file, const ChangeInput& new_file,
                  const ChangeOptions& options, EncodedChange* out) {
  *out = EncodedChange();
  if ((old_file.data() == nullptr && old_file.size() != 0) ||
      (new_file.data() == nullptr && new_file.size() != 0) || old_file.size() > SIZE_MAX ||
      new_file.size() > SIZE_MAX) {
    LargeDeltaOptions large;
    large.pieces = {options.large_piece, options.threads};
    large.passed = options.passed;
    const LargeDelta result = EncodeLargeDelta(old_file, new_file, large, &out->bytes);
    if (result == LargeDelta::kFailed) return false;
    out->form = result == LargeDelta::kDone ? ChangeForm::kPredicted : ChangeForm::kWhole;
    // The whole file, streamed, may still beat a delta that is not far smaller.
    out->stream_whole =
        result == LargeDelta::kGaveUp || uint64_t{out->bytes.size()} * 20 >= new_file.size();
    return true;
  }
  try {
    Choice choice(old_file, new_file, options);
    return choice.Run(out);
  } catch (const std::bad_alloc&) {
    *out = EncodedChange();
    return false;
  }
}

}  // namespace upkeep
