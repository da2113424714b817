// Loading payload entries: a zlib stream, its Adler-32 and its length.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "authoring/payload_writer.h"
#include "package/package.h"
#include "package_test_util.h"
#include "test_util.h"

namespace upkeep {
namespace {

using test::Entry;
using test::PackageTableGuard;
using test::TempDir;

void PutU32(std::vector<uint8_t>* v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) (*v)[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

std::vector<uint8_t> Compressible(size_t n) {
  std::vector<uint8_t> v(n);
  uint32_t x = 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    v[i] = static_cast<uint8_t>((x >> 16) % 4 + (i / 4096) % 7);
  }
  return v;
}

class PackagePayloadTest : public ::testing::Test {
 protected:
  // Serves `stored` as entry "00000001.FILE" of a fresh package and loads it.
  std::unique_ptr<Payload> Load(const std::vector<uint8_t>& stored, bool packed = false) {
    std::string path = dir_.Join("p" + std::to_string(counter_++) + ".exe");
    EXPECT_TRUE(WritePackage(path, test::TestStub(), {Entry("00000001.FILE", stored, packed)}));
    const PackageArchive* record = OpenPackage(path.c_str());
    EXPECT_NE(record, nullptr);
    std::unique_ptr<Payload> p = LoadPayloadEntry("00000001.file");
    // Loading from the entry itself gives the same answer.
    std::unique_ptr<Payload> q =
        record != nullptr ? LoadPayload(FindPackageEntry(*record, "00000001.file")) : nullptr;
    EXPECT_EQ(p == nullptr, q == nullptr);
    if (p != nullptr && q != nullptr) {
      EXPECT_EQ(p->data, q->data);
    }
    EXPECT_EQ(ClosePackage(path.c_str()), 0);
    return p;
  }

  PackageTableGuard guard_;
  TempDir dir_;
  int counter_ = 0;
};

TEST_F(PackagePayloadTest, EmptyAndSmallPayloads) {
  std::unique_ptr<Payload> empty = Load(EncodePayload({}));
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(empty->data.empty());
  std::vector<uint8_t> small = test::Bytes("replacement file");
  std::unique_ptr<Payload> p = Load(EncodePayload(small));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data, small);
  // Payload inside an archive-packed entry: the two layers stack.
  p = Load(EncodePayload(small), true);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data, small);
}

TEST_F(PackagePayloadTest, LargePayloadRoundTrips) {
  std::vector<uint8_t> data = Compressible(2 << 20);
  std::vector<uint8_t> stored = EncodePayload(data);
  ASSERT_FALSE(stored.empty());
  EXPECT_LT(stored.size(), data.size() / 2);
  std::unique_ptr<Payload> p = Load(stored);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(p->data == data);
  // Zeros compress close to deflate's 1032:1 limit, which still loads.
  std::vector<uint8_t> zeros(10 << 20, 0);
  p = Load(EncodePayload(zeros));
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(p->data == zeros);
}

// Whatever encoder the writer uses, the runtime's inflate reads it back: text
// with long repeats (long matches, many blocks) and random bytes (stored
// blocks, which must stay inside the loader's size limit).
TEST_F(PackagePayloadTest, WriterOutputLoadsBack) {
  std::vector<uint8_t> text;
  const std::vector<uint8_t> base = Compressible(140000);
  for (int round = 0; round < 120; ++round) {
    std::vector<uint8_t> line = test::Bytes("record " + std::to_string(round * 7919) + ";");
    text.insert(text.end(), line.begin(), line.end());
    text.insert(text.end(), base.begin() + round * 1000, base.begin() + round * 1000 + 20000);
  }
  std::vector<uint8_t> stored = EncodePayload(text);
  EXPECT_LT(stored.size(), text.size() / 4);
  std::unique_ptr<Payload> p = Load(stored);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(p->data == text);

  const std::vector<uint8_t> noise = test::RandomBytes(3 << 20, 21);
  stored = EncodePayload(noise);
  ASSERT_FALSE(stored.empty());
  EXPECT_LE(stored.size(), noise.size() + noise.size() / 256 + 64);
  p = Load(stored);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(p->data == noise);
}

TEST_F(PackagePayloadTest, DiskFileWhenNoEntryMatches) {
  std::vector<uint8_t> data = test::RandomBytes(3000, 8);
  std::string path = dir_.Join("loose.delta");
  ASSERT_TRUE(test::WriteFileBytes(path, EncodePayload(data)));
  std::unique_ptr<Payload> p = LoadPayloadEntry(path.c_str());
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data, data);
  EXPECT_EQ(LoadPayloadEntry(dir_.Join("absent.delta").c_str()), nullptr);
}

TEST_F(PackagePayloadTest, DamageGivesNoPayload) {
  std::vector<uint8_t> data = Compressible(20000);
  const std::vector<uint8_t> good = EncodePayload(data);
  ASSERT_NE(Load(good), nullptr);
  const size_t stream_size = good.size() - 8;
  // A flipped bit in the zlib stream never yields wrong bytes: mostly no
  // payload, the original where it hit unused padding bits.
  int refused = 0;
  for (size_t at = 0; at < stream_size; at += 97) {
    std::vector<uint8_t> bad = good;
    bad[at] ^= 0x10;
    std::unique_ptr<Payload> p = Load(bad);
    EXPECT_TRUE(p == nullptr || p->data == data) << at;
    refused += p == nullptr;
  }
  EXPECT_GT(refused, static_cast<int>(stream_size / 97) * 9 / 10);
  for (size_t at = stream_size - 4; at < stream_size; ++at) {  // zlib's own Adler-32
    std::vector<uint8_t> bad = good;
    bad[at] ^= 0x01;
    EXPECT_EQ(Load(bad), nullptr) << at;
  }
  // Truncated streams, with the trailer kept or lost.
  for (size_t cut : {size_t{1}, size_t{4}, stream_size / 2, stream_size}) {
    std::vector<uint8_t> bad(good.begin(), good.begin() + static_cast<long>(stream_size - cut));
    bad.insert(bad.end(), good.end() - 8, good.end());
    EXPECT_EQ(Load(bad), nullptr) << cut;
  }
  EXPECT_EQ(Load(std::vector<uint8_t>(good.begin(), good.begin() + 100)), nullptr);
  EXPECT_EQ(Load({1, 2, 3, 4, 5, 6, 7}), nullptr);
  EXPECT_EQ(Load({}), nullptr);
}

TEST_F(PackagePayloadTest, DeclaredLengthMustMatch) {
  std::vector<uint8_t> data = Compressible(5000);
  const std::vector<uint8_t> good = EncodePayload(data);
  const size_t length_at = good.size() - 4;
  for (uint32_t declared :
       {4999u, 5001u, 0u, 1u, kMaxPayloadSize, kMaxPayloadSize + 1, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    std::vector<uint8_t> bad = good;
    PutU32(&bad, length_at, declared);
    EXPECT_EQ(Load(bad), nullptr) << declared;
  }
  // The Adler-32 copy beside the length is informative; zlib checks its own.
  std::vector<uint8_t> other_adler = good;
  other_adler[length_at - 1] ^= 0xFF;
  std::unique_ptr<Payload> p = Load(other_adler);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data, data);
}

}  // namespace
}  // namespace upkeep
