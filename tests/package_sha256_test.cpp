#include "package/sha256.h"

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"

namespace upkeep {
namespace {

// Restores the processor's path however a test ends.
struct PortableOnly {
  PortableOnly() { Sha256::AllowAcceleration(false); }
  ~PortableOnly() { Sha256::AllowAcceleration(true); }
};

std::string Hex(const std::string& text) { return DigestHex(Sha256Of(text.data(), text.size())); }

TEST(Sha256Test, KnownVectorsOnBothPaths) {
  const std::string million(1000000, 'a');
  const struct {
    const std::string& text;
    const char* digest;
  } vectors[] = {
      {std::string(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {std::string("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(
           "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopq"
           "klmnopqrlmnopqrsmnopqrstnopqrstu"),
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (bool portable : {false, true}) {
    std::unique_ptr<PortableOnly> guard(portable ? new PortableOnly : nullptr);
    for (const auto& v : vectors) {
      EXPECT_EQ(Hex(v.text), v.digest) << portable << " " << v.text.size();
    }
  }
}

// Both paths, fed in pieces of every awkward length, agree with each other
// and with a whole-buffer digest, across the 55/56/64-byte padding edges.
TEST(Sha256Test, PiecesAndPathsAgree) {
  const std::vector<uint8_t> data = test::RandomBytes(70000, 7);
  for (size_t length : {0u, 1u, 55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 4097u, 70000u}) {
    const Sha256Digest whole = Sha256Of(data.data(), length);
    Sha256Digest portable;
    {
      PortableOnly guard;
      portable = Sha256Of(data.data(), length);
    }
    EXPECT_EQ(whole, portable) << length;
    for (size_t step : {1u, 3u, 63u, 64u, 65u, 1000u}) {
      Sha256 sha;
      for (size_t at = 0; at < length; at += step) {
        sha.Update(data.data() + at, std::min(step, length - at));
      }
      EXPECT_EQ(sha.Finish(), whole) << length << " in pieces of " << step;
    }
  }
}

#ifndef _WIN32
// The system's own tool on the same bytes.
TEST(Sha256Test, AgreesWithSha256sum) {
  test::TempDir dir;
  const std::string path = dir.Join("data.bin");
  const std::vector<uint8_t> data = test::RandomBytes(3 * 1000 * 1000 + 17, 11);
  ASSERT_TRUE(test::WriteFileBytes(path, data));
  FILE* pipe = popen(("sha256sum '" + path + "'").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[200] = {};
  ASSERT_NE(fgets(line, sizeof line, pipe), nullptr);
  pclose(pipe);
  EXPECT_EQ(std::string(line).substr(0, 64), DigestHex(Sha256Of(data.data(), data.size())));
}
#endif

}  // namespace
}  // namespace upkeep
