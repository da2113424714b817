#include <gtest/gtest.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "authoring/lzma_allocator.h"
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

// Blocks an encoder left are handed out again, dirty as they are, and
// streams packed through the allocator, again and again, are the ones
// liblzma makes on its own: its output never depends on what a block held.
TEST(AuthoringPayloadWriterTest, SmallLzmaAllocatorReusesBlocksWithoutChangingBytes) {
  const lzma_allocator* a = upkeep::SmallLzmaAllocator();
  for (size_t size : {size_t{1}, size_t{4096}, size_t{528384}, size_t{4096}, size_t{8} << 20}) {
    SCOPED_TRACE(size);
    auto* p = static_cast<uint8_t*>(a->alloc(a->opaque, 1, size));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    std::memset(p, 0xA5, size);
    a->free(a->opaque, p);
  }
  EXPECT_EQ(a->alloc(a->opaque, SIZE_MAX / 2, 4), nullptr);

  const std::vector<uint8_t> data = upkeep::test::RandomBytes(20000, 5);
  std::vector<uint8_t> text_bytes(30000);
  for (size_t i = 0; i < text_bytes.size(); ++i)
    text_bytes[i] = static_cast<uint8_t>("abcabd"[i % 6] + i / 7000);
  const std::vector<uint8_t>& text = text_bytes;
  for (const auto* in : {&data, &text}) {
    lzma_options_lzma o;
    ASSERT_FALSE(lzma_lzma_preset(&o, 6));
    o.dict_size = 1 << 16;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &o}, {LZMA_VLI_UNKNOWN, nullptr}};
    std::vector<uint8_t> plain(lzma_stream_buffer_bound(in->size())), kept(plain.size());
    size_t plain_size = 0, kept_size = 0;
    ASSERT_EQ(lzma_raw_buffer_encode(filters, nullptr, in->data(), in->size(), plain.data(),
                                     &plain_size, plain.size()),
              LZMA_OK);
    for (int round = 0; round < 3; ++round) {
      // What the last encoder left, and then garbage, in every block kept.
      void* dirty = a->alloc(a->opaque, 1, 528384);
      ASSERT_NE(dirty, nullptr);
      std::memset(dirty, 0x5A + round, 528384);
      a->free(a->opaque, dirty);
      kept_size = 0;
      ASSERT_EQ(lzma_raw_buffer_encode(filters, a, in->data(), in->size(), kept.data(), &kept_size,
                                       kept.size()),
                LZMA_OK);
      EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + plain_size, kept.begin(),
                             kept.begin() + kept_size));
    }
  }
  upkeep::ReleaseSmallLzmaBlocks();
}
