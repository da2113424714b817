// Builds deflated-view deltas for tests: files made of plain pieces and
// deflate streams, their views, the tables and an embedded delta between the
// views, each part kept apart so that a test can damage any one of them.
#ifndef UPKEEP_TESTS_REDEFLATE_TEST_UTIL_H_
#define UPKEEP_TESTS_REDEFLATE_TEST_UTIL_H_

#include <algorithm>
#include <cstdint>
#include <vector>

#include "authoring/payload_writer.h"
#include "package/delta_extended.h"
#include "package/delta_redeflate.h"
#include "package/redeflate.h"

namespace upkeep {
namespace test {

inline std::vector<uint8_t> Deflated(const std::vector<uint8_t>& raw, const DeflateParams& params) {
  std::vector<uint8_t> out;
  Redeflater deflater;
  DeflateSink sink = [&](const uint8_t* p, size_t n) {
    out.insert(out.end(), p, p + n);
    return true;
  };
  if (!deflater.Start(params) || !deflater.Write(raw.data(), raw.size(), sink) ||
      !deflater.Finish(sink)) {
    out.clear();
  }
  return out;
}

// A piece of a file: bytes as they are, or a deflate stream of `raw`.
struct Piece {
  std::vector<uint8_t> raw;
  bool deflated = false;
  DeflateParams params;
};

struct OldEntry {
  uint64_t gap, stored, inflated;
};
struct NewEntry {
  uint64_t gap, inflated, stored;
  uint8_t level, memLevel, windowBits, strategy, flags;
};

struct RedeflateLayout {
  std::vector<OldEntry> olds;
  std::vector<NewEntry> news;
  uint64_t newSize = 0;
  std::vector<uint8_t> delta;  // the embedded extended delta's stored bytes
};

inline void PutTestVarint(uint64_t v, std::vector<uint8_t>* out) {
  while (v >= 0x80) {
    out->push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out->push_back(static_cast<uint8_t>(v));
}

inline std::vector<uint8_t> Serialize(const RedeflateLayout& l) {
  std::vector<uint8_t> out(kRedeflateDeltaMagic, kRedeflateDeltaMagic + 4);
  PutTestVarint(l.olds.size(), &out);
  for (const OldEntry& e : l.olds) {
    for (uint64_t v : {e.gap, e.stored, e.inflated}) PutTestVarint(v, &out);
  }
  PutTestVarint(l.news.size(), &out);
  for (const NewEntry& e : l.news) {
    for (uint64_t v : {e.gap, e.inflated, e.stored}) PutTestVarint(v, &out);
    out.insert(out.end(), {e.level, e.memLevel, e.windowBits, e.strategy, e.flags});
  }
  PutTestVarint(l.newSize, &out);
  out.insert(out.end(), l.delta.begin(), l.delta.end());
  return out;
}

struct BuiltFile {
  std::vector<uint8_t> file, view;
  std::vector<OldEntry> olds;
  std::vector<NewEntry> news;
};

inline BuiltFile Build(const std::vector<Piece>& pieces) {
  BuiltFile b;
  uint64_t gap = 0;
  for (const Piece& p : pieces) {
    b.view.insert(b.view.end(), p.raw.begin(), p.raw.end());
    if (!p.deflated) {
      b.file.insert(b.file.end(), p.raw.begin(), p.raw.end());
      gap += p.raw.size();
      continue;
    }
    const std::vector<uint8_t> z = Deflated(p.raw, p.params);
    b.file.insert(b.file.end(), z.begin(), z.end());
    b.olds.push_back({gap, z.size(), p.raw.size()});
    b.news.push_back({gap, p.raw.size(), z.size(), p.params.level, p.params.memLevel,
                      p.params.windowBits, p.params.strategy,
                      static_cast<uint8_t>(p.params.gzipBlocks ? kRedeflateGzipBlocks : 0)});
    gap = 0;
  }
  return b;
}

// An embedded delta between two views: the common prefix and suffix copied
// (plain), the rest inserted; the copies run across stream boundaries.
inline std::vector<uint8_t> ViewDelta(const std::vector<uint8_t>& from,
                                      const std::vector<uint8_t>& to) {
  size_t prefix = 0;
  while (prefix < from.size() && prefix < to.size() && from[prefix] == to[prefix]) ++prefix;
  size_t suffix = 0;
  while (suffix < from.size() - prefix && suffix < to.size() - prefix &&
         from[from.size() - 1 - suffix] == to[to.size() - 1 - suffix]) {
    ++suffix;
  }
  std::vector<uint8_t> raw;
  AppendExtendedDeltaMagic(&raw);
  const size_t middle = to.size() - prefix - suffix;
  AppendExtendedDeltaRecord(nullptr, prefix, to.data() + prefix, middle,
                            static_cast<int64_t>(from.size() - suffix - prefix), &raw);
  AppendExtendedDeltaRecord(nullptr, suffix, nullptr, 0, 0, &raw);
  std::vector<uint8_t> stored;
  EncodePayload(raw.data(), raw.size(), &stored);
  return stored;
}

// The old file, the new one and the layout of a delta from one to the other.
struct RedeflatePair {
  std::vector<uint8_t> oldFile, newFile;
  RedeflateLayout layout;
};

inline RedeflatePair MakeRedeflatePair(const std::vector<Piece>& oldPieces,
                                       const std::vector<Piece>& newPieces) {
  const BuiltFile o = Build(oldPieces), n = Build(newPieces);
  RedeflatePair pair;
  pair.oldFile = o.file;
  pair.newFile = n.file;
  pair.layout.olds = o.olds;
  pair.layout.news = n.news;
  pair.layout.newSize = n.file.size();
  pair.layout.delta = ViewDelta(o.view, n.view);
  return pair;
}

}  // namespace test
}  // namespace upkeep

#endif  // UPKEEP_TESTS_REDEFLATE_TEST_UTIL_H_
