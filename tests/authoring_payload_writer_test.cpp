#include <gtest/gtest.h>
#include <zlib.h>

#include <vector>

#include "authoring/payload_writer.h"
#include "package/package.h"
#include "test_util.h"

namespace upkeep {
namespace {

uint32_t GetU32(const std::vector<uint8_t>& v, size_t at) {
  return v[at] | v[at + 1] << 8 | v[at + 2] << 16 | uint32_t{v[at + 3]} << 24;
}

TEST(AuthoringPayloadWriterTest, StreamThenAdlerThenLength) {
  std::vector<uint8_t> data = test::RandomBytes(70000, 4);
  for (size_t i = 0; i < data.size(); i += 3) data[i] = 0;
  std::vector<uint8_t> stored = EncodePayload(data);
  ASSERT_GT(stored.size(), 10u);
  EXPECT_EQ(stored[0], 0x78);
  EXPECT_EQ(stored[1], 0xDA);  // zlib header of the best compression level
  const size_t n = stored.size();
  const uint32_t adler =
      static_cast<uint32_t>(adler32(1, data.data(), static_cast<uInt>(data.size())));
  EXPECT_EQ(GetU32(stored, n - 8), adler);
  // The same value ends the zlib stream, there big-endian.
  const uint32_t trailer =
      uint32_t{stored[n - 12]} << 24 | stored[n - 11] << 16 | stored[n - 10] << 8 | stored[n - 9];
  EXPECT_EQ(trailer, adler);
  EXPECT_EQ(GetU32(stored, n - 4), data.size());
  std::vector<uint8_t> back(data.size());
  uLongf back_size = static_cast<uLongf>(back.size());
  ASSERT_EQ(uncompress(back.data(), &back_size, stored.data(), static_cast<uLong>(n - 8)), Z_OK);
  EXPECT_EQ(back, data);
}

// Whichever encoder the build links, payloads never grow past what zlib's
// best level makes of the same bytes.
TEST(AuthoringPayloadWriterTest, NoLargerThanZlibBest) {
  std::vector<uint8_t> delta_like;
  for (uint32_t i = 0; delta_like.size() < (1u << 20); ++i) {
    const uint32_t words[] = {0x80000000u | (i % 97 + 16), i * 4099u % 0x200000u, 3, i};
    for (uint32_t w : words) {
      for (int k = 0; k < 4; ++k) delta_like.push_back(static_cast<uint8_t>(w >> (8 * k)));
    }
    delta_like.push_back(static_cast<uint8_t>(i));
    delta_like.insert(delta_like.end(), {0x48, 0x8B, 0x45, 0xF8});
  }
  for (size_t n : {size_t{0}, size_t{21}, size_t{106}, size_t{5000}, delta_like.size()}) {
    std::vector<uint8_t> data(delta_like.begin(), delta_like.begin() + static_cast<long>(n));
    std::vector<uint8_t> zlib_best(compressBound(static_cast<uLong>(n)));
    uLongf zlib_size = static_cast<uLongf>(zlib_best.size());
    ASSERT_EQ(compress2(zlib_best.data(), &zlib_size, data.data(), static_cast<uLong>(n), 9), Z_OK);
    const std::vector<uint8_t> stored = EncodePayload(data);
    ASSERT_FALSE(stored.empty()) << n;
    EXPECT_LE(stored.size(), zlib_size + 8) << n;
  }
}

TEST(AuthoringPayloadWriterTest, RefusesWhatTheLoaderWouldRefuse) {
  std::vector<uint8_t> out = {1};
  uint8_t byte = 0;
  EXPECT_FALSE(EncodePayload(&byte, size_t{kMaxPayloadSize} + 1, &out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(EncodePayload(nullptr, 5, &out));
}

}  // namespace
}  // namespace upkeep
