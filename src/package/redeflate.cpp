#include "package/redeflate.h"

#include <vector>

// The pinned copy; its zconf.h prefixes every name, so it never meets the
// system zlib that the rest of the program links.
#include "zlib-deflate/zlib.h"

namespace upkeep {

namespace {
constexpr size_t kOutChunk = 64 * 1024;
}

struct Redeflater::State {
  z_stream stream{};
  bool open = false;
  std::vector<uint8_t> out = std::vector<uint8_t>(kOutChunk);
  void Close() {
    if (open) deflateEnd(&stream);
    open = false;
  }
};

bool ValidDeflateParams(const DeflateParams& p) {
  return p.level >= 1 && p.level <= 9 && p.memLevel >= 1 && p.memLevel <= 9 && p.windowBits >= 9 &&
         p.windowBits <= 15 && p.strategy <= Z_FIXED;
}

Redeflater::Redeflater() : state_(new State) {}

Redeflater::~Redeflater() { state_->Close(); }

bool Redeflater::Start(const DeflateParams& params) {
  state_->Close();
  if (!ValidDeflateParams(params)) return false;
  state_->stream = z_stream{};
  if (deflateInit2(&state_->stream, params.level, Z_DEFLATED, -params.windowBits, params.memLevel,
                   params.strategy) != Z_OK)
    return false;
  state_->open = true;
  if (params.gzipBlocks && deflateGzipBlocks(&state_->stream) != Z_OK) {
    state_->Close();
    return false;
  }
  return true;
}

bool Redeflater::Run(const uint8_t* data, size_t size, bool finish, const DeflateSink& sink) {
  State& s = *state_;
  if (!s.open) return false;
  z_stream& z = s.stream;
  // avail_in is 32 bits wide: feed large inputs in slices.
  constexpr size_t kSlice = size_t(1) << 30;
  for (;;) {
    const size_t slice = size < kSlice ? size : kSlice;
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(slice);
    const bool last = finish && slice == size;
    int rc;
    do {
      z.next_out = s.out.data();
      z.avail_out = static_cast<uInt>(s.out.size());
      rc = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
      if (rc == Z_STREAM_ERROR) {
        s.Close();
        return false;
      }
      const size_t produced = s.out.size() - z.avail_out;
      if (produced != 0 && !sink(s.out.data(), produced)) {
        s.Close();
        return false;
      }
    } while (z.avail_out == 0 || (last && rc != Z_STREAM_END));
    data += slice;
    size -= slice;
    if (size == 0) break;
  }
  if (finish) s.Close();
  return true;
}

bool Redeflater::Write(const uint8_t* data, size_t size, const DeflateSink& sink) {
  return Run(data, size, false, sink);
}

bool Redeflater::Finish(const DeflateSink& sink) { return Run(nullptr, 0, true, sink); }

}  // namespace upkeep
