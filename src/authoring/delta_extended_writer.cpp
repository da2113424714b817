// The stored form of an extended delta: the records split into controls, adds
// and inserts, each stream in whichever codec makes it smallest.
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "authoring/delta_encoder.h"
#include "authoring/lzma_encoders.h"
#include "authoring/payload_writer.h"
#include "package/delta_extended.h"
#include "package/package.h"

namespace upkeep {

namespace {

// The encoder needs about ten bytes of memory per dictionary byte (the
// runtime one): 8 MiB keeps `make` of a 40 MiB file inside 1.5x the file plus
// 256 MB. Streams this long are rare, and most of their matches are near.
constexpr uint32_t kLzmaDictionary = 8u << 20;
// Controls and adds find nearly all their matches close by: a short window
// loses nothing in size (it often gains a little, as near matches cost fewer
// bits) and keeps the match finder's tables in cache, which is 5-15 % of
// their LZMA2 time; the runtime then needs less memory for them too.
constexpr uint32_t kNearDictionary = 64u << 10;
constexpr size_t kTryDeflateBelow = 64 * 1024;
// Small streams are cheap to deflate too, and deflate sometimes wins there.
constexpr size_t kTryDeflateStreamBelow = 64 * 1024;
// Adds are long runs of zeros between short differences: longer matches than
// the preset's 64 bytes take 7-14 % off executables' deltas, at a cost in
// time that is only worth it up to this length.
constexpr size_t kLongMatchesBelow = 2u << 20;
constexpr uint32_t kLongMatch = 128;
// The match finder's default depth for those (80) costs `make` on
// executables a tenth or more of its time over 32, for 1-2 % of the adds.
constexpr uint32_t kLongMatchDepth = 32;
// Below this the quicker settings save little time and cost more size (text
// loses 1-2 %).
constexpr size_t kQuickInsertsFrom = 256 * 1024;

// The records of a "UKX2" stream as three streams.
bool Split(const std::vector<uint8_t>& records, std::vector<uint8_t> streams[3]) {
  if (records.size() < 4 || !std::equal(records.begin(), records.begin() + 4, kExtendedDeltaMagic))
    return false;
  size_t at = 4;
  while (at < records.size()) {
    const size_t start = at;
    uint64_t copy, insert, seek;
    if (!GetDeltaVarint(records, &at, &copy) || !GetDeltaVarint(records, &at, &insert) ||
        !GetDeltaVarint(records, &at, &seek)) {
      return false;
    }
    streams[0].insert(streams[0].end(), records.begin() + start, records.begin() + at);
    const uint64_t adds = (copy & 1) ? 0 : copy >> 1;
    if (adds > records.size() - at || insert > records.size() - at - adds) return false;
    streams[1].insert(streams[1].end(), records.begin() + at, records.begin() + at + adds);
    at += adds;
    streams[2].insert(streams[2].end(), records.begin() + at, records.begin() + at + insert);
    at += insert;
  }
  return true;
}

// Controls and adds are bytes without context worth having (varints, add
// bytes that are mostly zero): no literal context bits. Inserts are new file
// content and keep the usual ones.
bool Lzma(const std::vector<uint8_t>& in, bool literal_context, uint32_t dictionary, bool quick,
          LzmaEncoders* keep, std::vector<uint8_t>* out) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, 6)) return false;
  options.dict_size = dictionary;
  if (!literal_context) {
    options.lc = 0, options.lp = 0, options.pb = 0;
    if (in.size() <= kLongMatchesBelow)
      options.nice_len = kLongMatch, options.depth = kLongMatchDepth;
  } else if (quick && in.size() >= kQuickInsertsFrom) {
    options.mf = LZMA_MF_HC4;
    options.depth = 4;
    options.nice_len = 16;
  }
  return EncodeLzma2(options, in.data(), in.size(), out, keep);
}

// LZMA2 goes at a few MB/s over bytes it cannot compress (a rewritten file's
// inserts take it minutes): a long stream whose samples, spread over all of
// it, deflate's fastest level leaves no smaller is stored without trying.
constexpr size_t kSampleLongFrom = size_t{16} << 20;
bool LooksIncompressible(const std::vector<uint8_t>& raw) {
  if (raw.size() < kSampleLongFrom) return false;
  constexpr size_t kSamples = 16, kSample = 64 * 1024;
  std::vector<uint8_t> packed;
  for (size_t i = 0; i < kSamples; ++i) {
    const uint8_t* at = raw.data() + (raw.size() - kSample) / (kSamples - 1) * i;
    if (!EncodePayload(at, kSample, &packed, 1) || packed.size() < kSample) return false;
  }
  return true;
}

void PutU32(uint32_t v, std::vector<uint8_t>* out) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Whether "UKX2" records copy anything from the old file. A delta that only
// inserts is the file again, and the whole file (which needs no old one) is to
// win against it: the raw layout would undercut it by its framing alone.
bool RecordsCopy(const std::vector<uint8_t>& records) {
  size_t at = 4;
  while (at < records.size()) {
    uint64_t copy = 0, insert = 0, seek = 0;
    if (!GetDeltaVarint(records, &at, &copy) || !GetDeltaVarint(records, &at, &insert) ||
        !GetDeltaVarint(records, &at, &seek)) {
      return false;
    }
    if ((copy >> 1) != 0) return true;
    if (insert > records.size() - at) return false;
    at += static_cast<size_t>(insert);
  }
  return false;
}

}  // namespace

bool GetDeltaVarint(const std::vector<uint8_t>& bytes, size_t* at, uint64_t* v) {
  *v = 0;
  for (int shift = 0; *at < bytes.size() && shift < 64; shift += 7) {
    const uint8_t b = bytes[(*at)++];
    if (shift == 63 && (b & 0x7E) != 0) return false;
    *v |= static_cast<uint64_t>(b & 0x7F) << shift;
    if ((b & 0x80) == 0) return true;
  }
  return false;
}

bool SparseAddsAsInserts(const std::vector<uint8_t>& records, const uint8_t* old_data,
                         size_t old_size, std::vector<uint8_t>* out) {
  out->clear();
  if (records.size() < 4 || std::memcmp(records.data(), kExtendedDeltaMagic, 4) != 0) return false;
  // Zeros between two bursts up to this many go into the insert: a record
  // boundary costs about as much as that many literal bytes.
  constexpr size_t kGap = 8;
  // Every record written is a plain copy; one that copies nothing joins the
  // one before it where that one does not seek.
  struct Plain {
    uint64_t copy;
    std::vector<uint8_t> insert;
    int64_t seek;
  };
  std::vector<Plain> plains;
  const auto add = [&plains](uint64_t copy, const uint8_t* insert, size_t size, int64_t seek) {
    if (copy == 0 && !plains.empty() && plains.back().seek == 0) {
      plains.back().insert.insert(plains.back().insert.end(), insert, insert + size);
      plains.back().seek = seek;
    } else if (copy != 0 || size != 0 || seek != 0) {
      plains.push_back({copy, std::vector<uint8_t>(insert, insert + size), seek});
    }
  };
  try {
    std::vector<uint8_t> burst;
    uint64_t position = 0;
    for (size_t at = 4; at < records.size();) {
      uint64_t copy = 0, insert = 0, zigzag = 0;
      if (!GetDeltaVarint(records, &at, &copy) || !GetDeltaVarint(records, &at, &insert) ||
          !GetDeltaVarint(records, &at, &zigzag)) {
        return false;
      }
      const bool plain = (copy & 1) != 0;
      const uint64_t length = copy >> 1;
      const uint64_t adds_size = plain ? 0 : length;
      if (length > old_size - std::min<uint64_t>(position, old_size) ||
          adds_size > records.size() - at || insert > records.size() - at - adds_size) {
        return false;
      }
      const uint8_t* adds = records.data() + at;
      const uint8_t* extra = adds + adds_size;
      at += static_cast<size_t>(adds_size + insert);
      const int64_t seek = static_cast<int64_t>(zigzag >> 1) ^ -static_cast<int64_t>(zigzag & 1);
      size_t done = 0;  // of the copy, written
      if (!plain) {
        const size_t n = static_cast<size_t>(length);
        for (size_t i = 0; i < n;) {
          if (adds[i] == 0) {
            ++i;
            continue;
          }
          size_t end = i + 1;
          for (size_t j = end; j < n && j < end + kGap; ++j) {
            if (adds[j] != 0) end = j + 1;
          }
          burst.resize(end - i);
          const uint8_t* from = old_data + position + i;
          for (size_t k = 0; k < burst.size(); ++k)
            burst[k] = static_cast<uint8_t>(from[k] + adds[i + k]);
          add(i - done, burst.data(), burst.size(), static_cast<int64_t>(burst.size()));
          done = end;
          i = end;
        }
      }
      // The last record's seek leads nowhere.
      add(length - done, extra, static_cast<size_t>(insert), at == records.size() ? 0 : seek);
      position += length;
      if (!ApplyDeltaSeek(seek, old_size, &position)) return false;
    }
    AppendExtendedDeltaMagic(out);
    for (const Plain& p : plains)
      AppendExtendedDeltaRecord(nullptr, p.copy, p.insert.data(), p.insert.size(), p.seek, out);
    return true;
  } catch (const std::bad_alloc&) {
    out->clear();
    return false;
  }
}

bool PackExtendedDelta(const std::vector<uint8_t>& records, std::vector<uint8_t>* stored,
                       ExtendedLayout layout, bool quick_inserts, LzmaEncoders* lzma) {
  stored->clear();
  try {
    std::vector<uint8_t> interleaved;
    const bool try_interleaved =
        layout == ExtendedLayout::kInterleavedDeflate ||
        (layout == ExtendedLayout::kSmallest && records.size() <= kTryDeflateBelow);
    if (try_interleaved &&
        !EncodePayload(records.data(), records.size(), &interleaved, kExtendedDeltaPayloadLevel)) {
      return false;
    }
    if (layout == ExtendedLayout::kInterleavedDeflate) {
      stored->swap(interleaved);
      return true;
    }
    // Small records go without the payload's framing where that is smaller.
    if (try_interleaved && records.size() >= 4 &&
        std::memcmp(records.data(), kExtendedDeltaMagic, 4) == 0 && RecordsCopy(records)) {
      std::vector<uint8_t> raw;
      if (EncodeRawDeflate(records.data() + 4, records.size() - 4, &raw,
                           kExtendedDeltaPayloadLevel) &&
          raw.size() + 1 < interleaved.size()) {
        interleaved.assign(1, kExtendedRawMarker);
        interleaved.insert(interleaved.end(), raw.begin(), raw.end());
      }
    }

    std::vector<uint8_t> streams[kExtendedStreams];
    if (!Split(records, streams)) return false;
    // A stream kept stored is written from `streams`, not copied first.
    std::vector<uint8_t> packed[kExtendedStreams];
    size_t sizes[kExtendedStreams];
    uint8_t codecs[kExtendedStreams];
    uint32_t dictionaries[kExtendedStreams];
    for (int i = 0; i < kExtendedStreams; ++i) {
      const std::vector<uint8_t>& raw = streams[i];
      if (raw.size() > kMaxPayloadSize) return false;
      codecs[i] = kExtendedCodecStored;
      dictionaries[i] = 0;
      sizes[i] = raw.size();
      std::vector<uint8_t> candidate;
      if (layout == ExtendedLayout::kSplitLzma ||
          (layout == ExtendedLayout::kSmallest && !LooksIncompressible(raw))) {
        // The three dictionaries stay below the runtime's bound together.
        const uint32_t dictionary = std::max<uint32_t>(
            LZMA_DICT_SIZE_MIN, std::min<uint32_t>(static_cast<uint32_t>(raw.size()),
                                                   i == 2 ? kLzmaDictionary : kNearDictionary));
        // LZMA2 fails where its output outgrows the buffer's bound, which
        // is over the stored size: the stream is then stored.
        if (!Lzma(raw, i == 2, dictionary, quick_inserts, lzma, &candidate)) {
          if (layout == ExtendedLayout::kSplitLzma) return false;
        } else if (layout == ExtendedLayout::kSplitLzma || candidate.size() < sizes[i]) {
          packed[i].swap(candidate);
          sizes[i] = packed[i].size();
          codecs[i] = kExtendedCodecLzma2;
          dictionaries[i] = dictionary;
        }
      }
      if (layout == ExtendedLayout::kSplitDeflate ||
          (layout == ExtendedLayout::kSmallest && raw.size() <= kTryDeflateStreamBelow)) {
        if (!EncodePayload(raw.data(), raw.size(), &candidate, kExtendedDeltaPayloadLevel))
          return false;
        candidate.resize(candidate.size() - 8);  // the zlib stream without the payload trailer
        if (layout == ExtendedLayout::kSplitDeflate || candidate.size() < sizes[i]) {
          packed[i].swap(candidate);
          sizes[i] = packed[i].size();
          codecs[i] = kExtendedCodecDeflate;
          dictionaries[i] = 0;
        }
      }
    }

    size_t total = kExtendedSplitHeaderSize;
    for (size_t size : sizes) total += size;
    stored->reserve(total);
    stored->insert(stored->end(), kExtendedSplitMagic, kExtendedSplitMagic + 4);
    for (int i = 0; i < kExtendedStreams; ++i) {
      stored->push_back(codecs[i]);
      PutU32(dictionaries[i], stored);
      PutU32(static_cast<uint32_t>(streams[i].size()), stored);
      PutU32(static_cast<uint32_t>(crc32(crc32(0, nullptr, 0), streams[i].data(),
                                         static_cast<uInt>(streams[i].size()))),
             stored);
      PutU32(static_cast<uint32_t>(sizes[i]), stored);
    }
    for (int i = 0; i < kExtendedStreams; ++i) {
      const std::vector<uint8_t>& p = codecs[i] == kExtendedCodecStored ? streams[i] : packed[i];
      stored->insert(stored->end(), p.begin(), p.end());
    }
    if (!interleaved.empty() && interleaved.size() <= stored->size()) stored->swap(interleaved);
    return true;
  } catch (const std::bad_alloc&) {
    stored->clear();
    return false;
  }
}

}  // namespace upkeep
