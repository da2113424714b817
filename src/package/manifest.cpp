#include "package/manifest.h"

#include <cstring>

#include "package/package.h"

namespace upkeep {

namespace {

// Reads fields in order, each checked against what is left.
class Fields {
 public:
  Fields(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  bool Bytes(void* out, size_t k) {
    if (k > n_ - at_) return false;
    std::memcpy(out, p_ + at_, k);
    at_ += k;
    return true;
  }
  bool U8(uint8_t* v) { return Bytes(v, 1); }
  bool U16(uint16_t* v) {
    uint8_t b[2];
    if (!Bytes(b, 2)) return false;
    *v = static_cast<uint16_t>(b[0] | b[1] << 8);
    return true;
  }
  bool U32(uint32_t* v) {
    uint8_t b[4];
    if (!Bytes(b, 4)) return false;
    *v = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
         static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
    return true;
  }
  bool U64(uint64_t* v) {
    uint32_t lo, hi;
    if (!U32(&lo) || !U32(&hi)) return false;
    *v = static_cast<uint64_t>(hi) << 32 | lo;
    return true;
  }
  bool Name(size_t limit, std::string* out) {
    uint16_t k;
    if (!U16(&k) || k == 0 || k > limit || k > n_ - at_) return false;
    out->assign(reinterpret_cast<const char*>(p_ + at_), k);
    at_ += k;
    return out->find('\0') == std::string::npos;
  }
  size_t at() const { return at_; }

 private:
  const uint8_t* p_;
  size_t n_;
  size_t at_ = 0;
};

void PutU16(uint16_t v, std::vector<uint8_t>* out) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}
void PutU32(uint32_t v, std::vector<uint8_t>* out) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutU64(uint64_t v, std::vector<uint8_t>* out) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutName(const std::string& name, std::vector<uint8_t>* out) {
  PutU16(static_cast<uint16_t>(name.size()), out);
  out->insert(out->end(), name.begin(), name.end());
}

// A plain file name: it may not lead anywhere but beside the program.
bool IsPlainFileName(const std::string& name) {
  return name != "." && name != ".." && name.find_first_of("/\\:") == std::string::npos;
}

}  // namespace

bool ParseManifest(const uint8_t* bytes, size_t size, Manifest* out) {
  *out = Manifest();
  if (size < 4 + 4 + 4 + kManifestFooterSize || size > kMaxManifestSize) return false;
  const size_t body = size - kManifestFooterSize;
  if (std::memcmp(bytes, kManifestMagic, 4) != 0 ||
      std::memcmp(bytes + size - 4, kManifestFooterMagic, 4) != 0) {
    return false;
  }
  Fields tail(bytes + body + 32, 4);
  uint32_t length = 0;
  if (!tail.U32(&length) || length != size) return false;
  const Sha256Digest digest = Sha256Of(bytes, body);
  if (std::memcmp(digest.data(), bytes + body, 32) != 0) return false;

  Fields f(bytes + 4, body - 4);
  uint32_t count = 0;
  if (!f.U32(&count) || count > body / (2 + 1 + 8 + 32)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    ManifestVolume v;
    if (!f.Name(kMaxVolumeName, &v.name) || !IsPlainFileName(v.name) || !f.U64(&v.size) ||
        !f.Bytes(v.digest.data(), 32)) {
      return false;
    }
    out->volumes.push_back(std::move(v));
  }
  if (!f.U32(&count) || count > kMaxPackageEntries || count > body / (1 + 2 + 1 + 8 + 8 + 4 + 32))
    return false;
  for (uint32_t i = 0; i < count; ++i) {
    ManifestEntry e;
    uint8_t flags = 0;
    if (!f.U8(&flags) || (flags & ~1u) != 0 || !f.Name(kMaxPackagePath, &e.name) ||
        !f.U64(&e.offset) || !f.U64(&e.size) || !f.U32(&e.packedSize) ||
        !f.Bytes(e.digest.data(), 32)) {
      return false;
    }
    e.inVolumes = (flags & 1) != 0;
    out->entries.push_back(std::move(e));
  }
  return f.at() == body - 4;
}

void WriteManifest(const Manifest& manifest, std::vector<uint8_t>* out) {
  out->clear();
  out->insert(out->end(), kManifestMagic, kManifestMagic + 4);
  PutU32(static_cast<uint32_t>(manifest.volumes.size()), out);
  for (const ManifestVolume& v : manifest.volumes) {
    PutName(v.name, out);
    PutU64(v.size, out);
    out->insert(out->end(), v.digest.begin(), v.digest.end());
  }
  PutU32(static_cast<uint32_t>(manifest.entries.size()), out);
  for (const ManifestEntry& e : manifest.entries) {
    out->push_back(e.inVolumes ? 1 : 0);
    PutName(e.name, out);
    PutU64(e.offset, out);
    PutU64(e.size, out);
    PutU32(e.packedSize, out);
    out->insert(out->end(), e.digest.begin(), e.digest.end());
  }
  const Sha256Digest digest = Sha256Of(out->data(), out->size());
  out->insert(out->end(), digest.begin(), digest.end());
  PutU32(static_cast<uint32_t>(out->size() + 8), out);
  out->insert(out->end(), kManifestFooterMagic, kManifestFooterMagic + 4);
}

std::string VolumeFileName(const std::string& program, size_t index) {
  const size_t slash = program.find_last_of("/\\");
  std::string base = slash == std::string::npos ? program : program.substr(slash + 1);
  const size_t dot = base.find_last_of('.');
  if (dot != std::string::npos && dot > 0) base.resize(dot);
  return base + "-" + std::to_string(index + 1) + kVolumeSuffix;
}

}  // namespace upkeep
