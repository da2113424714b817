#ifdef UPKEEP_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif
#include <zlib.h>

#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "package/package.h"
#include "package/package_internal.h"

namespace upkeep {

namespace {

// Deflate never grows data by more than a few bytes per 16 KiB block.
constexpr uint32_t kMaxDeflateRatio = 1032;
constexpr int64_t kMaxStoredPayload = int64_t{kMaxPayloadSize} + kMaxPayloadSize / 256 + 64;

bool ReadWhole(PackageFile* file, std::vector<uint8_t>* out) {
  if (SeekPackageFile(file, 0, 2) != 0) return false;
  const int32_t total = TellPackageFile(file);
  if (total < 8 || total > kMaxStoredPayload || SeekPackageFile(file, 0, 0) != 0) return false;
  try {
    out->resize(static_cast<size_t>(total));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return ReadPackageFile(out->data(), 1, out->size(), file) == out->size();
}

// `stored` holds at least the 8-byte trailer.
std::unique_ptr<Payload> Inflate(std::vector<uint8_t>& stored) {
  const uint32_t length = package_internal::LoadU32(stored.data() + stored.size() - 4);
  // Deflate expands at most 1032-fold, so a larger claim is damage and is
  // refused before anything is allocated for it.
  const uint64_t possible = (stored.size() - 8) * uint64_t{kMaxDeflateRatio} + 64;
  if (length > kMaxPayloadSize || length > possible) return nullptr;
  std::unique_ptr<Payload> payload(new (std::nothrow) Payload);
  if (payload == nullptr) return nullptr;
  try {
    payload->data.resize(length);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }

#ifdef UPKEEP_HAVE_LIBDEFLATE
  // The length is declared, so the whole stream inflates in one call into a
  // buffer of exactly that size; libdeflate also checks the stream's Adler-32.
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  if (d == nullptr) return nullptr;
  uint8_t none = 0;
  size_t produced = 0;
  const libdeflate_result result = libdeflate_zlib_decompress_ex(
      d, stored.data(), stored.size() - 8, length != 0 ? payload->data.data() : &none, length,
      nullptr, &produced);
  libdeflate_free_decompressor(d);
  if (result != LIBDEFLATE_SUCCESS || produced != length) return nullptr;
  return payload;
#else
  z_stream zs = {};
  if (inflateInit(&zs) != Z_OK) return nullptr;
  // zlib refuses a null output pointer even when nothing is to be written.
  uint8_t none = 0;
  zs.next_in = stored.data();
  zs.avail_in = static_cast<uInt>(stored.size() - 8);
  zs.next_out = length != 0 ? payload->data.data() : &none;
  zs.avail_out = length;
  const int result = inflate(&zs, Z_FINISH);
  const uLong produced = zs.total_out;
  inflateEnd(&zs);
  // Anything short of a complete stream of exactly the declared length is
  // damage; a buffer of unchecked bytes would only fail later, further away.
  if (result != Z_STREAM_END || produced != length) return nullptr;
  return payload;
#endif
}

}  // namespace

std::unique_ptr<Payload> LoadPayloadEntry(const char* name) {
  PackageFile* file = OpenPackageFile(name, "rb");
  if (file == nullptr) return nullptr;
  std::vector<uint8_t> stored;
  const bool read = ReadWhole(file, &stored);
  ClosePackageFile(file);
  return read ? Inflate(stored) : nullptr;
}

std::unique_ptr<Payload> LoadPayload(PackageEntry* entry) {
  if (entry == nullptr || entry->size < 8 || entry->size > kMaxStoredPayload) return nullptr;
  std::vector<uint8_t> stored;
  return ReadPackageEntry(entry, &stored) ? Inflate(stored) : nullptr;
}

}  // namespace upkeep
