// Engine benchmark: the checksum test and one PatchFile on a large file, each
// against `cat` of the same file as the floor of reading it once.
// Usage: engine_bench [MIB] [DIR]   (default 256 MiB in the temporary folder;
// the files go to a folder of their own inside DIR, removed afterwards)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <zlib.h>

#include "authoring/archive_writer.h"
#include "authoring/delta_encoder.h"
#include "authoring/payload_writer.h"
#include "engine/checksum.h"
#include "engine/command_context.h"
#include "engine/commands.h"
#include "package/package.h"
#include "script/script_call.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<uint8_t> MakeOld(size_t size) {
  // Cheap pseudo-random words with some repetition, like game data.
  std::vector<uint8_t> out(size);
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (size_t i = 0; i + 8 <= size; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    uint64_t v = (i / 8) % 5 == 0 ? 0 : x;
    for (int b = 0; b < 8; ++b) out[i + b] = static_cast<uint8_t>(v >> (8 * b));
  }
  return out;
}

std::vector<uint8_t> MakeNew(const std::vector<uint8_t>& old_data) {
  std::vector<uint8_t> out = old_data;
  for (size_t at = 1 << 20; at + 4096 < out.size(); at += 16 << 20) {
    for (size_t i = 0; i < 4096; ++i) out[at + i] ^= 0xA5;
  }
  out.insert(out.begin() + out.size() / 3, 100000, 0x42);
  out.erase(out.begin() + out.size() / 2, out.begin() + out.size() / 2 + 50000);
  return out;
}

bool WriteAll(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

std::string Crc(const std::vector<uint8_t>& data) {
  uLong crc = crc32(0L, Z_NULL, 0);
  for (size_t i = 0; i < data.size(); i += 1 << 30) {
    size_t n = data.size() - i < (1u << 30) ? data.size() - i : (1u << 30);
    crc = crc32(crc, data.data() + i, static_cast<uInt>(n));
  }
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(crc));
  return text;
}

double CatSeconds(const std::string& path) {
  std::string cmd = "cat '" + path + "' > /dev/null";
  Clock::time_point start = Clock::now();
  if (std::system(cmd.c_str()) != 0) return -1;
  return Since(start);
}

void Line(const char* what, double mib, double seconds, double cat_seconds) {
  std::printf("%-28s %8.3f s  %8.1f MiB/s  (%.2fx cat)\n", what, seconds, mib / seconds,
              seconds / cat_seconds);
}

upkeep::ScriptCall* PatchCall(const std::string& name, const std::string& entry,
                              const std::string& crc) {
  upkeep::ScriptCall* call = new upkeep::ScriptCall;
  call->name = "patchfile";
  const std::string args[] = {name, entry, "0", crc};
  upkeep::ScriptValue** at = &call->arguments;
  for (const std::string& a : args) {
    *at = new upkeep::ScriptString(a);
    at = &(*at)->next;
  }
  return call;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace upkeep;
  size_t mib = argc > 1 ? static_cast<size_t>(std::atol(argv[1])) : 256;
  fs::path base = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path();
  fs::path dir = base / ("upkeep-engine-bench-" + std::to_string(getpid()));
  std::error_code ec;
  if (!fs::create_directories(dir, ec)) {
    std::fprintf(stderr, "cannot create %s\n", dir.string().c_str());
    return 1;
  }
  std::string game = dir.string();
  std::string file = (dir / "big.dat").string();

  std::vector<uint8_t> old_data = MakeOld(mib << 20);
  std::vector<uint8_t> new_data = MakeNew(old_data);
  if (!WriteAll(file, old_data)) return 1;
  std::string old_crc = Crc(old_data), new_crc = Crc(new_data);

  Clock::time_point start = Clock::now();
  std::vector<uint8_t> delta =
      EncodeDelta(old_data.data(), old_data.size(), new_data.data(), new_data.size());
  double encode_seconds = Since(start);
  std::vector<uint8_t> payload = EncodePayload(delta);
  std::printf("file %zu MiB, delta %zu bytes raw, %zu stored (encoded in %.1f s)\n", mib,
              delta.size(), payload.size(), encode_seconds);
  std::string package = (dir / "update.exe").string();
  ArchiveEntry entry;
  entry.name = "00000001.DELTA";
  entry.data = payload;
  if (!WritePackage(package, std::vector<uint8_t>(1024, 0), {entry})) return 1;
  new_data.clear();
  new_data.shrink_to_fit();
  old_data.clear();
  old_data.shrink_to_fit();

  CatSeconds(file);  // warm the page cache for every contender alike
  double cat = CatSeconds(file);
  std::printf("%-28s %8.3f s  %8.1f MiB/s\n", "cat (old file)", cat, mib / cat);

  start = Clock::now();
  bool match = FileMatchesChecksum(game.c_str(), "big.dat", old_crc.c_str(), nullptr, 0, "");
  Line("FileMatchesChecksum", static_cast<double>(mib), Since(start), cat);
  if (!match) std::printf("  checksum MISMATCH\n");

  OpenPackage(package.c_str());
  CommandContext context;
  context.packagePath = package;
  context.sourceRoot = game;
  context.targetRoot = game;
  std::unique_ptr<ScriptCall> call(PatchCall("big.dat", "00000001.DELTA", new_crc));
  start = Clock::now();
  int32_t r = PatchFileCommand(context, *call);
  double patch = Since(start);
  double cat_new = CatSeconds(file);
  Line("PatchFile (load+write+CRC)", static_cast<double>(mib), patch, cat_new);
  if (r != kContinue) std::printf("  PatchFile FAILED with %d\n", r);

  fs::remove_all(dir);
  return match && r == kContinue ? 0 : 1;
}
