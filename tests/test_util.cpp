#include "test_util.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>

#include <zlib.h>

namespace upkeep {
namespace test {

namespace fs = std::filesystem;

namespace {
std::atomic<int> g_counter{0};
}

TempDir::TempDir() {
  auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  for (;;) {
    fs::path p = fs::temp_directory_path() /
                 ("upkeep-test-" + std::to_string(stamp) + "-" + std::to_string(g_counter++));
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      path_ = p.string();
      return;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only files inside must not keep the tree alive.
  for (auto it = fs::recursive_directory_iterator(path_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

std::string TempDir::Join(const std::string& relative) const {
  std::string r = relative;
  for (char& c : r) {
    if (c == '/' || c == '\\') c = static_cast<char>(fs::path::preferred_separator);
  }
  return (fs::path(path_) / r).string();
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool WriteFileText(const std::string& path, const std::string& text) {
  return WriteFileBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

std::string ReadFileText(const std::string& path) {
  std::vector<uint8_t> b;
  if (!ReadFileBytes(path, &b)) return std::string();
  return std::string(b.begin(), b.end());
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

std::vector<uint8_t> SystemDeflate(const std::vector<uint8_t>& in, int level, int windowBits,
                                   int memLevel, int strategy) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, windowBits, memLevel, strategy) != Z_OK) return {};
  std::vector<uint8_t> out(deflateBound(&z, in.size()));
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const bool ok = deflate(&z, Z_FINISH) == Z_STREAM_END;
  out.resize(ok ? z.total_out : 0);
  deflateEnd(&z);
  return out;
}

}  // namespace test
}  // namespace upkeep
