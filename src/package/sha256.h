// SHA-256 (FIPS 180-4), the digest that binds a package's volumes and entries
// to its signed program file. Portable code, and on x86 processors that have
// the SHA extensions a path through them, chosen when the process first
// hashes.
#ifndef UPKEEP_PACKAGE_SHA256_H_
#define UPKEEP_PACKAGE_SHA256_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace upkeep {

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, size_t size);
  // The digest of everything given; the object starts over afterwards.
  Sha256Digest Finish();

  // Whether the processor's SHA instructions do the work.
  static bool Accelerated();
  // Tests compare both paths on one machine: off makes every object hash
  // with the portable code from then on.
  static void AllowAcceleration(bool allow);

 private:
  void Reset();
  void Blocks(const uint8_t* data, size_t count);

  uint32_t state_[8];
  uint64_t length_ = 0;  // bytes given
  uint8_t pending_[64];
  size_t pending_size_ = 0;
};

Sha256Digest Sha256Of(const void* data, size_t size);
// Lower-case hexadecimal, as sha256sum prints it.
std::string DigestHex(const Sha256Digest& digest);

}  // namespace upkeep

#endif  // UPKEEP_PACKAGE_SHA256_H_
