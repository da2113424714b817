// The stored form of a predicted delta: the extended form's records, their
// adds taken again against the address model in the mode that leaves the
// fewest bytes, as zero runs, and three streams packed with LZMA2.
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "authoring/delta_encoder.h"
#include "authoring/lzma_encoders.h"
#include "authoring/work_threads.h"
#include "package/address_model.h"
#include "package/delta_extended.h"
#include "package/delta_predicted.h"

namespace upkeep {

namespace {

// A copy that is not plain: where its bytes come from and go.
struct AddedCopy {
  uint64_t old_pos, new_pos, length;
};

// The records of a "UKX2" stream as controls, inserts and the copies whose
// adds are made again; false when they do not fit the files.
bool Parse(const std::vector<uint8_t>& records, uint64_t old_size, uint64_t new_size,
           std::vector<uint8_t>* controls, std::vector<uint8_t>* inserts,
           std::vector<AddedCopy>* copies) {
  if (records.size() < 4 || !std::equal(records.begin(), records.begin() + 4, kExtendedDeltaMagic))
    return false;
  size_t at = 4;
  uint64_t position = 0, output = 0;
  while (at < records.size()) {
    const size_t start = at;
    uint64_t copy, insert, seek;
    if (!GetDeltaVarint(records, &at, &copy) || !GetDeltaVarint(records, &at, &insert) ||
        !GetDeltaVarint(records, &at, &seek)) {
      return false;
    }
    controls->insert(controls->end(), records.begin() + start, records.begin() + at);
    const bool plain = (copy & 1) != 0;
    const uint64_t length = copy >> 1;
    if (position > old_size || length > old_size - position || output > new_size ||
        length > new_size - output) {
      return false;
    }
    if (!plain) {
      if (length > records.size() - at) return false;
      at += length;
      if (length != 0) copies->push_back({position, output, length});
    }
    position += length;
    output += length;
    if (insert > records.size() - at || insert > new_size - output) return false;
    inserts->insert(inserts->end(), records.begin() + at, records.begin() + at + insert);
    at += insert;
    output += insert;
    const int64_t s = static_cast<int64_t>(seek >> 1) ^ -static_cast<int64_t>(seek & 1);
    if (s < 0 ? static_cast<uint64_t>(-(s + 1)) + 1 > position
              : static_cast<uint64_t>(s) > old_size - position) {
      return false;
    }
    position = static_cast<uint64_t>(static_cast<int64_t>(position) + s);
  }
  return output == new_size;
}

// The adds of every copy in `mode`, as zero runs. The copies go in new-file
// order, so the window is told as they pass.
bool AddRuns(const std::vector<AddedCopy>& copies, const uint8_t* old_data, const uint8_t* new_data,
             uint8_t mode, const NewBytesWindow* window, std::vector<uint8_t>* runs) {
  AddressModel model;
  if (!model.Init(mode)) return false;
  WindowFront front(window);
  constexpr size_t kBlock = 64 * 1024;
  std::vector<uint8_t> adds(kBlock);
  uint64_t zeros = 0;
  for (const AddedCopy& c : copies) {
    model.BeginCopy(c.old_pos, c.new_pos, c.length);
    for (uint64_t done = 0; done < c.length;) {
      const size_t k = static_cast<size_t>(std::min<uint64_t>(c.length - done, kBlock));
      model.Encode(old_data + c.old_pos + done, new_data + c.new_pos + done, k, adds.data());
      for (size_t i = 0; i < k; ++i) {
        if (adds[i] == 0) {
          ++zeros;
          continue;
        }
        AppendDeltaVarint(zeros, runs);
        runs->push_back(adds[i]);
        zeros = 0;
      }
      done += k;
      front.At(static_cast<size_t>(c.new_pos + done));
    }
  }
  if (zeros != 0) AppendDeltaVarint(zeros, runs);
  return true;
}

enum class StreamKind { kControls, kAddRuns, kInserts };

// LZMA2 settings per stream, from measurements on executables and game data:
// controls and add runs are bytes without context worth having and long
// repeats; inserts are new file content.
lzma_options_lzma LzmaOptions(StreamKind kind, size_t size) {
  lzma_options_lzma o;
  lzma_lzma_preset(&o, 6);
  if (kind == StreamKind::kInserts) {
    o.dict_size = std::max<uint32_t>(
        LZMA_DICT_SIZE_MIN, static_cast<uint32_t>(std::min<size_t>(size, size_t{8} << 20)));
    return o;
  }
  o.dict_size = std::max<uint32_t>(LZMA_DICT_SIZE_MIN,
                                   static_cast<uint32_t>(std::min<size_t>(size, size_t{4} << 20)));
  o.lc = kind == StreamKind::kAddRuns ? 1 : 0;
  o.lp = 0;
  o.pb = 0;
  o.nice_len = 273;
  return o;
}

// A stream up to this size is packed with each of its kind's literal
// settings and the smallest kept: on the small deltas of programs the
// setting that fits the stream saves 1-3 %, which is the margin by which
// such deltas are won or lost, and the tries cost milliseconds. On longer
// streams they saved under 0.5 % for over a third more time.
constexpr size_t kTuneBelow = size_t{32} << 10;

struct LiteralSetting {
  uint8_t lc, lp, pb;
};

// The default first, so that a tie keeps it; the others are the ones that
// won on program deltas (controls and inserts often lose nothing by
// forgetting position, add runs and inserts of code like a little context).
std::vector<LiteralSetting> LiteralSettings(StreamKind kind) {
  switch (kind) {
    case StreamKind::kControls:
      return {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    case StreamKind::kAddRuns:
      return {{1, 0, 0}, {0, 1, 0}, {2, 0, 0}, {0, 0, 0}};
    case StreamKind::kInserts:
      return {{3, 0, 2}, {0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {0, 1, 1}};
  }
  return {};
}

// Long streams are packed in pieces, each primed with what precedes it, so
// that threads can take them; the pieces join into one LZMA2 stream that
// decodes as if made in one go. Their size is fixed, so the bytes are the
// same whatever the number of threads.
constexpr size_t kLzmaPrime = size_t{1} << 20;

bool LzmaPiece(const uint8_t* data, size_t begin, size_t end, size_t piece,
               const lzma_options_lzma& base, bool last, LzmaEncoders* keep,
               std::vector<uint8_t>* out) {
  lzma_options_lzma o = base;
  // The primer is hashed as the piece is: a quarter of a piece at most.
  const size_t prime = std::min({begin, kLzmaPrime, piece / 4, static_cast<size_t>(o.dict_size)});
  o.preset_dict = prime != 0 ? data + begin - prime : nullptr;
  o.preset_dict_size = static_cast<uint32_t>(prime);
  // No match of a piece reaches further back than its primer: a smaller
  // dictionary makes the same bytes at less cost (the stream states the
  // larger one, which the reader then holds).
  o.dict_size = static_cast<uint32_t>(
      std::max<size_t>(LZMA_DICT_SIZE_MIN, std::min<size_t>(o.dict_size, prime + end - begin)));
  if (!EncodeLzma2(o, data + begin, end - begin, out, keep) || out->empty()) return false;
  // Every piece but the last loses its end marker, so the next one continues the stream.
  if (!last) out->pop_back();
  return true;
}

struct PackedStream {
  std::vector<uint8_t> raw;
  std::vector<std::vector<uint8_t>> pieces;
  // For a stream packed whole with each literal setting: one result each,
  // the first of them in pieces[0].
  std::vector<LiteralSetting> settings;
  std::vector<std::vector<uint8_t>> tries;
  lzma_options_lzma options;
  bool lzma = false;
  uint64_t stored_size = 0;
};

void PutU32(uint32_t v, std::vector<uint8_t>* out) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t Crc32Of(const std::vector<uint8_t>& data) {
  uLong crc = crc32(0, nullptr, 0);
  for (size_t at = 0; at < data.size();) {
    const size_t n = std::min<size_t>(data.size() - at, size_t{1} << 30);
    crc = crc32(crc, data.data() + at, static_cast<uInt>(n));
    at += n;
  }
  return static_cast<uint32_t>(crc);
}

}  // namespace

bool PackPredictedStreams(uint8_t mode, std::vector<uint8_t>* controls,
                          std::vector<uint8_t>* add_runs, std::vector<uint8_t>* inserts,
                          const Pieces& pieces, std::vector<uint8_t>* stored) {
  stored->clear();
  try {
    PackedStream streams[3];
    streams[0].raw.swap(*controls);
    streams[1].raw.swap(*add_runs);
    streams[2].raw.swap(*inserts);
    // Every piece of every stream is a task.
    // A task with `setting` above 0 packs its whole stream with that setting.
    struct Task {
      int stream;
      size_t index, begin, end, setting;
    };
    const size_t piece = std::max<size_t>(pieces.piece / 2, 1);
    std::vector<Task> tasks;
    const StreamKind kinds[3] = {StreamKind::kControls, StreamKind::kAddRuns, StreamKind::kInserts};
    for (int i = 0; i < 3; ++i) {
      PackedStream& s = streams[i];
      s.options = LzmaOptions(kinds[i], s.raw.size());
      const size_t n = s.raw.size() < 2 * piece ? 1 : (s.raw.size() + piece - 1) / piece;
      s.pieces.resize(n);
      for (size_t k = 0; k < n; ++k)
        tasks.push_back({i, k, k * piece, k + 1 == n ? s.raw.size() : (k + 1) * piece, 0});
      if (n == 1 && s.raw.size() <= kTuneBelow) {
        s.settings = LiteralSettings(kinds[i]);
        s.tries.resize(s.settings.size());
        for (size_t v = 1; v < s.settings.size(); ++v) tasks.push_back({i, 0, 0, s.raw.size(), v});
      }
    }
    std::vector<char> failed(tasks.size(), 0);
    auto run = [&](size_t t) {
      const Task& task = tasks[t];
      PackedStream& s = streams[task.stream];
      try {
        lzma_options_lzma o = s.options;
        std::vector<uint8_t>* out = &s.pieces[task.index];
        if (task.setting != 0) {
          const LiteralSetting& l = s.settings[task.setting];
          o.lc = l.lc, o.lp = l.lp, o.pb = l.pb;
          out = &s.tries[task.setting];
        }
        failed[t] = !LzmaPiece(s.raw.data(), task.begin, task.end, piece, o,
                               task.index + 1 == s.pieces.size(), pieces.lzma, out);
      } catch (const std::bad_alloc&) {
        failed[t] = 1;
      }
    };
    if (pieces.threads != nullptr) {
      pieces.threads->ForEach(tasks.size(), run);
    } else {
      for (size_t t = 0; t < tasks.size(); ++t) run(t);
    }
    for (int i = 0; i < 3; ++i) {
      PackedStream& s = streams[i];
      uint64_t packed = 0;
      bool ok = true;
      for (size_t t = 0; t < tasks.size(); ++t) {
        if (tasks[t].stream == i && tasks[t].setting == 0) ok = ok && !failed[t];
      }
      // The smallest setting that packed; the default wins ties.
      for (size_t t = 0; ok && t < tasks.size(); ++t) {
        if (tasks[t].stream != i || tasks[t].setting == 0 || failed[t]) continue;
        std::vector<uint8_t>& other = s.tries[tasks[t].setting];
        if (other.size() < s.pieces[0].size()) s.pieces[0].swap(other);
      }
      std::vector<std::vector<uint8_t>>().swap(s.tries);
      for (const auto& p : s.pieces) packed += p.size();
      // LZMA2 fails where its output outgrows the buffer's bound, which is
      // over the stored size: the stream is then stored.
      s.lzma = ok && packed < s.raw.size();
      s.stored_size = s.lzma ? packed : s.raw.size();
      if (!s.lzma) std::vector<std::vector<uint8_t>>().swap(s.pieces);
    }

    stored->assign(kPredictedDeltaMagic, kPredictedDeltaMagic + 4);
    stored->push_back(mode);
    for (const PackedStream& s : streams) {
      stored->push_back(s.lzma ? kPredictedCodecLzma2 : kPredictedCodecStored);
      AppendDeltaVarint(s.lzma ? s.options.dict_size : 0, stored);
      AppendDeltaVarint(s.raw.size(), stored);
      PutU32(Crc32Of(s.raw), stored);
      AppendDeltaVarint(s.stored_size, stored);
    }
    for (PackedStream& s : streams) {
      if (!s.lzma) {
        stored->insert(stored->end(), s.raw.begin(), s.raw.end());
      } else {
        for (const auto& p : s.pieces) stored->insert(stored->end(), p.begin(), p.end());
      }
      std::vector<uint8_t>().swap(s.raw);
      std::vector<std::vector<uint8_t>>().swap(s.pieces);
    }
    return true;
  } catch (const std::bad_alloc&) {
    stored->clear();
    return false;
  }
}

bool PackPredictedDelta(const std::vector<uint8_t>& records, const uint8_t* old_data,
                        size_t old_size, const uint8_t* new_data, size_t new_size,
                        std::vector<uint8_t>* stored, const Pieces& pieces,
                        const NewBytesWindow* window) {
  stored->clear();
  try {
    std::vector<uint8_t> controls, runs, inserts;
    std::vector<AddedCopy> copies;
    if (!Parse(records, old_size, new_size, &controls, &inserts, &copies)) return false;
    // The mode whose add runs are shortest: a close proxy of their packed size.
    // Without copies that add, no mode has anything to predict.
    uint8_t mode = kAddressNone;
    if (!AddRuns(copies, old_data, new_data, kAddressNone, window, &runs)) return false;
    for (uint8_t m : {kAddressX64, kAddressX86}) {
      if (copies.empty()) break;
      std::vector<uint8_t> other;
      if (!AddRuns(copies, old_data, new_data, m, window, &other)) return false;
      if (other.size() < runs.size()) runs.swap(other), mode = m;
    }
    std::vector<AddedCopy>().swap(copies);
    return PackPredictedStreams(mode, &controls, &runs, &inserts, pieces, stored);
  } catch (const std::bad_alloc&) {
    stored->clear();
    return false;
  }
}

}  // namespace upkeep
