#include <gtest/gtest.h>

#include "authoring/delta_encoder.h"
#include "engine/command_context.h"
#include "platform/file_system.h"
#include "package/delta_extended.h"
#include "redeflate_test_util.h"
#include "engine_test_util.h"

namespace upkeep {
namespace {

using test::CrcText;
using test::Crlf;
using test::ProgressRecorder;
using test::RunOptions;
using test::UpdateFixture;

const std::vector<uint8_t> kExampleDelta = {
    0x00, 0x01, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x99,
    0x1E, 0xA7, 0xE1, 0x93, 0x00, 0x80, 0x03, 0x01, 0x00, 0x00, 0x03, 0x00, 0x00,
    0x00, 0x99, 0x1E, 0xA7, 0x19, 0x4B, 0x00, 0x80, 0xE7, 0x94, 0x00, 0x00};

std::string Patch(const std::string& name, const std::string& entry, const std::string& after) {
  return "PatchFile(\"" + name + "\", \"" + entry + "\", \"0\", \"" + after + "\")";
}

// An old file and the new one the example delta makes of it.
struct Example {
  std::vector<uint8_t> old_data = test::RandomBytes(57344, 11);
  std::vector<uint8_t> new_data;
  Example() {
    new_data = old_data;
    for (size_t at : {256u, 38116u}) {
      new_data[at] = 0x99;
      new_data[at + 1] = 0x1E;
      new_data[at + 2] = 0xA7;
    }
  }
};

TEST(EnginePatchTest, ExampleDeltaPatchesAReadOnlyFileAndRemovesTheTemporaryFile) {
  UpdateFixture f;
  Example ex;
  f.Write("data\\a.bin", ex.old_data);
  f.SetReadOnly("data\\a.bin", true);
  f.AddDecodedDelta("00000004.DELTA", kExampleDelta);
  ProgressRecorder rec;
  RunOptions o;
  o.progress = ProgressRecorder::callback();
  EXPECT_EQ(
      f.Run("all() { " + Patch("data\\\\a.bin", "00000004.delta", CrcText(ex.new_data)) + " }", o),
      kRunSucceeded);
  EXPECT_EQ(f.Read("data\\a.bin"), ex.new_data);
  EXPECT_FALSE(f.IsReadOnly("data\\a.bin"));
  EXPECT_FALSE(f.Exists("mya$$.tmp"));
  std::string target = f.EnginePath("data\\a.bin");
  EXPECT_EQ(f.log(), Crlf("Updated file: " + target + "\n"));
  // Loading, mapping, writing, verifying, in that order, each named; the
  // writing named as the table's newer text or, without it, its older one.
  std::vector<std::string> texts;
  for (const auto& e : rec.events) {
    if (texts.empty() || texts.back() != e.text) texts.push_back(e.text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{ExpandedText("&IDS_PROGRESS_LOADING_UPDATE&"),
                                             ExpandedText("&IDS_PROGRESS_LOADING_SOURCE_FILE&"),
                                             ExpandedText("&IDS_PROGRESS_UPDATING_DATA&"),
                                             ExpandedText("&IDS_PROGRESS_VERYFING_DEST_FILE&")}));
  EXPECT_EQ(rec.events.back().step, 100);
}

TEST(EnginePatchTest, EncodedDeltasChainAcrossVersions) {
  UpdateFixture f;
  std::vector<uint8_t> v0 = test::RandomBytes(300000, 12);
  std::vector<uint8_t> v1 = v0, v2;
  v1.insert(v1.begin() + 1000, 500, 0x42);
  v2.assign(v1.begin() + 20000, v1.end());
  v2.insert(v2.end(), v0.begin(), v0.begin() + 7000);
  f.Write("a.bin", v0);
  f.AddDelta("00000001.DELTA", v0, v1);
  f.AddDelta("00000002.DELTA", v1, v2);
  std::string script = "Version(\"1.0.0\", \"1.0.1\") { " +
                       Patch("a.bin", "00000001.DELTA", CrcText(v1)) + " }\r\n" +
                       "Version(\"1.0.1\", \"1.0.2\") { " +
                       Patch("a.bin", "00000002.DELTA", CrcText(v2)) + " }\r\n";
  EXPECT_EQ(f.Run(script), kRunSucceeded);
  EXPECT_EQ(f.Read("a.bin"), v2);
}

TEST(EnginePatchTest, MissingTargetOrStaleTemporaryFileFailsBeforeAnythingMoves) {
  UpdateFixture f;
  Example ex;
  f.AddDecodedDelta("00000004.DELTA", kExampleDelta);
  std::string script = "all() { " + Patch("a.bin", "00000004.DELTA", CrcText(ex.new_data)) + " }";
  std::string line = "Cannot move file " + f.EnginePath("a.bin") + " to temp file " +
                     f.EnginePath("mya$$.tmp") + "\n";
  EXPECT_EQ(f.Run(script), kOperationFailed);
  EXPECT_EQ(f.log(), Crlf(line));

  // A temporary file left behind may be the only copy of something: it stays,
  // and so does the target.
  f.Write("a.bin", ex.old_data);
  f.WriteText("mya$$.tmp", "leftover");
  EXPECT_EQ(f.Run(script), kOperationFailed);
  EXPECT_EQ(f.log(), Crlf(line));
  EXPECT_EQ(f.Read("a.bin"), ex.old_data);
  EXPECT_EQ(f.Read("mya$$.tmp"), std::vector<uint8_t>({'l', 'e', 'f', 't', 'o', 'v', 'e', 'r'}));
}

TEST(EnginePatchTest, DeltasThatCannotBeAppliedLeaveTheTargetAsItWas) {
  Example ex;
  std::vector<uint8_t> cut(kExampleDelta.begin(), kExampleDelta.end() - 2);
  std::vector<uint8_t> past_end = {0x10, 0x00, 0x00, 0x80, 0xF8, 0xDF, 0x00, 0x00};  // 16 @57336
  std::vector<uint8_t> not_zlib = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  for (const char* entry :
       {"00000001.DELTA", "00000002.DELTA", "00000003.DELTA", "00000009.DELTA"}) {
    UpdateFixture f;
    f.Write("a.bin", ex.old_data);
    f.SetReadOnly("a.bin", true);
    f.AddDecodedDelta("00000001.DELTA", cut);
    f.AddDecodedDelta("00000002.DELTA", past_end);
    f.AddRawEntry("00000003.DELTA", not_zlib);
    EXPECT_EQ(f.Run("all() { " + Patch("a.bin", entry, "00000000") + " }"), kOperationFailed)
        << entry;
    EXPECT_EQ(f.log(), Crlf("ERROR: couldn't update file " + f.EnginePath("a.bin") + " !\n"))
        << entry;
    EXPECT_EQ(f.Read("a.bin"), ex.old_data) << entry;
    EXPECT_TRUE(f.IsReadOnly("a.bin")) << entry;
    EXPECT_FALSE(f.Exists("mya$$.tmp")) << entry;
  }
}

TEST(EnginePatchTest, WrongResultIsUndone) {
  UpdateFixture f;
  Example ex;
  f.Write("a.bin", ex.old_data);
  f.AddDecodedDelta("00000004.DELTA", kExampleDelta);
  EXPECT_EQ(f.Run("all() { " + Patch("a.bin", "00000004.DELTA", "12345678") + " }"),
            kChecksumAfterChange);
  std::string target = f.EnginePath("a.bin");
  EXPECT_EQ(f.log(), Crlf("Updated file: " + target + "\nERROR: wrong crc of: " + target + "!\n"));
  EXPECT_EQ(f.Read("a.bin"), ex.old_data);
  EXPECT_FALSE(f.Exists("mya$$.tmp"));
}

TEST(EnginePatchTest, FailuresAfterTheMoveBringTheOldFileBack) {
  Example ex;
  {
    UpdateFixture f;
    f.Write("a.bin", ex.old_data);
    f.AddDecodedDelta("00000004.DELTA", kExampleDelta);
    test::FaultyFileSystem fs;
    fs.refuseReadOf = "a.bin";
    EXPECT_EQ(f.Run("all() { " + Patch("a.bin", "00000004.DELTA", CrcText(ex.new_data)) + " }"),
              kOperationFailed);
    // The file that cannot be read is named, not a temporary file no run makes.
    EXPECT_EQ(f.log(), Crlf("ERROR: couldn't open file: " + f.EnginePath("a.bin") + "!\n"));
    EXPECT_EQ(f.Read("a.bin"), ex.old_data);
    EXPECT_FALSE(f.Exists("mya$$.tmp"));
  }
  {
    // The old file opens but fails half-way through: the new content is cut
    // short and never takes its place.
    UpdateFixture f;
    f.Write("a.bin", ex.old_data);
    f.AddDecodedDelta("00000004.DELTA", kExampleDelta);
    test::FaultyFileSystem fs;
    fs.failReadsOf = "a.bin";
    fs.readsAllowed = 1;
    RunOptions small;
    small.readWindow = 4096;
    EXPECT_EQ(
        f.Run("all() { " + Patch("a.bin", "00000004.DELTA", CrcText(ex.new_data)) + " }", small),
        kOperationFailed);
    EXPECT_EQ(f.log(), Crlf("ERROR: couldn't update file " + f.EnginePath("a.bin") + " !\n"));
    EXPECT_EQ(f.Read("a.bin"), ex.old_data);
    EXPECT_FALSE(f.Exists("a.bin.~up"));
  }
  {
    UpdateFixture f;
    f.Write("a.bin", ex.old_data);
    f.AddDecodedDelta("00000004.DELTA", kExampleDelta);
    test::FaultyFileSystem fs;
    fs.refuseCreate = "a.bin";
    EXPECT_EQ(f.Run("all() { " + Patch("a.bin", "00000004.DELTA", CrcText(ex.new_data)) + " }"),
              kOperationFailed);
    EXPECT_EQ(f.log(), Crlf("ERROR: couldn't update file " + f.EnginePath("a.bin") + " !\n"));
    EXPECT_EQ(f.Read("a.bin"), ex.old_data);
    EXPECT_FALSE(f.Exists("mya$$.tmp"));
  }
}

// A file of 4 GiB or more is patched like any other: other content is a
// wrong checksum of the new content, never a damaged download or a file too
// large, and the file stays as it was.
TEST(EnginePatchTest, FilesOf4GiBOrMoreWithOtherContentAreWrongNotDamaged) {
  const Example ex;
  UpdateFixture f;
  const int64_t size = (int64_t{1} << 32) + 1;
  {
    // Sparse: no disk blocks behind the hole.
    std::unique_ptr<File> big = GetFileSystem()->Open(f.EnginePath("big.dat"), OpenMode::kWrite);
    ASSERT_NE(big, nullptr);
    ASSERT_EQ(big->Seek(size - 1, SeekOrigin::kBegin), size - 1);
    ASSERT_EQ(big->Write("x", 1), 1);
  }
  f.AddDecodedDelta("00000004.DELTA", kExampleDelta);
  // The delta reads only the start of the file, whose new content then fails
  // its check before it takes the file's place.
  const std::string big = f.EnginePath("big.dat");
  // (A check of the whole file is the large-file test's; reading 4 GiB twice
  // more here would only cost time.)
  const std::string unpatched = "Updated file: " + big + "\nERROR: wrong crc of: " + big + "!\n";
  for (const auto& c : std::vector<std::tuple<std::string, int32_t, std::string>>{
           {Patch("big.dat", "00000004.DELTA", CrcText(ex.new_data)), kChecksumAfterChange,
            unpatched}}) {
    SCOPED_TRACE(std::get<0>(c));
    EXPECT_EQ(f.Run("all() { " + std::get<0>(c) + " }"), std::get<1>(c));
    EXPECT_EQ(f.log(), Crlf(std::get<2>(c)));
    std::unique_ptr<File> big = GetFileSystem()->Open(f.EnginePath("big.dat"), OpenMode::kRead);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(big->Size(), size);
    EXPECT_FALSE(f.Exists("big.dat.~up"));
  }
}

// New content is written under the target's name plus ".~up": at the longest
// target a joined path may be (255 characters) that is 259, still a path the
// system takes, so patching and creating work right up to the limit, and a
// longer target is refused before anything is touched.
TEST(EnginePatchTest, TargetsUpToTheLongestPathArePatchedAndCreated) {
  const std::vector<uint8_t> old_bytes = test::RandomBytes(20000, 61);
  std::vector<uint8_t> new_bytes = old_bytes;
  new_bytes.insert(new_bytes.begin() + 500, 64, 0x42);
  const std::vector<uint8_t> created = test::RandomBytes(3000, 62);
  for (size_t length = 252; length <= 256; ++length) {
    SCOPED_TRACE(length);
    UpdateFixture f;
    // Folders of up to 60 characters, then "p.dat" and "c.dat".
    const size_t folders = length - f.game().size() - 6;
    std::string dir;
    for (size_t left = folders; left > 0;) {
      const size_t part = left <= 61 ? left - 1 : left == 62 ? 59 : 60;
      dir += std::string(part, static_cast<char>('a' + dir.size() % 26)) + "\\";
      left -= part + 1;
    }
    ASSERT_EQ(f.EnginePath(dir + "p.dat").size(), length);
    std::string native = dir;
    for (char& c : native) c = c == '\\' ? '/' : c;
    f.Write(native + "p.dat", old_bytes);
    f.Write(native + "c.dat", old_bytes);
    f.AddDelta("00000001.DELTA", old_bytes, new_bytes);
    f.AddPayload("00000002.FILE", created);
    const int32_t code =
        f.Run("all() { PatchFile(" + test::Lit(dir + "p.dat") + ", \"00000001.DELTA\", \"0\", \"" +
              CrcText(new_bytes) + "\") CreateFile(" + test::Lit(dir + "c.dat") +
              ", \"00000002.FILE\", \"" + CrcText(created) + "\") }");
    if (length <= kMaxJoinedPath) {
      EXPECT_EQ(code, kRunSucceeded) << f.log();
      EXPECT_EQ(f.Read(native + "p.dat"), new_bytes);
      EXPECT_EQ(f.Read(native + "c.dat"), created);
    } else {
      EXPECT_EQ(code, kOperationFailed);
      EXPECT_EQ(f.log(),
                Crlf("ERROR: couldn't update file " + f.EnginePath(dir + "p.dat") + " !\n"));
      EXPECT_EQ(f.Read(native + "p.dat"), old_bytes);
    }
    EXPECT_FALSE(f.Exists(native + "p.dat.~up"));
    EXPECT_FALSE(f.Exists(native + "c.dat.~up"));
  }
}

TEST(EnginePatchTest, InsertOnlyAndEmptyDeltas) {
  UpdateFixture f;
  f.WriteText("a.txt", "old");
  f.WriteText("b.txt", "old");
  f.AddDecodedDelta("00000001.DELTA", {0x02, 0x00, 0x00, 0x00, 'h', 'i'});
  f.AddDecodedDelta("00000002.DELTA", {});
  std::vector<uint8_t> hi = {'h', 'i'};
  EXPECT_EQ(f.Run("all() { " + Patch("a.txt", "00000001.DELTA", CrcText(hi)) + " " +
                  Patch("b.txt", "00000002.DELTA", "00000000") + " }"),
            kRunSucceeded);
  EXPECT_EQ(f.Read("a.txt"), hi);
  EXPECT_TRUE(f.Read("b.txt").empty());
  EXPECT_TRUE(f.Exists("b.txt"));
}

}  // namespace
}  // namespace upkeep

namespace upkeep {
namespace {

// The extended form through PatchFile: it patches, and a stream that cannot be
// applied fails as a basic one does, with the target as it was.
TEST(EnginePatchTest, ExtendedDeltasPatchOrLeaveTheTargetAsItWas) {
  const std::vector<uint8_t> old = {'o', 'l', 'd', '!'};
  const uint8_t add[] = {1, 1, 1};
  auto stream = [](std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> v;
    AppendExtendedDeltaMagic(&v);
    for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
    return v;
  };
  std::vector<uint8_t> good = stream({});
  AppendExtendedDeltaRecord(add, 3, reinterpret_cast<const uint8_t*>("XY"), 2, -3, &good);
  AppendExtendedDeltaRecord(add, 1, nullptr, 0, 0, &good);
  const std::vector<uint8_t> good_out = {'p', 'm', 'e', 'X', 'Y', 'p'};
  std::vector<uint8_t> past_end = stream({});
  AppendExtendedDeltaRecord(add, 3, nullptr, 0, 2, &past_end);
  AppendExtendedDeltaRecord(add, 1, nullptr, 0, 0, &past_end);  // old[5]
  std::vector<uint8_t> cut = good;
  cut.pop_back();
  // The deflated-view form: a new file holding a deflate stream of the old
  // bytes repeated; then the same with a stream length that only deflating
  // again shows to be wrong, once the target is open.
  test::Piece plain_old, xy, repeated;
  plain_old.raw = old;
  xy.raw = {'X', 'Y'};
  for (int i = 0; i < 3; ++i) repeated.raw.insert(repeated.raw.end(), old.begin(), old.end());
  repeated.deflated = true;
  repeated.params.level = 9;
  const test::RedeflatePair deflated = test::MakeRedeflatePair({plain_old}, {xy, repeated});
  test::RedeflateLayout long_stream = deflated.layout;
  long_stream.news[0].stored += 1;
  long_stream.newSize += 1;

  struct Case {
    std::string entry;
    std::vector<uint8_t> bytes;  // decoded for the extended form, stored for the deflated view
    std::vector<uint8_t> out;    // empty: refused
  };
  std::vector<Case> cases = {{"00000001.DELTAX", good, good_out},
                             {"00000001.DELTAX", past_end, {}},
                             {"00000001.DELTAX", cut, {}},
                             {"00000001.DELTAX", {'U', 'K', 'X'}, {}}};
  cases.push_back({"00000001.DeltaZ", test::Serialize(deflated.layout), deflated.newFile});
  cases.push_back({"00000001.DELTAZ", test::Serialize(long_stream), {}});
  cases.push_back({"00000001.DELTAZ", good, {}});
  // The predicted form of the same records; cut short; the extended form's
  // bytes under its name.
  std::vector<uint8_t> predicted;
  ASSERT_TRUE(PackPredictedDelta(good, old.data(), old.size(), good_out.data(), good_out.size(),
                                 &predicted));
  cases.push_back({"00000001.DeltaP", predicted, good_out});
  cases.push_back(
      {"00000001.DELTAP", std::vector<uint8_t>(predicted.begin(), predicted.end() - 1), {}});
  cases.push_back({"00000001.DELTAP", good, {}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    UpdateFixture f;
    f.Write("a.bin", old);
    if (IsExtendedDeltaName(c.entry.c_str())) {
      f.AddDecodedDelta(c.entry, c.bytes);
    } else {
      f.AddRawEntry(c.entry, c.bytes);
    }
    const std::string target = f.EnginePath("a.bin");
    if (!c.out.empty()) {
      EXPECT_EQ(f.Run("all() { " + Patch("a.bin", c.entry, CrcText(c.out)) + " }"), kRunSucceeded);
      EXPECT_EQ(f.log(), Crlf("Updated file: " + target + "\n"));
      EXPECT_EQ(f.Read("a.bin"), c.out);
    } else {
      EXPECT_EQ(f.Run("all() { " + Patch("a.bin", c.entry, "00000000") + " }"), kOperationFailed);
      EXPECT_EQ(f.log(), Crlf("ERROR: couldn't update file " + target + " !\n"));
      EXPECT_EQ(f.Read("a.bin"), old);
    }
    EXPECT_FALSE(f.Exists("mya$$.tmp"));
    EXPECT_FALSE(f.Exists("a.bin.~up"));
  }
}

}  // namespace
}  // namespace upkeep
