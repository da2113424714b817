#include "package/delta_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "package/delta_format.h"
#include "package/delta_predicted.h"
#include "package/delta_redeflate.h"
#include "package/payload_stream.h"

namespace upkeep {

namespace {

// Consumes the basic form's records as the payload inflates; any chunking
// gives the same result.
class BasicParser {
 public:
  BasicParser(OldSource* old, uint64_t oldSize, const DeltaSink& sink, ExtendedDeltaInfo* info)
      : old_(old), old_size_(oldSize), sink_(sink), info_(info) {}

  bool Feed(const uint8_t* p, size_t n) {
    while (n > 0) {
      if (inserting_ > 0) {
        const size_t k = static_cast<size_t>(std::min<uint64_t>(n, inserting_));
        if (sink_ != nullptr) sink_(p, k);
        p += k, n -= k, inserting_ -= k;
        continue;
      }
      const size_t want = (header_ & kDeltaCopyFlag) != 0 && have_ >= 4 ? 8 : 4;
      const size_t k = std::min(n, want - have_);
      std::memcpy(field_ + have_, p, k);
      have_ += k, p += k, n -= k;
      if (have_ < 4) continue;
      if (have_ == 4) header_ = Get(field_);
      if ((header_ & kDeltaCopyFlag) == 0) {
        inserting_ = header_;
        info_->outputSize += header_;
        have_ = 0;
        header_ = 0;
        continue;
      }
      if (have_ < 8) continue;
      const uint32_t length = header_ & ~kDeltaCopyFlag;
      const uint64_t offset = Get(field_ + 4);
      have_ = 0;
      header_ = 0;
      info_->outputSize += length;
      if (length == 0) continue;  // reads nothing, wherever it points
      if (offset + length > old_size_) return false;
      info_->oldNeeded = std::max(info_->oldNeeded, offset + length);
      if (sink_ == nullptr) continue;
      const size_t piece = std::min<size_t>(old_->span(), size_t{1} << 30);
      for (uint64_t done = 0; done < length;) {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(length - done, piece));
        const uint8_t* src = old_->Span(offset + done, take);
        if (src == nullptr) return false;
        sink_(src, take);
        done += take;
      }
    }
    return true;
  }

  bool AtRecordBoundary() const { return have_ == 0 && inserting_ == 0; }

 private:
  static uint32_t Get(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  }

  OldSource* old_;
  uint64_t old_size_;
  const DeltaSink& sink_;
  ExtendedDeltaInfo* info_;
  uint8_t field_[8];
  size_t have_ = 0;
  uint32_t header_ = 0;
  uint64_t inserting_ = 0;
};

}  // namespace

DeltaForm DeltaFormOf(const char* entryName) {
  if (IsExtendedDeltaName(entryName)) return DeltaForm::kExtended;
  if (IsRedeflateDeltaName(entryName)) return DeltaForm::kRedeflate;
  if (IsPredictedDeltaName(entryName)) return DeltaForm::kPredicted;
  return DeltaForm::kBasic;
}

bool DecodeBasicDelta(PackageSource& stored, OldSource* old, uint64_t oldSize,
                      const DeltaSink& sink, ExtendedDeltaInfo* info) {
  *info = ExtendedDeltaInfo();
  if (sink != nullptr && old == nullptr && oldSize != 0) return false;
  BasicParser parser(old, oldSize, sink, info);
  return DecodeZlibPayload(stored,
                           [&parser](const uint8_t* p, size_t n) { return parser.Feed(p, n); }) &&
         parser.AtRecordBoundary();
}

bool DecodeDelta(DeltaForm form, PackageSource& stored, OldSource* old, uint64_t oldSize,
                 const DeltaSink& sink, ExtendedDeltaInfo* info) {
  switch (form) {
    case DeltaForm::kExtended:
      return DecodeExtendedDelta(stored, old, oldSize, sink, info);
    case DeltaForm::kRedeflate:
      return DecodeRedeflateDelta(stored, old, oldSize, sink, info);
    case DeltaForm::kPredicted:
      return DecodePredictedDelta(stored, old, oldSize, sink, info);
    case DeltaForm::kBasic:
      break;
  }
  return DecodeBasicDelta(stored, old, oldSize, sink, info);
}

bool InspectDelta(DeltaForm form, PackageSource& stored, ExtendedDeltaInfo* info) {
  return DecodeDelta(form, stored, nullptr, std::numeric_limits<uint64_t>::max(), nullptr, info);
}

}  // namespace upkeep
