// Every delta form decoded as the updater decodes it: the stored bytes read
// in order from their source, the old file through a window, however small.
#include "package/delta_stream.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "authoring/block_stream_writer.h"
#include "authoring/delta_block_match.h"
#include "authoring/delta_encoder.h"
#include "authoring/payload_writer.h"
#include "package/byte_sources.h"
#include "package/delta_format.h"
#include "platform/file_system.h"
#include "test_util.h"

namespace upkeep {
namespace {

// Old and new of a changed asset archive: blocks kept, moved, rewritten,
// bytes inserted and cut.
struct Pair {
  std::vector<uint8_t> old_bytes, new_bytes;
  Pair() {
    old_bytes = test::RandomBytes(300000, 21);
    new_bytes.assign(old_bytes.begin() + 1000, old_bytes.begin() + 120000);
    const std::vector<uint8_t> fresh = test::RandomBytes(5000, 22);
    new_bytes.insert(new_bytes.end(), fresh.begin(), fresh.end());
    new_bytes.insert(new_bytes.end(), old_bytes.begin(), old_bytes.begin() + 1000);
    new_bytes.insert(new_bytes.end(), old_bytes.begin() + 125000, old_bytes.end());
    for (size_t i = 7; i < new_bytes.size(); i += 40009) new_bytes[i] ^= 0x21;
  }
};

// The records of a block-matched delta in the block form, as make stores
// deltas of large files.
std::vector<uint8_t> BlockMatched(const test::TempDir& dir, const Pair& p, uint32_t block) {
  test::WriteFileBytes(dir.Join("m_old"), p.old_bytes);
  test::WriteFileBytes(dir.Join("m_new"), p.new_bytes);
  std::unique_ptr<File> o = GetFileSystem()->Open(dir.Join("m_old"), OpenMode::kRead);
  std::unique_ptr<File> n = GetFileSystem()->Open(dir.Join("m_new"), OpenMode::kRead);
  std::vector<uint8_t> stored;
  BlockStreamWriter writer(
      [&stored](const uint8_t* d, size_t k) {
        stored.insert(stored.end(), d, d + k);
        return true;
      },
      0, 4096);
  BlockMatchOptions options;
  options.block = block;
  options.window = 0;  // the least the encoder can work with
  BlockMatchResult result;
  EXPECT_TRUE(EncodeBlockMatchDelta(
      o.get(), p.old_bytes.size(), n.get(), p.new_bytes.size(), options,
      [&writer](const uint8_t* d, size_t k) { return writer.Write(d, k); }, &result));
  EXPECT_TRUE(writer.Finish());
  const std::vector<uint8_t> head = BlockStreamHeader(writer.rawSize(), 4096);
  std::copy(head.begin(), head.end(), stored.begin());
  // The moved and kept parts are found, the rewritten one is not.
  EXPECT_GT(result.copied, p.new_bytes.size() * 9 / 10);
  EXPECT_EQ(result.copied + result.inserted, p.new_bytes.size());
  return stored;
}

TEST(DeltaStreamTest, EveryFormDecodesThroughAnyWindow) {
  test::TempDir dir;
  const Pair p;
  struct Form {
    const char* name;
    DeltaForm form;
    std::vector<uint8_t> stored;
  };
  std::vector<Form> forms;
  forms.push_back({"basic", DeltaForm::kBasic,
                   EncodePayload(EncodeDelta(p.old_bytes.data(), p.old_bytes.size(),
                                             p.new_bytes.data(), p.new_bytes.size()))});
  for (uint32_t block : {16u, 4096u}) {
    forms.push_back({block == 16 ? "block matches of 16" : "block matches of 4096",
                     DeltaForm::kExtended, BlockMatched(dir, p, block)});
  }
  std::vector<uint8_t> records;
  if (EncodeExtendedDelta(p.old_bytes.data(), p.old_bytes.size(), p.new_bytes.data(),
                          p.new_bytes.size(), &records)) {
    for (ExtendedLayout layout : {ExtendedLayout::kInterleavedDeflate, ExtendedLayout::kSplitStored,
                                  ExtendedLayout::kSplitLzma}) {
      std::vector<uint8_t> stored;
      ASSERT_TRUE(PackExtendedDelta(records, &stored, layout));
      forms.push_back({"extended", DeltaForm::kExtended, stored});
    }
  }
  ASSERT_TRUE(test::WriteFileBytes(dir.Join("old"), p.old_bytes));
  std::unique_ptr<File> old_file = GetFileSystem()->Open(dir.Join("old"), OpenMode::kRead);
  ASSERT_NE(old_file, nullptr);
  for (const Form& f : forms) {
    SCOPED_TRACE(f.name);
    MemorySource stored(f.stored.data(), f.stored.size());
    ExtendedDeltaInfo shape;
    ASSERT_TRUE(InspectDelta(f.form, stored, &shape));
    EXPECT_EQ(shape.outputSize, p.new_bytes.size());
    EXPECT_LE(shape.oldNeeded, p.old_bytes.size());
    for (size_t window : {size_t{61}, size_t{4096}, size_t{1} << 20}) {
      WindowedOldSource old(old_file.get(), p.old_bytes.size(), window);
      std::vector<uint8_t> out;
      ExtendedDeltaInfo info;
      ASSERT_TRUE(DecodeDelta(
          f.form, stored, &old, old.size(),
          [&out](const uint8_t* d, size_t k) { out.insert(out.end(), d, d + k); }, &info))
          << window;
      EXPECT_TRUE(out == p.new_bytes) << window;
    }
    // An old file shorter than the copies need fails, whatever it holds.
    if (shape.oldNeeded > 0) {
      WindowedOldSource shorter(old_file.get(), shape.oldNeeded - 1, 4096);
      ExtendedDeltaInfo info;
      EXPECT_FALSE(DecodeDelta(
          f.form, stored, &shorter, shorter.size(), [](const uint8_t*, size_t) {}, &info));
    }
    // A cut anywhere and a flipped byte in the stored bytes are refused.
    for (size_t cut : {f.stored.size() - 1, f.stored.size() / 2, size_t{5}}) {
      MemorySource part(f.stored.data(), cut);
      ExtendedDeltaInfo info;
      EXPECT_FALSE(InspectDelta(f.form, part, &info)) << cut;
    }
  }
}

}  // namespace
}  // namespace upkeep
