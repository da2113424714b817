#include "authoring/lzma_encoders.h"

#include <new>

namespace upkeep {

LzmaEncoders::~LzmaEncoders() {
  for (lzma_stream* s : idle_) {
    lzma_end(s);
    delete s;
  }
}

size_t LzmaEncoders::idle() const {
  std::lock_guard<std::mutex> lock(mu_);
  return idle_.size();
}

lzma_stream* LzmaEncoders::Take() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!idle_.empty()) {
      lzma_stream* s = idle_.back();
      idle_.pop_back();
      return s;
    }
  }
  lzma_stream* s = new lzma_stream;
  *s = LZMA_STREAM_INIT;
  return s;
}

void LzmaEncoders::Give(lzma_stream* s) {
  try {
    std::lock_guard<std::mutex> lock(mu_);
    idle_.push_back(s);
    return;
  } catch (const std::bad_alloc&) {
  }
  lzma_end(s);
  delete s;
}

bool EncodeLzma2(const lzma_options_lzma& options, const uint8_t* data, size_t size,
                 std::vector<uint8_t>* out, LzmaEncoders* keep) {
  lzma_options_lzma o = options;
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &o}, {LZMA_VLI_UNKNOWN, nullptr}};
  out->resize(lzma_stream_buffer_bound(size));
  uint8_t none = 0;
  const uint8_t* in = size != 0 ? data : &none;
  size_t produced = 0;
  if (keep == nullptr || options.dict_size > LzmaEncoders::kKeptDictionary) {
    if (lzma_raw_buffer_encode(filters, nullptr, in, size, out->data(), &produced, out->size()) !=
        LZMA_OK)
      return false;
    out->resize(produced);
    return true;
  }
  // Set up again with the same dictionary, an encoder keeps its tables and
  // clears them: the stream is the same as a fresh encoder's.
  lzma_stream* s = keep->Take();
  bool ok = lzma_raw_encoder(s, filters) == LZMA_OK;
  if (ok) {
    s->next_in = in;
    s->avail_in = size;
    s->next_out = out->data();
    s->avail_out = out->size();
    ok = lzma_code(s, LZMA_FINISH) == LZMA_STREAM_END;
    produced = out->size() - s->avail_out;
  }
  if (ok) {
    keep->Give(s);
  } else {
    // Not kept: an encoder that failed may be in any state.
    lzma_end(s);
    delete s;
    return false;
  }
  out->resize(produced);
  return true;
}

}  // namespace upkeep
