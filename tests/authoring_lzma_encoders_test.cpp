#include "authoring/lzma_encoders.h"

#include <gtest/gtest.h>

#include <string>

#include "authoring/work_threads.h"
#include "test_util.h"

namespace upkeep {
namespace {

std::vector<uint8_t> Unpack(const std::vector<uint8_t>& stream, uint32_t dict_size, size_t size) {
  lzma_options_lzma o;
  lzma_lzma_preset(&o, 6);
  o.dict_size = dict_size;
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &o}, {LZMA_VLI_UNKNOWN, nullptr}};
  std::vector<uint8_t> out(size + 1);
  size_t in_pos = 0, out_pos = 0;
  if (lzma_raw_buffer_decode(filters, nullptr, stream.data(), &in_pos, stream.size(), out.data(),
                             &out_pos, out.size()) != LZMA_OK ||
      in_pos != stream.size()) {
    return {};
  }
  out.resize(out_pos);
  return out;
}

// Kept encoders are set up again for streams of every kind in turn, on one
// thread and on several: each stream must be the bytes a fresh encoder makes
// (nothing of the stream before carries over), and only small dictionaries
// are kept.
TEST(LzmaEncoders, KeptEncodersMakeTheBytesOfFreshOnes) {
  std::vector<uint8_t> text;
  for (int i = 0; text.size() < 150000; ++i) {
    const std::string line = "entry " + std::to_string(i * 7 % 1000) + " of the table\n";
    text.insert(text.end(), line.begin(), line.end());
  }
  const std::vector<uint8_t> noise = test::RandomBytes(40000, 4);
  std::vector<uint8_t> zeros(30000, 0);
  zeros[100] = 1, zeros[20000] = 9;
  struct Case {
    const char* name;
    const std::vector<uint8_t>* data;
    size_t size;
    uint32_t dict;
    uint8_t lc, lp, pb;
    lzma_match_finder mf;
    uint32_t nice;
  } cases[] = {
      {"text, default settings", &text, 20000, 20000, 3, 0, 2, LZMA_MF_BT4, 64},
      {"zeros, no literal context, long matches", &zeros, zeros.size(), 32768, 0, 0, 0, LZMA_MF_BT4,
       273},
      {"empty", &text, 0, LZMA_DICT_SIZE_MIN, 0, 1, 0, LZMA_MF_BT4, 64},
      {"noise", &noise, noise.size(), 65536, 1, 0, 0, LZMA_MF_BT4, 128},
      {"text, a quick match finder", &text, 60000, 65536, 3, 0, 0, LZMA_MF_HC4, 16},
      {"text, a dictionary too large to keep", &text, text.size(), 1 << 20, 2, 0, 0, LZMA_MF_BT4,
       64},
      {"a few bytes, position bits", &text, 9, LZMA_DICT_SIZE_MIN, 0, 1, 1, LZMA_MF_BT4, 273},
      {"text again after the rest", &text, 20000, 20000, 3, 0, 2, LZMA_MF_BT4, 64},
  };
  const size_t n = sizeof(cases) / sizeof(cases[0]);
  std::vector<std::vector<uint8_t>> fresh(n);
  std::vector<lzma_options_lzma> options(n);
  for (size_t i = 0; i < n; ++i) {
    const Case& c = cases[i];
    lzma_lzma_preset(&options[i], 6);
    options[i].dict_size = c.dict;
    options[i].lc = c.lc, options[i].lp = c.lp, options[i].pb = c.pb;
    options[i].mf = c.mf;
    options[i].nice_len = c.nice;
    ASSERT_TRUE(EncodeLzma2(options[i], c.data->data(), c.size, &fresh[i])) << c.name;
    const std::vector<uint8_t> back = Unpack(fresh[i], c.dict, c.size);
    ASSERT_EQ(back.size(), c.size) << c.name;
    EXPECT_TRUE(std::equal(back.begin(), back.end(), c.data->begin())) << c.name;
  }
  LzmaEncoders keep;
  for (int round = 0; round < 2; ++round) {
    for (size_t i = 0; i < n; ++i) {
      std::vector<uint8_t> out;
      ASSERT_TRUE(EncodeLzma2(options[i], cases[i].data->data(), cases[i].size, &out, &keep));
      EXPECT_TRUE(out == fresh[i]) << cases[i].name << ", round " << round;
    }
  }
  EXPECT_EQ(keep.idle(), 1u);  // one thread, one encoder, the large one not kept

  WorkThreads threads(3);
  std::vector<std::vector<uint8_t>> outs(4 * n);
  threads.ForEach(outs.size(), [&](size_t t) {
    EncodeLzma2(options[t % n], cases[t % n].data->data(), cases[t % n].size, &outs[t], &keep);
  });
  for (size_t t = 0; t < outs.size(); ++t)
    EXPECT_TRUE(outs[t] == fresh[t % n]) << cases[t % n].name << ", task " << t;
  EXPECT_GE(keep.idle(), 1u);
  EXPECT_LE(keep.idle(), 4u);  // at most one per thread that ran a task
}

}  // namespace
}  // namespace upkeep
