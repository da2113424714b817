// Delta benchmark: for each (old, new) file pair, encodes the delta, compresses
// it as a payload entry is stored (EncodePayload: zlib stream and trailer),
// checks that it rebuilds the new file, and prints one line:
//   <compressed bytes> <raw delta bytes> <CPU seconds> <copies> <inserts>
// (processor time, so that other work on the machine does not count)
// Usage: delta_bench [-x|-z|-c] [-j THREADS] [-l LEVEL] OLD NEW [OLD NEW ...]
// (-x: the extended form, checked by the runtime's streaming decoder; -z: the
// deflated-view form, checked by its runtime decoder; a pair it does not
// apply to counts as 0 bytes and prints "n/a" in place of the size; -c: the
// entry make writes for the pair, whichever form it keeps, checked by that
// form's decoder, printing <bytes> <form> <CPU s> <wall s>; -j: threads for
// pieces of one file, default every core)
// A pair given as two directories is walked as trees: files of the same
// relative path are compared, and the figures are summed.
//        delta_bench -L [-j THREADS] OLD NEW OUT
// the large-file search's delta, reading both files positionally, into OUT:
// <bytes> <CPU s> <wall s>;
//        delta_bench --check OLD NEW DELTA
// decodes a predicted delta against the mapped files and compares;
//        delta_bench --make-large OLD NEW MIB
// writes a large archive pair with scattered changes;
//        delta_bench --make-game OLD NEW
// writes two versions of a game-like tree: large archives of assets where a
// few assets change, grow, move or appear, with the archives' offset tables
// shifting accordingly, and some small files added and removed.
#include <zlib.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "authoring/change_encoder.h"
#include "authoring/delta_encoder.h"
#include "authoring/delta_large.h"
#include "authoring/work_threads.h"
#include "authoring/payload_writer.h"
#include "package/delta_extended.h"
#include "package/delta_format.h"
#include "package/delta_predicted.h"
#include "package/delta_redeflate.h"
#include "platform/file_system.h"

namespace {

namespace fs = std::filesystem;

bool ReadAll(const std::string& path, std::vector<uint8_t>* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  in.seekg(0, std::ios::end);
  std::streamoff n = in.tellg();
  in.seekg(0);
  out->resize(static_cast<size_t>(n));
  in.read(reinterpret_cast<char*>(out->data()), n);
  return static_cast<bool>(in) || n == 0;
}

struct Totals {
  uint64_t compressed = 0;
  uint64_t raw = 0;
  double seconds = 0;
  uint64_t copies = 0;
  uint64_t inserts = 0;
  bool ok = true;
};

bool Rebuilds(const std::vector<uint8_t>& old_data, const std::vector<uint8_t>& new_data,
              const std::vector<uint8_t>& delta, Totals* t) {
  std::vector<uint8_t> out;
  out.reserve(new_data.size());
  upkeep::DeltaReader reader(delta.data(), delta.size());
  upkeep::DeltaRecord r;
  upkeep::DeltaReader::Step step;
  while ((step = reader.Next(&r)) == upkeep::DeltaReader::kRecord) {
    if (!upkeep::DeltaRecordFitsSource(r, old_data.size())) return false;
    const uint8_t* from = r.isCopy ? old_data.data() + r.sourceOffset : r.data;
    out.insert(out.end(), from, from + r.length);
    ++(r.isCopy ? t->copies : t->inserts);
  }
  return step == upkeep::DeltaReader::kEnd && out == new_data;
}

// The stored size of a payload entry holding `data`, made as the package
// builder makes it; the time it takes counts.
uint64_t PayloadSize(const std::vector<uint8_t>& data) {
  std::vector<uint8_t> payload;
  if (!upkeep::EncodePayload(data.data(), data.size(), &payload)) {
    std::fprintf(stderr, "payload encoding failed\n");
    std::exit(2);
  }
  return payload.size();
}

bool extended = false;
bool redeflate = false;
bool change = false;
unsigned threads = 0;
std::string forms;  // the forms -c kept, one letter each

// A payload entry's bytes (zlib stream, Adler-32, length) inflated.
bool Inflate(const std::vector<uint8_t>& payload, std::vector<uint8_t>* out) {
  if (payload.size() < 8) return false;
  const uint8_t* t = payload.data() + payload.size() - 4;
  const uint32_t length = t[0] | t[1] << 8 | t[2] << 16 | static_cast<uint32_t>(t[3]) << 24;
  out->resize(length);
  uLongf got = length;
  return uncompress(out->data(), &got, payload.data(), static_cast<uLong>(payload.size() - 8)) ==
             Z_OK &&
         got == length;
}

// What `make` writes for the pair, rebuilt by the decoder of the form it chose.
void ChangePair(const std::vector<uint8_t>& old_data, const std::vector<uint8_t>& new_data,
                const std::string& new_path, Totals* t) {
  upkeep::WorkThreads pool(threads != 0 ? threads : upkeep::DefaultWorkThreads());
  upkeep::ChangeOptions options;
  options.threads = &pool;
  options.streamed_from = UINT64_MAX;  // the whole file is compressed here too
  upkeep::EncodedChange encoded;
  const upkeep::MemoryChangeInput old_input(old_data.data(), old_data.size());
  const upkeep::MemoryChangeInput new_input(new_data.data(), new_data.size());
  std::clock_t start = std::clock();
  if (!upkeep::EncodeChange(old_input, new_input, options, &encoded)) {
    std::fprintf(stderr, "encoding failed for %s\n", new_path.c_str());
    std::exit(2);
  }
  t->seconds += static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  t->compressed += encoded.bytes.size();
  t->raw += encoded.bytes.size();
  std::vector<uint8_t> out, records;
  upkeep::ExtendedDeltaInfo info;
  upkeep::DeltaSink sink = [&](const uint8_t* p, size_t n) { out.insert(out.end(), p, p + n); };
  const std::vector<uint8_t>& b = encoded.bytes;
  bool ok = false;
  switch (encoded.form) {
    case upkeep::ChangeForm::kWhole:
      ok = Inflate(b, &out);
      forms += 'w';
      break;
    case upkeep::ChangeForm::kBasic: {
      Totals ignored;
      ok = Inflate(b, &records) && Rebuilds(old_data, new_data, records, &ignored);
      out = new_data;
      forms += 'b';
      break;
    }
    case upkeep::ChangeForm::kExtended:
      ok = upkeep::DecodeExtendedDelta(b.data(), b.size(), old_data.data(), old_data.size(), sink,
                                       &info);
      forms += 'x';
      break;
    case upkeep::ChangeForm::kRedeflate:
      ok = upkeep::DecodeRedeflateDelta(b.data(), b.size(), old_data.data(), old_data.size(), sink,
                                        &info);
      forms += 'z';
      break;
    case upkeep::ChangeForm::kPredicted:
      ok = upkeep::DecodePredictedDelta(b.data(), b.size(), old_data.data(), old_data.size(), sink,
                                        &info);
      forms += 'p';
      break;
  }
  if (!ok || out != new_data) {
    std::fprintf(stderr, "the %s entry does not rebuild %s\n", upkeep::ChangeFormKind(encoded.form),
                 new_path.c_str());
    t->ok = false;
  }
}

void RedeflatePair(const std::vector<uint8_t>& old_data, const std::vector<uint8_t>& new_data,
                   const std::string& new_path, Totals* t) {
  std::clock_t start = std::clock();
  std::vector<uint8_t> stored;
  const bool applies = upkeep::EncodeRedeflateDelta(old_data.data(), old_data.size(),
                                                    new_data.data(), new_data.size(), &stored);
  t->seconds += static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  if (!applies) {
    t->ok = false;
    return;
  }
  t->compressed += stored.size();
  t->raw += stored.size();
  std::vector<uint8_t> out;
  upkeep::ExtendedDeltaInfo info;
  upkeep::DeltaSink sink = [&](const uint8_t* p, size_t n) { out.insert(out.end(), p, p + n); };
  if (!upkeep::DecodeRedeflateDelta(stored.data(), stored.size(), old_data.data(), old_data.size(),
                                    sink, &info) ||
      out != new_data) {
    std::fprintf(stderr, "deflated-view delta does not rebuild %s\n", new_path.c_str());
    std::exit(1);
  }
}

void ExtendedPair(const std::vector<uint8_t>& old_data, const std::vector<uint8_t>& new_data,
                  const std::string& new_path, Totals* t) {
  std::clock_t start = std::clock();
  std::vector<uint8_t> delta, payload;
  if (!upkeep::EncodeExtendedDelta(old_data.data(), old_data.size(), new_data.data(),
                                   new_data.size(), &delta) ||
      !upkeep::PackExtendedDelta(delta, &payload)) {
    std::fprintf(stderr, "extended encoding failed for %s\n", new_path.c_str());
    std::exit(2);
  }
  t->seconds += static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  t->compressed += payload.size();
  t->raw += delta.size();
  std::vector<uint8_t> out;
  upkeep::ExtendedDeltaInfo info;
  upkeep::DeltaSink sink = [&](const uint8_t* p, size_t n) { out.insert(out.end(), p, p + n); };
  if (!upkeep::DecodeExtendedDelta(payload.data(), payload.size(), old_data.data(), old_data.size(),
                                   sink, &info) ||
      out != new_data) {
    std::fprintf(stderr, "extended delta does not rebuild %s\n", new_path.c_str());
    t->ok = false;
  }
}

void Pair(const std::string& old_path, const std::string& new_path, int level, Totals* t) {
  std::vector<uint8_t> old_data, new_data;
  if (!ReadAll(old_path, &old_data) || !ReadAll(new_path, &new_data)) {
    std::fprintf(stderr, "cannot read %s or %s\n", old_path.c_str(), new_path.c_str());
    std::exit(2);
  }
  if (extended) {
    ExtendedPair(old_data, new_data, new_path, t);
    return;
  }
  if (change) {
    ChangePair(old_data, new_data, new_path, t);
    return;
  }
  if (redeflate) {
    RedeflatePair(old_data, new_data, new_path, t);
    return;
  }
  upkeep::DeltaOptions options;
  options.level = level;
  std::clock_t start = std::clock();
  std::vector<uint8_t> delta = upkeep::EncodeDelta(old_data.data(), old_data.size(),
                                                   new_data.data(), new_data.size(), options);
  uint64_t size = PayloadSize(delta);
  t->seconds += static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  t->compressed += size;
  t->raw += delta.size();
  if (!Rebuilds(old_data, new_data, delta, t)) {
    std::fprintf(stderr, "delta does not rebuild %s\n", new_path.c_str());
    t->ok = false;
  }
}

// Asset bytes: runs of structured records with noise, about as compressible
// as textures and meshes.
std::vector<uint8_t> Asset(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> out(n);
  uint8_t base = static_cast<uint8_t>(rng());
  for (size_t i = 0; i < n; ++i) {
    if (i % 64 == 0) base = static_cast<uint8_t>(rng());
    out[i] = (rng() % 3 == 0) ? static_cast<uint8_t>(rng()) : static_cast<uint8_t>(base + i % 16);
  }
  return out;
}

void PutU32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// An archive: u32 count, then (offset, size) per asset, then the assets.
std::vector<uint8_t> Archive(const std::vector<std::vector<uint8_t>>& assets) {
  std::vector<uint8_t> out;
  PutU32(&out, static_cast<uint32_t>(assets.size()));
  uint32_t at = static_cast<uint32_t>(4 + 8 * assets.size());
  for (const auto& a : assets) {
    PutU32(&out, at);
    PutU32(&out, static_cast<uint32_t>(a.size()));
    at += static_cast<uint32_t>(a.size());
  }
  for (const auto& a : assets) out.insert(out.end(), a.begin(), a.end());
  return out;
}

void WriteAll(const fs::path& path, const std::vector<uint8_t>& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void MakeGame(const fs::path& old_root, const fs::path& new_root) {
  std::mt19937 rng(2024);
  struct Pak {
    const char* name;
    size_t assets;
    size_t mean;
    int replaced, inserted, moved, edited, grown;  // per thousand assets
  };
  const Pak paks[] = {
      {"Data/textures.pak", 600, 40000, 40, 20, 10, 0, 0},
      {"Data/levels.pak", 300, 40000, 0, 0, 0, 300, 30},
      {"Data/sound.pak", 200, 80000, 0, 30, 0, 0, 0},
  };
  for (const Pak& p : paks) {
    std::vector<std::vector<uint8_t>> old_assets, new_assets;
    for (size_t i = 0; i < p.assets; ++i) {
      old_assets.push_back(Asset(rng, p.mean / 2 + rng() % p.mean));
    }
    for (const auto& a : old_assets) {
      uint32_t r = rng() % 1000;
      if (r < static_cast<uint32_t>(p.replaced)) {
        new_assets.push_back(Asset(rng, a.size()));
      } else if (r < static_cast<uint32_t>(p.replaced + p.edited)) {
        std::vector<uint8_t> b = a;
        for (int k = 0; k < 8; ++k) b[rng() % b.size()] = static_cast<uint8_t>(rng());
        new_assets.push_back(b);
      } else if (r < static_cast<uint32_t>(p.replaced + p.edited + p.grown)) {
        std::vector<uint8_t> b = a;
        std::vector<uint8_t> more = Asset(rng, 2000 + rng() % 8000);
        b.insert(b.begin() + rng() % b.size(), more.begin(), more.end());
        new_assets.push_back(b);
      } else {
        new_assets.push_back(a);
      }
      if (rng() % 1000 < static_cast<uint32_t>(p.inserted)) {
        new_assets.push_back(Asset(rng, p.mean / 2 + rng() % p.mean));
      }
    }
    for (size_t i = 0; i < new_assets.size() * p.moved / 1000; ++i) {
      std::swap(new_assets[rng() % new_assets.size()], new_assets[rng() % new_assets.size()]);
    }
    WriteAll(old_root / p.name, Archive(old_assets));
    WriteAll(new_root / p.name, Archive(new_assets));
  }
  std::vector<uint8_t> config = Asset(rng, 3000);
  WriteAll(old_root / "config.ini", config);
  config[100] ^= 1;
  WriteAll(new_root / "config.ini", config);
  WriteAll(old_root / "Data/old_intro.bik", Asset(rng, 200000));
  WriteAll(new_root / "Data/new_intro.bik", Asset(rng, 250000));
  WriteAll(new_root / "Maps/bonus/bonus1.map", Asset(rng, 120000));
}

// A large archive pair, written as it is made (memory stays small): assets
// of 16 KiB to 4 MiB, most of them incompressible (compressed textures and
// sounds), the rest of a few byte values; the new one has 1 % of them
// replaced, 1 % edited in a few places, 0.5 % removed and 0.5 % added.
void MakeLarge(const char* old_path, const char* new_path, uint64_t mib) {
  struct Rng {
    uint64_t s;
    uint64_t Next() {
      s ^= s << 13, s ^= s >> 7, s ^= s << 17;
      return s;
    }
  };
  std::ofstream old_out(old_path, std::ios::binary | std::ios::trunc);
  std::ofstream new_out(new_path, std::ios::binary | std::ios::trunc);
  std::vector<uint8_t> asset;
  auto make = [&](uint64_t seed) {
    Rng r{seed * 0x9E3779B97F4A7C15ull + 1};
    asset.resize(16384 + r.Next() % (4u << 20));
    const bool plain = r.Next() % 10 < 3;
    for (size_t i = 0; i + 8 <= asset.size(); i += 8) {
      uint64_t v = r.Next();
      if (plain) v &= 0x0F0F0F0F0F0F0F0Full;
      std::memcpy(asset.data() + i, &v, 8);
    }
  };
  auto put = [](std::ofstream& out, const std::vector<uint8_t>& bytes) {
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  };
  Rng changes{12345};
  uint64_t written = 0;
  for (uint64_t id = 0; written < mib << 20; ++id) {
    make(id);
    put(old_out, asset);
    written += asset.size();
    const uint64_t roll = changes.Next() % 1000;
    if (roll < 10) {
      make(id + (uint64_t{1} << 40));  // replaced
      put(new_out, asset);
    } else if (roll < 20) {
      for (int k = 0; k < 4; ++k) asset[changes.Next() % asset.size()] ^= 0x5A;  // edited
      put(new_out, asset);
    } else if (roll >= 25) {  // 20..24: removed
      put(new_out, asset);
    }
    if (roll >= 995) {
      make(id + (uint64_t{2} << 40));  // added
      put(new_out, asset);
    }
  }
}

// The delta of the large-file search between two files read through
// positional reads, written to `out_path`: <bytes> <CPU s> <wall s>.
int LargePair(const char* old_path, const char* new_path, const char* out_path) {
  std::unique_ptr<upkeep::FileChangeInput> old_file = upkeep::FileChangeInput::Open(old_path);
  std::unique_ptr<upkeep::FileChangeInput> new_file = upkeep::FileChangeInput::Open(new_path);
  if (old_file == nullptr || new_file == nullptr) {
    std::fprintf(stderr, "cannot open %s or %s\n", old_path, new_path);
    return 2;
  }
  upkeep::WorkThreads pool(threads != 0 ? threads : upkeep::DefaultWorkThreads());
  upkeep::LargeDeltaOptions options;
  options.pieces.threads = &pool;
  std::vector<uint8_t> stored;
  const auto wall_start = std::chrono::steady_clock::now();
  std::clock_t start = std::clock();
  const upkeep::LargeDelta result =
      upkeep::EncodeLargeDelta(*old_file, *new_file, options, &stored);
  const double cpu = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
  if (result != upkeep::LargeDelta::kDone) {
    std::fprintf(stderr, "%s\n", result == upkeep::LargeDelta::kGaveUp ? "gave up" : "failed");
    return 1;
  }
  std::ofstream out(out_path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(stored.data()),
            static_cast<std::streamsize>(stored.size()));
  std::printf("%zu %.3f %.3f\n", stored.size(), cpu, wall);
  return out ? 0 : 2;
}

// A predicted delta decoded by the runtime's decoder against the mapped old
// file and compared with the mapped new one, pages let go behind.
int CheckPredicted(const char* old_path, const char* new_path, const char* delta_path) {
  std::vector<uint8_t> stored;
  if (!ReadAll(delta_path, &stored)) return 2;
  std::unique_ptr<upkeep::MappedView> old_view = upkeep::GetFileSystem()->MapFile(old_path);
  std::unique_ptr<upkeep::MappedView> new_view = upkeep::GetFileSystem()->MapFileForWalk(new_path);
  if (old_view == nullptr || new_view == nullptr) return 2;
  uint64_t at = 0;
  bool same = true;
  upkeep::DeltaSink sink = [&](const uint8_t* p, size_t n) {
    if (!same || at + n > new_view->size() || std::memcmp(new_view->data() + at, p, n) != 0)
      same = false;
    at += n;
    if (at % (size_t{64} << 20) < n) new_view->Release(0, at);
  };
  upkeep::ExtendedDeltaInfo info;
  const bool ok = upkeep::DecodePredictedDelta(stored.data(), stored.size(), old_view->data(),
                                               old_view->size(), sink, &info);
  if (!ok || !same || at != new_view->size()) {
    std::fprintf(stderr, "the delta does not rebuild %s\n", new_path);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--make-game") == 0) {
    MakeGame(argv[2], argv[3]);
    return 0;
  }
  if (argc == 5 && std::strcmp(argv[1], "--make-large") == 0) {
    MakeLarge(argv[2], argv[3], std::strtoull(argv[4], nullptr, 10));
    return 0;
  }
  if (argc == 5 && std::strcmp(argv[1], "--check") == 0)
    return CheckPredicted(argv[2], argv[3], argv[4]);
  if (argc >= 5 && std::strcmp(argv[1], "-L") == 0) {
    if (argc == 7 && std::strcmp(argv[2], "-j") == 0) {
      threads = static_cast<unsigned>(std::atoi(argv[3]));
      return LargePair(argv[4], argv[5], argv[6]);
    }
    return LargePair(argv[2], argv[3], argv[4]);
  }
  int level = 9;
  int i = 1;
  if (i < argc && std::strcmp(argv[i], "-x") == 0) {
    extended = true;
    ++i;
  } else if (i < argc && std::strcmp(argv[i], "-z") == 0) {
    redeflate = true;
    ++i;
  } else if (i < argc && std::strcmp(argv[i], "-c") == 0) {
    change = true;
    ++i;
  }
  if (i + 1 < argc && std::strcmp(argv[i], "-j") == 0) {
    threads = static_cast<unsigned>(std::atoi(argv[i + 1]));
    i += 2;
  }
  if (i + 1 < argc && std::strcmp(argv[i], "-l") == 0) {
    level = std::atoi(argv[i + 1]);
    i += 2;
  }
  if ((argc - i) < 2 || (argc - i) % 2 != 0) {
    std::fprintf(stderr,
                 "usage: delta_bench [-x|-z|-c] [-j THREADS] [-l LEVEL] OLD NEW [OLD NEW ...] | "
                 "--make-game OLD NEW\n");
    return 2;
  }
  Totals t;
  const auto wall_start = std::chrono::steady_clock::now();
  for (; i + 1 < argc; i += 2) {
    std::error_code ec;
    if (fs::is_directory(argv[i], ec) && fs::is_directory(argv[i + 1], ec)) {
      for (const auto& e : fs::recursive_directory_iterator(argv[i + 1])) {
        if (!e.is_regular_file() || e.is_symlink()) continue;
        fs::path rel = fs::relative(e.path(), argv[i + 1]);
        fs::path old_file = fs::path(argv[i]) / rel;
        if (fs::is_regular_file(old_file, ec) && !fs::is_symlink(old_file, ec))
          Pair(old_file.string(), e.path().string(), level, &t);
      }
    } else {
      Pair(argv[i], argv[i + 1], level, &t);
    }
  }
  if (redeflate && !t.ok) {
    // The form does not apply to some pair: no size to show.
    std::printf("n/a 0 %.3f 0 0\n", t.seconds);
    return 0;
  }
  if (change) {
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    std::printf("%llu %s %.3f %.3f\n", static_cast<unsigned long long>(t.compressed), forms.c_str(),
                t.seconds, wall);
    return t.ok ? 0 : 1;
  }
  std::printf("%llu %llu %.3f %llu %llu\n", static_cast<unsigned long long>(t.compressed),
              static_cast<unsigned long long>(t.raw), t.seconds,
              static_cast<unsigned long long>(t.copies),
              static_cast<unsigned long long>(t.inserts));
  return t.ok ? 0 : 1;
}
