#include "authoring/deflate_streams.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <unordered_map>

namespace upkeep {

namespace {

constexpr size_t kChunk = 64 * 1024;
// Input goes to a trial deflater in slices this long, so that a block that
// differs stops the trial as soon as the deflater hands it out.
constexpr size_t kTrialSlice = 16 * 1024;
// Streams in a row that no setting makes, none made before, before the rest
// of the file is left as it is.
constexpr int kGiveUpAfter = 6;

uint32_t Get16(const uint8_t* p) { return p[0] | (p[1] << 8); }

// Where the deflate bytes of a candidate at `at` start, with what its header
// tells; false when nothing there looks like a stream header.
bool Candidate(const uint8_t* data, size_t size, size_t at, DeflateStream* s) {
  const uint8_t* p = data + at;
  const size_t left = size - at;
  s->window_bits = 15;
  s->level_hint = 6;
  s->gzip = false;
  if (p[0] == 'P') {
    // A zip local file header, deflated member.
    if (left < 30 || p[1] != 'K' || p[2] != 3 || p[3] != 4 || Get16(p + 8) != 8) return false;
    const uint64_t start = 30ull + Get16(p + 26) + Get16(p + 28);
    if (start >= left) return false;
    s->offset = at + start;
    return true;
  }
  if (p[0] == 0x1f) {
    // A gzip member: flags, mtime, XFL, OS, then the optional fields.
    if (left < 18 || p[1] != 0x8b || p[2] != 8 || (p[3] & 0xE0) != 0) return false;
    const uint8_t flags = p[3];
    size_t h = 10;
    if (flags & 4) {
      h += 2 + Get16(p + 10);
      if (h >= left) return false;
    }
    for (int bit : {8, 16}) {
      if (!(flags & bit)) continue;
      const void* end = std::memchr(p + h, 0, left - h);
      if (end == nullptr) return false;
      h = static_cast<const uint8_t*>(end) - p + 1;
    }
    if (flags & 2) h += 2;
    if (h >= left) return false;
    s->offset = at + h;
    s->gzip = true;
    s->level_hint = p[8] == 2 ? 9 : p[8] == 4 ? 1 : 6;
    return true;
  }
  // A zlib header: deflate, a window of at most 32 KiB, no preset dictionary.
  if (left < 3 || (p[0] & 0x0F) != 8 || (p[0] >> 4) > 7 || (p[1] & 0x20) ||
      ((p[0] << 8) | p[1]) % 31 != 0)
    return false;
  s->offset = at + 2;
  s->window_bits = static_cast<uint8_t>(std::max(9, (p[0] >> 4) + 8));
  static const uint8_t kLevels[4] = {1, 2, 6, 9};
  s->level_hint = kLevels[p[1] >> 6];
  return true;
}

// The first two bytes of every header Candidate takes, as one table: most
// files are scanned at a lookup per byte.
struct HeaderStarts {
  uint8_t bits[65536 / 8] = {};
  HeaderStarts() {
    for (unsigned w = 0; w < 65536; ++w) {
      const unsigned a = w >> 8, b = w & 0xFF;
      const bool zlib = (a & 0x0F) == 8 && (a >> 4) <= 7 && !(b & 0x20) && w % 31 == 0;
      if (zlib || (a == 'P' && b == 'K') || (a == 0x1f && b == 0x8b)) bits[w / 8] |= 1 << (w % 8);
    }
  }
  bool Has(uint8_t a, uint8_t b) const {
    const unsigned w = (a << 8) | b;
    return (bits[w / 8] >> (w % 8)) & 1;
  }
};
const HeaderStarts kStarts;

// Whether the first block header at `p` can start a stream: most candidates
// in binary data fail here, far cheaper than inflate setting up for them.
bool PlausibleFirstBlock(const uint8_t* p, size_t n) {
  if (n < 2) return false;
  const int type = (p[0] >> 1) & 3;
  if (type == 3) return false;
  if (type == 1) return true;  // fixed codes: nothing cheap to check
  if (type == 0) return n >= 5 && (Get16(p + 1) ^ Get16(p + 3)) == 0xFFFF;
  // Dynamic codes: the counts in range and a complete code-length code.
  uint64_t bits = 0;
  for (size_t i = 0; i < 8 && i < n; ++i) bits |= uint64_t{p[i]} << (8 * i);
  const unsigned lit = (bits >> 3) & 31, dist = (bits >> 8) & 31, codes = ((bits >> 13) & 15) + 4;
  if (lit > 29 || dist > 29 || n < 10) return false;
  unsigned kraft = 0;
  for (unsigned i = 0; i < codes; ++i) {
    const unsigned at = 17 + 3 * i;
    const unsigned len = ((p[at / 8] | (p[at / 8 + 1] << 8)) >> (at % 8)) & 7;
    if (len) kraft += 128u >> len;
  }
  return kraft == 128;
}

// Where a view's bytes go: into `bytes`, or, when that is null, only counted
// (the streams found without their inflated bytes held).
class ViewOut {
 public:
  explicit ViewOut(std::vector<uint8_t>* bytes) : bytes_(bytes) {}
  bool held() const { return bytes_ != nullptr; }
  uint64_t size() const { return bytes_ != nullptr ? bytes_->size() : counted_; }
  void Append(const uint8_t* p, size_t n) {
    if (bytes_ != nullptr) {
      bytes_->insert(bytes_->end(), p, p + n);
    } else {
      counted_ += n;
    }
  }
  void Cut(uint64_t mark) {
    if (bytes_ != nullptr) {
      bytes_->resize(static_cast<size_t>(mark));
    } else {
      counted_ = mark;
    }
  }

 private:
  std::vector<uint8_t>* bytes_;
  uint64_t counted_ = 0;
};

// Inflates the raw deflate bytes at data[s->offset..) onto `view` after the
// file's bytes from `copied` to there, the view kept within `limit`; true when
// they end with their final block and make at least kMinDeflateStream bytes.
// The output waits in `pending` until then: garbage in packed data often
// decodes for a while, and copying the file's bytes before every such
// candidate made the search quadratic in the file. `view` is as before on false.
bool Inflate(z_stream* z, uint8_t* scratch, const uint8_t* data, size_t size, size_t copied,
             uint64_t limit, DeflateStream* s, ViewOut* view, std::vector<uint8_t>* pending,
             bool* no_memory) {
  if (!PlausibleFirstBlock(data + s->offset, size - s->offset) || inflateReset(z) != Z_OK)
    return false;
  const uint64_t mark = view->size();
  const uint64_t base = mark + (s->offset - copied);
  if (base > limit) return false;
  pending->clear();
  z->next_in = const_cast<Bytef*>(data + s->offset);
  z->avail_in = static_cast<uInt>(std::min<uint64_t>(size - s->offset, UINT_MAX));
  // A candidate's output waits aside until it has made this much: false
  // candidates seldom get that far, and a long real stream then goes straight
  // into the view instead of being held twice. A view only counted takes it
  // at once.
  constexpr size_t kAsideUpTo = size_t{1} << 20;
  bool in_view = !view->held();
  if (in_view) view->Append(data + copied, static_cast<size_t>(s->offset - copied));
  int rc;
  do {
    z->next_out = scratch;
    z->avail_out = kChunk;
    rc = inflate(z, Z_NO_FLUSH);
    const size_t made = kChunk - z->avail_out;
    if (rc != Z_OK && rc != Z_STREAM_END) break;
    if (made == 0 && rc == Z_OK) break;  // input ended inside the stream
    if (base + z->total_out > limit) {
      rc = Z_BUF_ERROR;
      break;
    }
    // Short streams that end in the first piece are mostly garbage that
    // decodes.
    if (rc == Z_STREAM_END && z->total_out == made && made < kMinDeflateStream) break;
    try {
      if (in_view) {
        view->Append(scratch, made);
      } else {
        pending->insert(pending->end(), scratch, scratch + made);
        if (pending->size() >= kAsideUpTo) {
          view->Append(data + copied, static_cast<size_t>(s->offset - copied));
          view->Append(pending->data(), pending->size());
          pending->clear();
          in_view = true;
        }
      }
    } catch (const std::bad_alloc&) {
      *no_memory = true;
      rc = Z_MEM_ERROR;
      break;
    }
  } while (rc != Z_STREAM_END);
  if (rc != Z_STREAM_END || z->total_out < kMinDeflateStream) {
    view->Cut(mark);
    return false;
  }
  try {
    if (!in_view) {
      view->Append(data + copied, static_cast<size_t>(s->offset - copied));
      view->Append(pending->data(), pending->size());
    }
  } catch (const std::bad_alloc&) {
    view->Cut(mark);
    *no_memory = true;
    return false;
  }
  s->inflated = view->size() - base;
  s->stored = z->total_in;
  s->view_offset = base;
  return true;
}

// What Inflate makes of a candidate whose deflate bytes, `claimed` long as its
// zip header says, are those of one of `known`'s streams, from that stream's
// inflated bytes: inflate's output is a function of the bytes it takes, and
// the view's bound is checked as Inflate does. `*matched` is false when none
// of `known`'s streams has these bytes, and Inflate has to run.
bool Reuse(const ExpandedFile& known, const std::unordered_multimap<uint64_t, size_t>& by_stored,
           const uint8_t* data, size_t size, size_t copied, uint64_t limit, uint64_t claimed,
           DeflateStream* s, ViewOut* view, bool* matched) {
  *matched = false;
  if (claimed == 0 || claimed > size - s->offset) return false;
  const DeflateStream* o = nullptr;
  const auto range = by_stored.equal_range(claimed);
  for (auto it = range.first; it != range.second && o == nullptr; ++it) {
    const DeflateStream& k = (*known.streams)[it->second];
    if (std::memcmp(known.data + k.offset, data + s->offset, claimed) == 0) o = &k;
  }
  if (o == nullptr) return false;
  *matched = true;
  if (!PlausibleFirstBlock(data + s->offset, size - s->offset)) return false;
  const uint64_t base = view->size() + (s->offset - copied);
  if (base > limit || base + o->inflated > limit) return false;
  if (view->held() && known.view == nullptr) {
    *matched = false;  // its bytes are not at hand: inflated instead
    return false;
  }
  view->Append(data + copied, static_cast<size_t>(s->offset - copied));
  if (view->held()) {
    view->Append(known.view->data() + o->view_offset, static_cast<size_t>(o->inflated));
  } else {
    view->Append(nullptr, static_cast<size_t>(o->inflated));
  }
  s->inflated = o->inflated;
  s->stored = o->stored;
  s->view_offset = base;
  return true;
}

// The view again from the file with only `kept` (a subset of the streams the
// view was made with) inflated; their view offsets follow.
bool Reexpand(const uint8_t* data, size_t size, std::vector<DeflateStream>* kept,
              std::vector<uint8_t>* view) {
  // In place where no kept stream moves up (streams dropped are put back as
  // their deflated bytes, mostly shorter): the view is not held twice.
  uint64_t at = 0, copied = 0;
  bool in_place = true;
  for (const DeflateStream& s : *kept) {
    at += s.offset - copied;
    in_place = in_place && at <= s.view_offset;
    at += s.inflated;
    copied = s.offset + s.stored;
  }
  if (in_place && at + (size - copied) <= view->capacity()) {
    uint8_t* v = view->data();
    uint64_t to = 0;
    copied = 0;
    for (DeflateStream& s : *kept) {
      std::memcpy(v + to, data + copied, static_cast<size_t>(s.offset - copied));
      to += s.offset - copied;
      std::memmove(v + to, v + s.view_offset, static_cast<size_t>(s.inflated));
      s.view_offset = to;
      to += s.inflated;
      copied = s.offset + s.stored;
    }
    view->resize(static_cast<size_t>(to + (size - copied)));
    std::memcpy(view->data() + to, data + copied, static_cast<size_t>(size - copied));
    return true;
  }
  try {
    std::vector<uint8_t> again;
    again.reserve(view->size());
    uint64_t copied = 0;
    for (DeflateStream& s : *kept) {
      again.insert(again.end(), data + copied, data + s.offset);
      const uint64_t at = again.size();
      again.insert(again.end(), view->begin() + s.view_offset,
                   view->begin() + s.view_offset + s.inflated);
      s.view_offset = at;
      copied = s.offset + s.stored;
    }
    again.insert(again.end(), data + copied, data + size);
    view->swap(again);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace

bool ExpandDeflateStreams(const uint8_t* data, size_t size, uint64_t max_view,
                          std::vector<DeflateStream>* streams, std::vector<uint8_t>* view,
                          const ExpandedFile* known, const NewBytesWindow* window) {
  streams->clear();
  if (view != nullptr) view->clear();
  if (size > max_view) return false;
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return false;
  bool no_memory = false;
  ViewOut out(view);
  try {
    // Room for what inflating usually makes of a file, up to the bound: a
    // view that grows past its room is copied whole, and held twice meanwhile.
    // Room not written to costs no memory where the system maps it lazily.
    if (view != nullptr) {
      try {
        view->reserve(
            static_cast<size_t>(std::min<uint64_t>(max_view, uint64_t{size} * 4 + kChunk)));
      } catch (const std::bad_alloc&) {
        view->reserve(size);
      }
    }
    std::vector<uint8_t> scratch(kChunk), pending;
    std::unordered_multimap<uint64_t, size_t> by_stored;
    if (known != nullptr) {
      for (size_t i = 0; i < known->streams->size(); ++i)
        by_stored.emplace((*known->streams)[i].stored, i);
    }
    size_t copied = 0;  // bytes of the file before this are in the view
    size_t at = 0;
    // The bytes still to go into a view start at `copied`.
    WindowFront front(window);
    while (at + 2 < size && !no_memory) {
      front.At(view != nullptr ? copied : at);
      if (!kStarts.Has(data[at], data[at + 1])) {
        ++at;
        continue;
      }
      DeflateStream s;
      if (!Candidate(data, size, at, &s)) {
        ++at;
        continue;
      }
      const uint64_t mark = out.size();
      // Room for the rest of the file as it is, which the view still takes.
      const uint64_t rest = size - s.offset;
      bool reused = false;
      if (max_view >= rest && !by_stored.empty() && data[at] == 'P') {
        const uint64_t claimed = Get16(data + at + 18) | uint64_t{Get16(data + at + 20)} << 16;
        if (!Reuse(*known, by_stored, data, size, copied, max_view - rest, claimed, &s, &out,
                   &reused) &&
            reused) {
          out.Cut(mark);
          ++at;
          continue;
        }
      }
      if (max_view < rest ||
          (!reused && !Inflate(&z, scratch.data(), data, size, copied, max_view - rest, &s, &out,
                               &pending, &no_memory)) ||
          out.size() + (rest - s.stored) > max_view) {
        out.Cut(mark);
        ++at;
        continue;
      }
      streams->push_back(s);
      copied = at = static_cast<size_t>(s.offset + s.stored);
    }
    if (!no_memory) out.Append(data + copied, size - copied);
  } catch (const std::bad_alloc&) {
    no_memory = true;
  }
  inflateEnd(&z);
  if (no_memory) {
    streams->clear();
    if (view != nullptr) view->clear();
    return false;
  }
  return true;
}

bool ExpandListedStreams(const uint8_t* data, size_t size, std::vector<DeflateStream>* streams,
                         std::vector<uint8_t>* view) {
  view->clear();
  uint64_t total = size;
  for (const DeflateStream& s : *streams) total += s.inflated - std::min(s.inflated, s.stored);
  if (total > SIZE_MAX) return false;
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return false;
  bool ok = true;
  try {
    view->reserve(static_cast<size_t>(total));
    uint64_t copied = 0;
    for (DeflateStream& s : *streams) {
      if (s.offset < copied || s.offset > size || s.stored > size - s.offset ||
          s.stored > UINT_MAX || s.inflated > UINT_MAX || inflateReset(&z) != Z_OK) {
        ok = false;
        break;
      }
      view->insert(view->end(), data + copied, data + s.offset);
      s.view_offset = view->size();
      view->resize(view->size() + static_cast<size_t>(s.inflated));
      z.next_in = const_cast<Bytef*>(data + s.offset);
      z.avail_in = static_cast<uInt>(s.stored);
      z.next_out = view->data() + s.view_offset;
      z.avail_out = static_cast<uInt>(s.inflated);
      if (inflate(&z, Z_FINISH) != Z_STREAM_END || z.total_out != s.inflated ||
          z.total_in != s.stored) {
        ok = false;
        break;
      }
      copied = s.offset + s.stored;
    }
    if (ok) view->insert(view->end(), data + copied, data + size);
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  inflateEnd(&z);
  if (!ok) view->clear();
  return ok;
}

namespace {

bool Reproduces(Redeflater* r, const DeflateParams& p, const uint8_t* in, size_t in_size,
                const uint8_t* want, size_t want_size) {
  if (!r->Start(p)) return false;
  size_t at = 0;
  const DeflateSink sink = [&](const uint8_t* d, size_t n) {
    if (n > want_size - at || std::memcmp(d, want + at, n) != 0) return false;
    at += n;
    return true;
  };
  for (size_t i = 0; i < in_size; i += kTrialSlice) {
    if (!r->Write(in + i, std::min(kTrialSlice, in_size - i), sink)) return false;
  }
  return r->Finish(sink) && at == want_size;
}

}  // namespace

bool FindDeflateParams(const uint8_t* inflated, size_t inflated_size, const uint8_t* stored,
                       size_t stored_size, const DeflateStream& stream, const DeflateParams* hint,
                       DeflateParams* found) {
  Redeflater r;
  std::vector<DeflateParams> tried;
  const auto attempt = [&](const DeflateParams& p) {
    if (std::find(tried.begin(), tried.end(), p) != tried.end()) return false;
    tried.push_back(p);
    if (!Reproduces(&r, p, inflated, inflated_size, stored, stored_size)) return false;
    *found = p;
    return true;
  };
  if (hint && attempt(*hint)) return true;
  // zlib's and gzip's defaults first, the level the header names, then the
  // rest; other memory levels only with the two levels tools mostly use.
  std::vector<uint8_t> levels = {stream.level_hint, 6, 9, 1, 2, 3, 4, 5, 7, 8};
  const bool blocks_first = stream.gzip;
  DeflateParams p;
  p.windowBits = stream.window_bits;
  for (uint8_t mem : {8, 9, 1, 2, 3, 4, 5, 6, 7}) {
    p.memLevel = mem;
    for (uint8_t level : levels) {
      if (mem != 8 && mem != 9 && level != 6 && level != 9) continue;
      p.level = level;
      for (bool blocks : {blocks_first, !blocks_first}) {
        p.gzipBlocks = blocks;
        if (attempt(p)) return true;
      }
    }
  }
  return false;
}

bool KeepReproducibleStreams(const uint8_t* data, size_t size, std::vector<DeflateStream>* streams,
                             std::vector<uint8_t>* view) {
  std::vector<DeflateStream> kept;
  DeflateParams last;
  int missed = 0;
  for (DeflateStream& s : *streams) {
    if (kept.empty() && missed >= kGiveUpAfter) break;
    DeflateParams p;
    if (FindDeflateParams(view->data() + s.view_offset, s.inflated, data + s.offset, s.stored, s,
                          kept.empty() ? nullptr : &last, &p)) {
      s.params = last = p;
      kept.push_back(s);
      missed = 0;
    } else {
      ++missed;
    }
  }
  if (kept.size() != streams->size() && !Reexpand(data, size, &kept, view)) return false;
  streams->swap(kept);
  return true;
}

bool DropSharedStreams(const uint8_t* old_data, size_t old_size,
                       std::vector<DeflateStream>* old_streams, std::vector<uint8_t>* old_view,
                       const uint8_t* new_data, size_t new_size,
                       std::vector<DeflateStream>* new_streams, std::vector<uint8_t>* new_view) {
  try {
    std::unordered_multimap<uint64_t, size_t> by_key;
    const auto key = [](const uint8_t* data, const DeflateStream& s) {
      return s.stored << 32 ^
             crc32(0, data + s.offset, static_cast<uInt>(std::min<uint64_t>(s.stored, 4096)));
    };
    for (size_t i = 0; i < old_streams->size(); ++i)
      by_key.emplace(key(old_data, (*old_streams)[i]), i);
    std::vector<bool> old_shared(old_streams->size());
    std::vector<DeflateStream> old_kept, new_kept;
    for (const DeflateStream& s : *new_streams) {
      bool shared = false;
      const auto range = by_key.equal_range(key(new_data, s));
      for (auto it = range.first; it != range.second; ++it) {
        const DeflateStream& o = (*old_streams)[it->second];
        if (o.stored == s.stored &&
            std::memcmp(old_data + o.offset, new_data + s.offset, s.stored) == 0) {
          old_shared[it->second] = shared = true;
        }
      }
      if (!shared) new_kept.push_back(s);
    }
    for (size_t i = 0; i < old_streams->size(); ++i)
      if (!old_shared[i]) old_kept.push_back((*old_streams)[i]);
    // Without views only the kept streams' places in them follow.
    const auto settle = [](const uint8_t* data, size_t size, std::vector<DeflateStream>* kept,
                           std::vector<uint8_t>* view) {
      if (view != nullptr) return Reexpand(data, size, kept, view);
      uint64_t at = 0, copied = 0;
      for (DeflateStream& s : *kept) {
        at += s.offset - copied;
        s.view_offset = at;
        at += s.inflated;
        copied = s.offset + s.stored;
      }
      return true;
    };
    if ((old_kept.size() != old_streams->size() &&
         !settle(old_data, old_size, &old_kept, old_view)) ||
        (new_kept.size() != new_streams->size() &&
         !settle(new_data, new_size, &new_kept, new_view)))
      return false;
    old_streams->swap(old_kept);
    new_streams->swap(new_kept);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace upkeep
