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

TEST(AuthoringPayloadWriterTest, RefusesWhatTheLoaderWouldRefuse) {
  std::vector<uint8_t> out = {1};
  uint8_t byte = 0;
  EXPECT_FALSE(EncodePayload(&byte, size_t{kMaxPayloadSize} + 1, &out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(EncodePayload(nullptr, 5, &out));
}

}  // namespace
}  // namespace upkeep
