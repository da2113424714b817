// Packages made from two trees, run through the real engine, must turn the old
// tree into the new one exactly.
#include "authoring/delta_encoder.h"
#include "authoring/package_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>

#include "authoring/archive_writer.h"
#include "authoring/package_verifier.h"
#include "authoring/payload_writer.h"
#include "authoring/script_writer.h"
#include "authoring/string_keys.h"
#include "authoring/tree_diff.h"
#include "authoring/version_resource_writer.h"
#include "engine/script_runner.h"
#include "install/bank_files.h"
#include "package/package.h"
#include "package/delta_extended.h"
#include "package/delta_predicted.h"
#include "package/payload_stream.h"
#include "package_test_util.h"
#include "platform/pe_version_reader.h"
#include "app_test_util.h"
#include "test_util.h"

namespace upkeep {
namespace {

namespace fs = std::filesystem;

// Everything below `root`: "d name" for directories, "f name size crc-ish" for files.
std::map<std::string, std::vector<uint8_t>> Snapshot(const std::string& root) {
  std::map<std::string, std::vector<uint8_t>> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    std::string rel = fs::relative(it->path(), root).generic_string();
    if (it->is_directory()) {
      out["d " + rel];
    } else {
      std::vector<uint8_t> bytes;
      EXPECT_TRUE(test::ReadFileBytes(it->path().string(), &bytes));
      out["f " + rel] = bytes;
    }
  }
  return out;
}

void ExpectSameTree(const std::string& got, const std::string& want) {
  auto a = Snapshot(got);
  auto b = Snapshot(want);
  for (const auto& [k, v] : b) {
    auto it = a.find(k);
    if (it == a.end()) {
      ADD_FAILURE() << "missing " << k;
    } else if (it->second != v) {
      ADD_FAILURE() << "content differs: " << k;
    }
  }
  for (const auto& [k, v] : a) {
    if (!b.count(k)) ADD_FAILURE() << "left over " << k;
  }
}

void Write(const std::string& path, const std::vector<uint8_t>& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  ASSERT_TRUE(test::WriteFileBytes(path, bytes));
}

// Somewhat compressible, somewhat repetitive bytes, like game data.
std::vector<uint8_t> Data(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) {
    out[i] = (rng() % 4 == 0) ? static_cast<uint8_t>(rng()) : static_cast<uint8_t>(i / 7);
  }
  return out;
}

std::string Name(std::mt19937& rng) {
  static const char* const kParts[] = {"Data", "maps", "Sound", "tex", "ui", "save", "Bin", "x"};
  return std::string(kParts[rng() % 8]) + std::to_string(rng() % 50);
}

void RandomTree(const std::string& root, std::mt19937& rng) {
  std::vector<std::string> dirs = {""};
  for (int i = 0; i < 6; ++i) {
    std::string d = dirs[rng() % dirs.size()];
    dirs.push_back(d.empty() ? Name(rng) : d + "/" + Name(rng));
  }
  for (const auto& d : dirs) fs::create_directories(fs::path(root) / d);
  for (int i = 0; i < 14; ++i) {
    std::string d = dirs[rng() % dirs.size()];
    std::string f = (d.empty() ? "" : d + "/") + Name(rng) + ".bin";
    if (fs::exists(fs::path(root) / f)) continue;
    Write((fs::path(root) / f).string(), Data(rng, rng() % 3 == 0 ? 0 : rng() % 40000));
  }
}

// New tree: some files edited in place, some removed, some added, a directory
// removed and another added, one file turned into a directory and back.
void Mutate(const std::string& from, const std::string& to, std::mt19937& rng) {
  fs::copy(from, to, fs::copy_options::recursive);
  std::vector<fs::path> files, dirs;
  for (auto& e : fs::recursive_directory_iterator(to)) {
    (e.is_directory() ? dirs : files).push_back(e.path());
  }
  for (const auto& f : files) {
    switch (rng() % 6) {
      case 0: {  // edits inside
        std::vector<uint8_t> b;
        test::ReadFileBytes(f.string(), &b);
        for (int k = 0; k < 5 && !b.empty(); ++k) b[rng() % b.size()] ^= 0x11;
        std::vector<uint8_t> more = Data(rng, rng() % 500);
        b.insert(b.begin() + (b.empty() ? 0 : rng() % b.size()), more.begin(), more.end());
        Write(f.string(), b);
        break;
      }
      case 1:
        fs::remove(f);
        break;
      case 2:  // a file becomes a directory
        fs::remove(f);
        Write((f / "inner.dat").string(), Data(rng, 100));
        break;
      default:
        break;
    }
  }
  if (!dirs.empty() && rng() % 2) fs::remove_all(dirs[rng() % dirs.size()]);
  Write((fs::path(to) / "added" / "deep" / "new.bin").string(), Data(rng, 3000));
  fs::create_directories(fs::path(to) / "empty_dir");
  for (const auto& d : dirs) {
    if (fs::exists(d) && rng() % 4 == 0) {  // a directory becomes a file
      fs::remove_all(d);
      Write(d.string(), Data(rng, 50));
      break;
    }
  }
}

// init-strings' table with this game's settings, any version accepted, and
// the texts given (a null text takes the key out).
std::string Strings(const std::map<std::string, const char*>& texts = {}) {
  std::map<std::string, const char*> all = {{"REG_KEY", "Software\\\\Tests\\\\Game"},
                                            {"REG_DESTINATION", "Install Path"},
                                            {"PROGRAM_NAME", "Test Game"},
                                            {"GAME_VERSION", ""},
                                            {"LANG_VERSION", ""}};
  for (const auto& t : texts) all[t.first] = t.second;
  std::string s = DefaultStringsScript();
  for (const auto& t : all) {
    const std::string head = "\r\nString(\"" + t.first + "\", \"";
    const size_t at = s.find(head);
    if (at == std::string::npos) continue;
    const size_t end = s.find("\r\n", at + 2);
    s.replace(at, end - at,
              t.second ? head + t.second + "\")" : std::string("\r\n// no ") + t.first);
  }
  return s;
}

// The program SRC_EXE names, as every installed game has it.
void AddProgram(const std::string& dir) {
  if (fs::is_directory(dir) && !fs::exists(dir + "/game.exe")) Write(dir + "/game.exe", {'M', 'Z'});
}

class PackageBuilderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    strings_ = tmp_.Join("Strings.scr");
    ASSERT_TRUE(test::WriteFileText(strings_, Strings()));
  }

  MakeOptions Options(const std::string& old_dir, const std::string& new_dir) {
    AddProgram(old_dir);
    AddProgram(new_dir);
    MakeOptions o;
    o.olds.push_back({"", old_dir});
    o.new_dir = new_dir;
    o.strings_path = strings_;
    return o;
  }

  // Runs the package against a copy of `installed`; returns the engine's code.
  int Apply(const std::string& package, const std::string& installed, const std::string& game,
            const std::string& version = "") {
    fs::remove_all(game);
    fs::copy(installed, game, fs::copy_options::recursive);
    std::string log_path = tmp_.Join("patch.log");
    PackageFile* log = OpenPackageFile(log_path.c_str(), "wt");
    RunRequest request;
    request.packagePath = package;
    request.sourceRoot = game;
    request.targetRoot = game;
    request.log = log;
    request.currentVersion = version;
    request.skipShortcuts = true;
    request.linkBaseDir = game + "\\";
    int code = RunUpdateScript(request);
    if (log) ClosePackageFile(log);
    log_ = test::ReadFileText(log_path);
    return code;
  }

  test::TempDir tmp_;
  std::string strings_;
  std::string log_;
};

TEST_F(PackageBuilderTest, RandomTreesAreRebuiltExactly) {
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    std::string base = tmp_.Join("s" + std::to_string(seed));
    std::string old_dir = base + "/old", new_dir = base + "/new", pkg = base + "/update.pkg";
    RandomTree(old_dir, rng);
    Mutate(old_dir, new_dir, rng);
    MakeSummary summary;
    std::string error;
    // Folders gone from the new tree stay, emptied of the old files, unless
    // removing them is asked for; a folder that becomes a file needs that.
    MakeOptions options = Options(old_dir, new_dir);
    options.remove_folders = seed % 2 == 1;
    if (!MakePackage(options, pkg, &summary, &error)) {
      ASSERT_FALSE(options.remove_folders) << error;
      EXPECT_NE(error.find("--remove-folders"), std::string::npos) << error;
      options.remove_folders = true;
      ASSERT_TRUE(MakePackage(options, pkg, &summary, &error)) << error;
    }
    EXPECT_EQ(Apply(pkg, old_dir, base + "/game"), 0) << log_;
    if (!options.remove_folders) {
      EXPECT_EQ(log_.find("Removed dir"), std::string::npos) << log_;
    }
    for (const auto& kept : summary.kept_folders) {
      ASSERT_FALSE(options.remove_folders) << kept;
      std::string dir = (fs::path(base) / "game" / fs::path(kept).lexically_normal()).string();
      std::replace(dir.begin(), dir.end(), '\\', '/');
      ASSERT_TRUE(fs::is_directory(dir)) << kept;
      for (auto& e : fs::recursive_directory_iterator(dir)) {
        if (!e.is_directory()) ADD_FAILURE() << "left " << e.path();
      }
      fs::remove_all(dir);
    }
    ExpectSameTree(base + "/game", new_dir);
    // Run on a tree it was not made for, it stops before changing anything.
    int code = Apply(pkg, new_dir, base + "/game2");
    if (code != 0) {
      EXPECT_EQ(code, 6) << log_;
      ExpectSameTree(base + "/game2", new_dir);
    }
  }
}

// The forms for files of any size, made small: every file over 2 KiB goes
// whole in blocks or gets a delta of the large-file search, and the payloads spill
// into data volumes of 16 KiB. The updater rebuilds the new tree exactly,
// reading the volumes; the package and its volumes pass verify.
TEST_F(PackageBuilderTest, LargeFormsAndVolumesRebuildTreesExactly) {
  for (uint32_t seed = 11; seed <= 13; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    std::string base = tmp_.Join("l" + std::to_string(seed));
    std::string old_dir = base + "/old", new_dir = base + "/new", pkg = base + "/update.exe";
    RandomTree(old_dir, rng);
    Mutate(old_dir, new_dir, rng);
    // A big file changed in a few places, and one rewritten whole.
    std::vector<uint8_t> big = Data(rng, 200000);
    Write(old_dir + "/Data/big.pak", big);
    big[5] ^= 1;
    big.insert(big.begin() + 100000, 300, 7);
    big.erase(big.end() - 1000, big.end() - 900);
    Write(new_dir + "/Data/big.pak", big);
    Write(old_dir + "/Data/other.pak", test::RandomBytes(60000, seed));
    Write(new_dir + "/Data/other.pak", test::RandomBytes(60000, seed + 100));
    MakeOptions options = Options(old_dir, new_dir);
    options.remove_folders = true;
    options.large_from = 2048;
    options.match_block = 64;
    options.volume_size = 16384;
    MakeSummary summary;
    std::string error;
    ASSERT_TRUE(MakePackage(options, pkg, &summary, &error)) << error;
    EXPECT_GT(summary.volumes, 1u);
    {
      test::PackageTableGuard guard;
      PackageArchive* archive = OpenPackage(pkg.c_str());
      ASSERT_NE(archive, nullptr);
      EXPECT_EQ(archive->volumeList.size(), summary.volumes);
      bool blocks = false, matched = false;
      for (const auto& e : archive->entries) {
        blocks = blocks || IsBlockFileName(e->name.c_str());
        matched = matched || IsExtendedDeltaName(e->name.c_str()) ||
                  IsPredictedDeltaName(e->name.c_str());
      }
      EXPECT_TRUE(blocks);
      EXPECT_TRUE(matched);
      VerifyReport report = VerifyPackage(*archive);
      EXPECT_TRUE(report.faults.empty()) << report.faults[0];
      ClosePackage(pkg.c_str());
    }
    EXPECT_EQ(Apply(pkg, old_dir, base + "/game"), 0) << log_;
    ExpectSameTree(base + "/game", new_dir);
  }
}

TEST_F(PackageBuilderTest, ScriptChecksFirstAndPatchesWithDeltas) {
  std::mt19937 rng(42);
  std::string old_dir = tmp_.Join("old"), new_dir = tmp_.Join("new");
  std::vector<uint8_t> big = Data(rng, 300000);
  Write(old_dir + "/Data/level.pak", big);
  big[1000] ^= 1;
  big.insert(big.begin() + 200000, 77, 5);
  Write(new_dir + "/Data/level.pak", big);
  Write(old_dir + "/gone.txt", {1, 2, 3});
  // The same new file twice travels once.
  Write(new_dir + "/en/intro.bik", test::RandomBytes(3000, 9));
  Write(new_dir + "/de/intro.bik", test::RandomBytes(3000, 9));
  // Rewritten completely: a delta cannot beat the whole file.
  Write(old_dir + "/rand.bin", test::RandomBytes(5000, 1));
  Write(new_dir + "/rand.bin", test::RandomBytes(5000, 2));
  std::vector<ArchiveEntry> entries;
  MakeSummary summary;
  std::string error;
  ASSERT_TRUE(BuildUpdate(Options(old_dir, new_dir), &entries, &summary, &error)) << error;
  EXPECT_EQ(summary.patched, 1u);
  EXPECT_EQ(summary.created, 3u);
  EXPECT_EQ(entries.size(), 2u + 3u);  // patch.scr, Strings.scr, the delta and two files
  std::string script0(entries[0].data.begin(), entries[0].data.end());
  EXPECT_NE(script0.find("CreateFile(\"de\\\\intro.bik\", \"00000003.FILE\""), std::string::npos);
  EXPECT_NE(script0.find("CreateFile(\"en\\\\intro.bik\", \"00000003.FILE\""), std::string::npos);
  std::string script(entries[0].data.begin(), entries[0].data.end());
  size_t check = script.find("CheckFile(\"Data\\\\level.pak\"");
  size_t space = script.find("  FreeSpace(");
  // Either delta form; the smaller one depends on the encoders.
  size_t patch = script.find("PatchFile(\"Data\\\\level.pak\", \"00000001.DELTA");
  size_t create = script.find("CreateFile(\"rand.bin\"");
  size_t remove = script.find("DeleteFile(\"gone.txt\"");
  ASSERT_NE(check, std::string::npos) << script;
  ASSERT_NE(patch, std::string::npos) << script;
  ASSERT_NE(create, std::string::npos) << script;
  EXPECT_LT(check, space);
  EXPECT_LT(script.find("CheckFile(\"gone.txt\""), space);
  EXPECT_LT(space, patch);
  EXPECT_LT(patch, create);
  EXPECT_LT(create, remove);
  EXPECT_LT(summary.payload_bytes, 10000u);  // the 300 kB file travels as a small delta
  // Room for the patched file beside its old copy: the most needed at any one
  // time, as the new files come only after the old copy is gone.
  unsigned long space_needed = std::stoul(script.substr(space + 12));
  EXPECT_GE(space_needed, 300077u);
  EXPECT_LE(space_needed, 300077u + 4096u);
}

// Large new files are mapped and walked in windows, and files are encoded on
// threads, large ones in pieces; the package must depend on none of it. Every
// window and piece boundary falls inside long copies here, in each encoder and
// delta form; the package made in pieces on four threads updates the tree.
TEST_F(PackageBuilderTest, WindowsAndThreadsMakeTheSamePackage) {
  std::mt19937 rng(7);
  std::string old_dir = tmp_.Join("old"), new_dir = tmp_.Join("new");
  // Over the size where the extended form grows the basic form's copies:
  // blocks replaced, one moved, bytes inserted.
  std::vector<uint8_t> big = Data(rng, (size_t{5} << 20) + 123);
  Write(old_dir + "/Data/assets.pak", big);
  std::vector<uint8_t> moved(big.begin() + 3000000, big.begin() + 3300000);
  big.erase(big.begin() + 3000000, big.begin() + 3300000);
  big.insert(big.begin() + 100000, moved.begin(), moved.end());
  for (size_t at : {size_t{1} << 20, size_t{4} << 20}) {
    std::vector<uint8_t> block = test::RandomBytes(65536, static_cast<uint32_t>(at));
    std::copy(block.begin(), block.end(), big.begin() + static_cast<ptrdiff_t>(at));
  }
  big.insert(big.begin() + 2500000, 4000, 9);
  Write(new_dir + "/Data/assets.pak", big);
  // Small, edited here and there: the suffix-sorted search.
  std::vector<uint8_t> code = Data(rng, 200000);
  Write(old_dir + "/engine.dll", code);
  for (size_t i = 0; i < code.size(); i += 997) code[i] += 3;
  Write(new_dir + "/engine.dll", code);
  // Rewritten whole (large enough for make's fast deflate trial, which must
  // not keep the whole file from beating the basic form's inserts), emptied,
  // and grown from nothing.
  Write(old_dir + "/rand.bin", test::RandomBytes((1 << 20) + 1000, 1));
  Write(new_dir + "/rand.bin", test::RandomBytes((1 << 20) + 1000, 2));
  Write(old_dir + "/log.txt", {1, 2, 3});
  Write(new_dir + "/log.txt", {});
  Write(old_dir + "/empty.dat", {});
  Write(new_dir + "/empty.dat", Data(rng, 9000));

  using Format = MakeOptions::DeltaFormat;
  for (Format format : {Format::kSmaller, Format::kBasic, Format::kExtended, Format::kPredicted}) {
    SCOPED_TRACE(static_cast<int>(format));
    MakeSummary summary;
    std::string error;
    MakeOptions options = Options(old_dir, new_dir);
    options.delta_format = format;
    options.windowed_from = UINT64_MAX;
    options.threads = 1;
    options.piece = 65536;  // the search and the long streams in pieces
    const std::string one = tmp_.Join("one.pkg"), four = tmp_.Join("four.pkg");
    ASSERT_TRUE(MakePackage(options, one, &summary, &error)) << error;
    const PackageArchive* archive = OpenPackage(one.c_str());
    ASSERT_NE(archive, nullptr);
    std::vector<uint8_t> script_bytes;
    ASSERT_TRUE(ReadPackageEntry(FindPackageEntry(*archive, "patch.scr"), &script_bytes));
    ClosePackage(one.c_str());
    const std::string script(script_bytes.begin(), script_bytes.end());
    if (format == Format::kBasic) {
      EXPECT_NE(script.find("CreateFile(\"rand.bin\""), std::string::npos) << script;
    }
    // Builds without the suffix sort (MinGW) write no extended form at all.
    std::vector<uint8_t> probe;
    const uint8_t tiny[16] = {};
    if (format != Format::kExtended ||
        EncodeExtendedDelta(tiny, sizeof tiny, tiny, sizeof tiny, &probe, nullptr, nullptr)) {
      EXPECT_NE(script.find("PatchFile(\"Data\\\\assets.pak\""), std::string::npos) << script;
    }
    options.windowed_from = 0;
    options.window = 4093;
    options.threads = 4;
    ASSERT_TRUE(MakePackage(options, four, &summary, &error)) << error;
    std::vector<uint8_t> a, b;
    ASSERT_TRUE(test::ReadFileBytes(one, &a));
    ASSERT_TRUE(test::ReadFileBytes(four, &b));
    EXPECT_TRUE(a == b);
    EXPECT_EQ(Apply(four, old_dir, tmp_.Join("game")), 0) << log_;
    ExpectSameTree(tmp_.Join("game"), new_dir);
  }
}

// Payloads past the memory budget wait in a spool file, and large files sent
// whole are streamed: the first makes the same package, the second one that
// verifies and updates; neither leaves a spool behind, made or failed.
TEST_F(PackageBuilderTest, SpooledAndStreamedPayloadsMakeWorkingPackages) {
  std::mt19937 rng(11);
  std::string old_dir = tmp_.Join("old"), new_dir = tmp_.Join("new");
  // Random and compressible pieces by turns, so the stream changes level.
  std::vector<uint8_t> mixed;
  for (uint32_t i = 0; i < 3; ++i) {
    std::vector<uint8_t> part =
        i % 2 == 0 ? test::RandomBytes(size_t{1} << 20, i) : Data(rng, size_t{1} << 20);
    mixed.insert(mixed.end(), part.begin(), part.end());
  }
  Write(new_dir + "/Movies/intro.bik", mixed);
  Write(new_dir + "/Movies/Copy/intro.bik", mixed);  // stored once
  Write(new_dir + "/empty.dat", {});
  // Rewritten whole: the streamed file does without the basic form's payload.
  Write(old_dir + "/rand.bin", test::RandomBytes(size_t{1} << 20, 1));
  Write(new_dir + "/rand.bin", test::RandomBytes(size_t{1} << 20, 2));
  // Half rewritten: the stream of the whole file stops once over the delta.
  std::vector<uint8_t> half = test::RandomBytes(size_t{1} << 20, 3);
  Write(old_dir + "/Data/half.pak", half);
  std::vector<uint8_t> other = test::RandomBytes(half.size() / 2, 4);
  std::copy(other.begin(), other.end(), half.begin() + static_cast<ptrdiff_t>(other.size()));
  Write(new_dir + "/Data/half.pak", half);

  const auto spools = [this]() {
    std::vector<std::string> found;
    for (auto& e : fs::recursive_directory_iterator(tmp_.path())) {
      if (e.path().extension() == ".spool") found.push_back(e.path().string());
    }
    return found;
  };
  MakeSummary summary;
  std::string error;
  std::vector<ArchiveEntry> held, spooled;
  MakeOptions o = Options(old_dir, new_dir);
  o.delta_format = MakeOptions::DeltaFormat::kBasic;  // quick; the spool is the same for all
  o.spool_stem = tmp_.Join("work");
  ASSERT_TRUE(BuildUpdate(o, &held, &summary, &error)) << error;
  o.held_payloads = 0;
  ASSERT_TRUE(BuildUpdate(o, &spooled, &summary, &error)) << error;
  ASSERT_EQ(spooled.size(), held.size());
  EXPECT_EQ(spooled.size(), 2u + 4u);  // scripts, two files, the delta, the rewritten file
  EXPECT_NE(spooled.back().spool, nullptr);
  EXPECT_EQ(spools().size(), 1u);
  std::vector<uint8_t> a, b;
  ASSERT_TRUE(BuildPackage({}, held, &a, &error)) << error;
  ASSERT_TRUE(BuildPackage({}, spooled, &b, &error)) << error;
  EXPECT_TRUE(a == b);
  spooled.clear();
  EXPECT_TRUE(spools().empty());

  o.streamed_from = 0;
  o.window = 4093;
  const std::string pkg = tmp_.Join("out.pkg");
  ASSERT_TRUE(MakePackage(o, pkg, &summary, &error)) << error;
  EXPECT_TRUE(spools().empty());
  EXPECT_EQ(summary.patched, 1u);
  EXPECT_EQ(summary.created, 4u);
  const PackageArchive* archive = OpenPackage(pkg.c_str());
  ASSERT_NE(archive, nullptr);
  const VerifyReport report = VerifyPackage(*archive);
  ClosePackage(pkg.c_str());
  EXPECT_TRUE(report.faults.empty()) << report.faults[0];
  EXPECT_EQ(Apply(pkg, old_dir, tmp_.Join("game")), 0) << log_;
  ExpectSameTree(tmp_.Join("game"), new_dir);

  // The output cannot be written: the spool beside it goes all the same.
  const std::string blocked = tmp_.Join("blocked");
  fs::create_directories(blocked);
  o.spool_stem.clear();
  EXPECT_FALSE(MakePackage(o, blocked, &summary, &error));
  EXPECT_TRUE(spools().empty());
}

TEST_F(PackageBuilderTest, VersionChainsBringEveryOldVersionToTheNewest) {
  std::mt19937 rng(7);
  std::string v1 = tmp_.Join("v1"), v2 = tmp_.Join("v2"), v3 = tmp_.Join("v3"),
              pkg = tmp_.Join("p");
  RandomTree(v1, rng);
  Mutate(v1, v2, rng);
  Mutate(v2, v3, rng);
  for (const auto& v : {v1, v2}) AddProgram(v);
  MakeOptions o = Options("", v3);
  o.olds = {{"1.0.0.0", v1}, {"1.1.0.0", v2}};
  o.to_version = "1.2";
  o.remove_folders = true;
  o.allow_any_version = true;  // the programs carry no version resource
  MakeSummary summary;
  std::string error;
  ASSERT_TRUE(MakePackage(o, pkg, &summary, &error)) << error;
  EXPECT_EQ(summary.sections, 3u);  // a Version section for each old tree, the closing check
  EXPECT_EQ(Apply(pkg, v1, tmp_.Join("g1"), "1.0.0.0"), 0) << log_;
  ExpectSameTree(tmp_.Join("g1"), v3);
  EXPECT_EQ(Apply(pkg, v2, tmp_.Join("g2"), "1.1.0.0"), 0) << log_;
  ExpectSameTree(tmp_.Join("g2"), v3);
  // An installation at neither version is left alone, and the run says so.
  EXPECT_EQ(Apply(pkg, v1, tmp_.Join("g3"), "0.9.0.0"), 6) << log_;
  ExpectSameTree(tmp_.Join("g3"), v1);
  // Run again on the updated game, it changes nothing and succeeds.
  EXPECT_EQ(Apply(pkg, tmp_.Join("g1"), tmp_.Join("g4"), "1.2"), 0) << log_;
  ExpectSameTree(tmp_.Join("g4"), v3);
}

// The updater deletes stale bank files when it changes the game and truncates
// its log before the script runs: a package must not check, patch or delete
// them.
TEST_F(PackageBuilderTest, FilesTheUpdaterReplacesFirstAreLeftOut) {
  std::string old_dir = tmp_.Join("old"), new_dir = tmp_.Join("new"), pkg = tmp_.Join("p");
  std::mt19937 rng(3);
  auto both = [&](const std::string& name, const std::vector<uint8_t>& a,
                  const std::vector<uint8_t>& b) {
    Write(old_dir + "/" + name, a);
    Write(new_dir + "/" + name, b);
  };
  const std::vector<uint8_t> same2 = Data(rng, 300), same3 = Data(rng, 300);
  both("Data/Levels/bank01.dat", Data(rng, 5000), Data(rng, 5000));  // changed
  both("Data/Levels/sub/BANK2", same2, same2);                       // same, nested
  both("Data/LevelsCustom/.keep/bank3", same3, same3);               // not a stale bank
  both("Data/Other/bank4.dat", Data(rng, 3000), Data(rng, 3000));    // not a bank folder
  Write(old_dir + "/Data/Films/bankOld.bik", Data(rng, 100));        // gone in the new tree
  fs::create_directories(new_dir + "/Data/Films");
  Write(old_dir + "/patch.log", {'o', 'l', 'd'});
  Write(old_dir + "/mya$$.tmp", {1});
  Write(new_dir + "/PATCH.LOG", {'n'});

  MakeSummary summary;
  std::string error;
  ASSERT_TRUE(MakePackage(Options(old_dir, new_dir), pkg, &summary, &error)) << error;
  std::string notes;
  for (const auto& n : summary.notes) notes += n + "\n";
  for (const auto& n : summary.warnings) notes += n + "\n";
  EXPECT_NE(notes.find("bankOld.bik"), std::string::npos) << notes;
  EXPECT_NE(notes.find("bank01.dat: the updater deletes bank files when it changes the game; the "
                       "package writes it again"),
            std::string::npos)
      << notes;
  EXPECT_NE(notes.find("PATCH.LOG"), std::string::npos) << notes;
  EXPECT_EQ(notes.find("bank4"), std::string::npos) << notes;
  EXPECT_EQ(notes.find("bank3"), std::string::npos) << notes;

  // As the updater runs it: banks cleaned, the log truncated, then the script.
  std::string game = tmp_.Join("game");
  fs::copy(old_dir, game, fs::copy_options::recursive);
  DeleteStaleBankFiles(game);
  fs::remove(game + "/mya$$.tmp");
  std::string installed = tmp_.Join("installed");
  fs::rename(game, installed);
  EXPECT_EQ(Apply(pkg, installed, game), 0) << log_;
  EXPECT_EQ(log_.find("patch.log"), std::string::npos) << log_;
  EXPECT_EQ(log_.find("bank01.dat !"), std::string::npos) << log_;
  fs::remove(game + "/patch.log");
  fs::remove(new_dir + "/PATCH.LOG");
  ExpectSameTree(game, new_dir);
  // Run again on the updated game, it stops before it changes anything.
  for (const char* folder : kBankFolders) DeleteBankFiles(game + folder);
  fs::rename(game, installed + "2");
  EXPECT_EQ(Apply(pkg, installed + "2", game), 6) << log_;
}

TEST_F(PackageBuilderTest, RefusesBadInputAndLeavesOutputAlone) {
  std::string old_dir = tmp_.Join("old"), new_dir = tmp_.Join("new"), out = tmp_.Join("out");
  Write(old_dir + "/a", {1});
  Write(new_dir + "/a", {2});
  ASSERT_TRUE(test::WriteFileText(out, "previous"));
  MakeSummary summary;
  std::string error;
  MakeOptions o = Options(old_dir, tmp_.Join("missing"));
  EXPECT_FALSE(MakePackage(o, out, &summary, &error));
  o = Options(old_dir, new_dir);
  o.strings_path = tmp_.Join("no-strings");
  EXPECT_FALSE(MakePackage(o, out, &summary, &error));
  std::string broken = tmp_.Join("Broken.scr");
  ASSERT_TRUE(test::WriteFileText(broken, "String(\"A\", \"b\")\r\n"));  // no prototype
  o = Options(old_dir, new_dir);
  o.strings_path = broken;
  EXPECT_FALSE(MakePackage(o, out, &summary, &error));
  EXPECT_EQ(summary.script_messages,
            std::vector<std::string>{broken + ":1:1: error: unknown keyword string"});
  std::string lf_only = tmp_.Join("Lf.scr");  // one long comment: no String at all
  ASSERT_TRUE(test::WriteFileText(lf_only, "// texts\n!String(s, s)\nString(\"A\", \"b\")\n"));
  o.strings_path = lf_only;
  EXPECT_FALSE(MakePackage(o, out, &summary, &error));
  EXPECT_NE(error.find("CR LF"), std::string::npos) << error;
  o = Options(old_dir, new_dir);
  o.olds = {{"1.0.0.0", old_dir}};  // versioned, but no target version
  EXPECT_FALSE(MakePackage(o, out, &summary, &error));
  o.to_version = "1.1";
  o.olds = {{"1.0", old_dir}};  // no installed game reports a version that short
  EXPECT_FALSE(MakePackage(o, out, &summary, &error));
  EXPECT_NE(error.find("7 characters"), std::string::npos) << error;
  o.olds = {{"1.0.0.0", old_dir}};
  o.to_version = "1.0.0.0.0.1";  // longer than the runtime keeps
  EXPECT_FALSE(MakePackage(o, out, &summary, &error));
  o = Options(old_dir, new_dir);
  o.to_version = "2.0";  // a target version without versioned sources
  EXPECT_FALSE(MakePackage(o, out, &summary, &error));
  EXPECT_EQ(test::ReadFileText(out), "previous");
  // Names that differ in case alone are one name on the game's file system.
  Write(new_dir + "/A", {3});
  size_t names = 0;
  for (auto& e : fs::directory_iterator(new_dir)) {
    names += CompareNames(e.path().filename().string(), "a") == 0 ? 1 : 0;
  }
  if (names == 2) {  // only a case-sensitive file system can hold both
    EXPECT_FALSE(MakePackage(Options(old_dir, new_dir), out, &summary, &error));
    EXPECT_NE(error.find("case"), std::string::npos) << error;
    EXPECT_EQ(test::ReadFileText(out), "previous");
  }
}

// Updates that would fail for every player, or do nothing, are refused with
// what to fix; what only looks wrong can be forced.
TEST_F(PackageBuilderTest, RefusesUpdatesThatCannotWork) {
  const std::string old_dir = tmp_.Join("old"), new_dir = tmp_.Join("new");
  Write(old_dir + "/data.bin", {1, 2, 3});
  Write(new_dir + "/data.bin", {1, 2, 4});
  Write(old_dir + "/Setup.exe", {'M', 'Z'});
  const std::vector<uint8_t> old_exe = test::GameExecutable("1.0.0.1en");
  const std::vector<uint8_t> new_exe = test::GameExecutable("1.0.0.2en");
  const std::string terms = tmp_.Join("terms.txt");
  ASSERT_TRUE(test::WriteFileText(terms, "Terms."));
  const std::string utf8_pl = "Zaktualizowano gr\xC4\x99 \xC5\xBC\xC3\xB3\xC5\x82wia";
  const struct Case {
    const char* what;
    std::string strings;  // the table's bytes
    bool program = true;  // the old tree has SRC_EXE's program
    bool swapped = false;
    bool same = false;
    bool with_terms = false;
    bool force_downgrade = false;
    const char* error;  // empty: made
  } kCases[] = {
      {"no program", Strings(), false, false, false, false, false,
       "SRC_EXE \"game.exe\" names no program of the old tree: the updater would refuse"},
      {"no REG_KEY", Strings({{"REG_KEY", nullptr}}), true, false, false, false, false,
       "lacks REG_KEY, which the updater cannot do without"},
      {"no dialog title", Strings({{"GAME_VERSION", "1.0.0.1"}, {"UPDATE_TITLE", nullptr}}), true,
       false, false, false, false, "lacks UPDATE_TITLE"},
      {"no licence title", Strings({{"IDS_TITLE_LICENCE", nullptr}}), true, false, false, true,
       false, "lacks IDS_TITLE_LICENCE"},
      {"example key", Strings({{"REG_KEY", "SOFTWARE\\\\Example Studio\\\\Example Game"}}), true,
       false, false, false, false,
       "REG_KEY still holds init-strings' example \"SOFTWARE\\Example Studio\\Example Game\""},
      {"example value", Strings({{"REG_DESTINATION", "ExampleInstallPath"}}), true, false, false,
       false, false, "REG_DESTINATION still holds init-strings' example"},
      {"example name", Strings({{"PROGRAM_NAME", "Example Game"}}), true, false, false, false,
       false, "PROGRAM_NAME still holds init-strings' example"},
      {"same trees", Strings(), true, false, true, false, false,
       "the old and new trees hold the same files"},
      {"swapped", Strings(), true, true, false, false, false,
       "the new tree's program is version \"1.0.0.1en\", older than \"1.0.0.2en\""},
      {"downgrade forced", Strings(), true, true, false, false, true, ""},
      {"UTF-16", "\xFF\xFE!\0", true, false, false, false, false, "is UTF-16"},
      {"UTF-8 outside the code page",
       Strings({{"IDS_UPDATE_SUCCESSFUL", "Zaktualizowano gr\xC4\x99"}}), true, false, false, false,
       false, "' (U+0119) is not in code page 1252"},
      {"UTF-8 with a mark", "\xEF\xBB\xBF" + Strings({{"IDS_UPDATE_SUCCESSFUL", "Caf\xC3\xA9"}}),
       true, false, false, false, false, ""},
      {"UTF-8 in its Locale",
       "!Locale(s)\r\nLocale(\"Polish\")\r\n" +
           Strings({{"IDS_UPDATE_SUCCESSFUL", utf8_pl.c_str()}}),
       true, false, false, false, false, ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(test::WriteFileText(strings_, c.strings));
    fs::remove(old_dir + "/game.exe");
    fs::remove(new_dir + "/game.exe");
    if (c.program) Write(old_dir + "/game.exe", c.swapped ? new_exe : old_exe);
    Write(new_dir + "/game.exe", c.swapped ? old_exe : new_exe);
    MakeOptions o;
    o.olds = {{"", old_dir}};
    o.new_dir = c.same ? old_dir : new_dir;
    o.strings_path = strings_;
    if (c.with_terms) o.terms_path = terms;
    o.force_downgrade = c.force_downgrade;
    std::vector<ArchiveEntry> entries;
    MakeSummary summary;
    std::string error;
    const bool made = BuildUpdate(o, &entries, &summary, &error);
    if (*c.error != 0) {
      EXPECT_FALSE(made);
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
      continue;
    }
    ASSERT_TRUE(made) << error;
    // The package's table is in the code page the updater reads it in.
    ASSERT_EQ(entries[1].name, "Strings.scr");
    const std::string table(entries[1].data.begin(), entries[1].data.end());
    std::string notes;
    for (const auto& n : summary.notes) notes += n + "\n";
    for (const auto& w : summary.warnings) notes += w + "\n";
    if (c.force_downgrade) {
      EXPECT_NE(notes.find("takes players back"), std::string::npos) << notes;
    } else if (c.strings[0] == '\xEF') {
      EXPECT_EQ(table.compare(0, 3, "// "), 0);
      EXPECT_NE(table.find("Caf\xE9\")"), std::string::npos);
      EXPECT_NE(notes.find("byte-order mark"), std::string::npos) << notes;
    } else {
      EXPECT_NE(table.find("Zaktualizowano gr\xEA \xBF\xF3\xB3wia\")"), std::string::npos);
      EXPECT_NE(notes.find("converted to code page 1250"), std::string::npos) << notes;
    }
  }
  // Where the table's character is: line and column, as an editor counts.
  ASSERT_TRUE(test::WriteFileText(
      strings_, "!String(s, s)\r\nString(\"A\", \"\xC3\xA9\xE2\x82\xAC\xCE\xA9\")\r\n"));
  std::vector<ArchiveEntry> entries;
  MakeSummary summary;
  std::string error;
  EXPECT_FALSE(BuildUpdate(Options(old_dir, new_dir), &entries, &summary, &error));
  EXPECT_EQ(error.find(strings_ + ":2:16: '\xCE\xA9' (U+03A9) is not in code page 1252"), 0u)
      << error;
}

// A Windows update's OriginalFilename names the file players get: the output's
// name, without the "-unsigned" of a file that is signed next.
TEST_F(PackageBuilderTest, OriginalFilenameIsTheShippedName) {
  const std::string old_dir = tmp_.Join("old"), new_dir = tmp_.Join("new");
  Write(old_dir + "/a.txt", {1});
  Write(new_dir + "/a.txt", {2});
  const std::string stub = tmp_.Join("stub.exe");
  Write(stub, WriteVersionedPe(VersionResource()));
  const struct {
    const char* out;
    const char* original;
  } kCases[] = {
      {"Game-1.1-unsigned.exe", "Game-1.1.exe"}, {"Game_UNSIGNED.exe", "Game.exe"},
      {"Game.unsigned", "Game.unsigned"},        {"Game-1.1.exe", "Game-1.1.exe"},
      {"unsigned.exe", "unsigned.exe"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.out);
    MakeOptions o = Options(old_dir, new_dir);
    o.stub_path = stub;
    const std::string out = tmp_.Join(c.out);
    MakeSummary summary;
    std::string error;
    ASSERT_TRUE(MakePackage(o, out, &summary, &error)) << error;
    const uint32_t size = PeVersionInfoSize(out);
    std::vector<uint8_t> block(size);
    ASSERT_TRUE(size > 0 && PeVersionInfo(out, size, block.data()));
    const uint8_t* value = nullptr;
    uint32_t length = 0;
    ASSERT_TRUE(PeQueryVersionValue(
        block.data(), size, "\\StringFileInfo\\040904b0\\OriginalFilename", &value, &length));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(value)), c.original);
  }
}

TEST(AuthoringScriptWriterTest, QuotesWhatTheParserReadsBack) {
  std::string literal;
  ASSERT_TRUE(QuoteScriptString("a\\b \"q\" \\n", &literal));
  EXPECT_EQ(literal, "\"a\\\\b \\\"q\\\" \\\\n\"");
  EXPECT_FALSE(QuoteScriptString(std::string("a\nb"), &literal));
  EXPECT_FALSE(QuoteScriptString(std::string("a\0b", 3), &literal));
  std::string script, error;
  ScriptSection s;
  s.commands.push_back({"FreeSpace", {Number(4294967295u)}});
  s.commands.push_back({"CheckFile", {Text("x")}});
  EXPECT_FALSE(WriteScript({s}, &script, &error));  // one argument short
  s.commands.pop_back();
  s.commands.push_back({"Frobnicate", {}});
  EXPECT_FALSE(WriteScript({s}, &script, &error));
}

// Names Windows cannot hold as given are refused, whatever their case or
// extension; near misses stay usable.
TEST(AuthoringTreeDiffTest, WindowsNames) {
  const struct {
    const char* name;
    bool usable;
  } kCases[] = {
      {"readme.txt", true},  {"CON", false},       {"con.txt", false},
      {"Nul.tar.gz", false}, {"aux", false},       {"PRN.", false},
      {"COM1", false},       {"lpt9.log", false},  {"COM0", true},
      {"COM10", true},       {"LPT", true},        {"CONSOLE.txt", true},
      {"nul .txt", false},   {"name.", false},     {"name ", false},
      {".hidden", true},     {"a<b", false},       {"a>b", false},
      {"a:b", false},        {"a\"b", false},      {"a/b", false},
      {"a\\b", false},       {"a|b", false},       {"a?b", false},
      {"a*b", false},        {"tab\there", false}, {"del\x7F", false},
      {"", false},           {"..", false},        {"Caf\xC3\xA9.txt", true},
      {" lead", true},       {"x.y.z", true},
  };
  for (const auto& c : kCases) {
    std::string why;
    EXPECT_EQ(IsWindowsName(c.name, &why), c.usable) << "\"" << c.name << "\"";
    EXPECT_EQ(why.empty(), c.usable) << c.name;
  }
}

TEST(AuthoringTreeDiffTest, TypeChangesAndRemovedTreesAreTopmost) {
  test::TempDir tmp;
  std::string a = tmp.Join("a"), b = tmp.Join("b");
  Write(a + "/gone/deeper/f", {1});
  Write(a + "/gone/g", {1});
  Write(a + "/was_file", {1});
  Write(a + "/was_dir/x", {1});
  Write(a + "/Keep/Same.txt", {9});
  Write(b + "/was_file/now", {2});
  Write(b + "/was_dir", {2});
  Write(b + "/keep/same.txt", {9});  // letter case alone is no change
  Tree from, to;
  TreeChanges c;
  std::string error;
  ASSERT_TRUE(ReadTree(a, &from, &error)) << error;
  ASSERT_TRUE(ReadTree(b, &to, &error)) << error;
  ASSERT_TRUE(DiffTrees(from, to, &c, &error)) << error;
  EXPECT_EQ(c.deleted_dirs, std::vector<std::string>{"gone"});
  EXPECT_TRUE(c.deleted_files.empty());
  EXPECT_EQ(c.replaced_files, std::vector<std::string>{"was_file"});
  EXPECT_EQ(c.replaced_dirs, std::vector<std::string>{"was_dir"});
  EXPECT_EQ(c.created_dirs, std::vector<std::string>{"was_file"});
  ASSERT_EQ(c.created_files.size(), 2u);
  EXPECT_EQ(c.unchanged_files, 1u);
  EXPECT_EQ(c.check_files, std::vector<std::string>{"was_file"});
}

class VerifyTest : public PackageBuilderTest {
 protected:
  // A small valid update, its entries and script to break on purpose.
  void SetUp() override {
    PackageBuilderTest::SetUp();
    std::mt19937 rng(3);
    std::vector<uint8_t> f = Data(rng, 50000);
    Write(tmp_.Join("old/f.bin"), f);
    f[30000] ^= 0xFF;
    Write(tmp_.Join("new/f.bin"), f);  // patched
    Write(tmp_.Join("new/n.txt"), {'h', 'i'});
    std::string error;
    ASSERT_TRUE(
        BuildUpdate(Options(tmp_.Join("old"), tmp_.Join("new")), &entries_, &summary_, &error))
        << error;
  }

  VerifyReport Check(const std::vector<ArchiveEntry>& entries) {
    std::string path = tmp_.Join("v" + std::to_string(++count_) + ".pkg");
    std::string error;
    EXPECT_TRUE(WritePackage(path, {}, entries, &error)) << error;
    const PackageArchive* archive = OpenPackage(path.c_str());
    EXPECT_NE(archive, nullptr);
    if (archive == nullptr) return VerifyReport();
    VerifyReport r = VerifyPackage(*archive);
    ClosePackage(path.c_str());
    return r;
  }

  std::string& Script(std::vector<ArchiveEntry>& e) {
    script_.assign(e[0].data.begin(), e[0].data.end());
    return script_;
  }
  void SetScript(std::vector<ArchiveEntry>& e, const std::string& s) {
    e[0].data.assign(s.begin(), s.end());
  }

  std::vector<ArchiveEntry> entries_;
  MakeSummary summary_;
  std::string script_;
  int count_ = 0;
};

TEST_F(VerifyTest, AcceptsWhatMakeWrites) {
  VerifyReport r = Check(entries_);
  EXPECT_TRUE(r.faults.empty()) << r.faults[0];
  EXPECT_EQ(r.sections, 2);  // the work, then the closing check
  EXPECT_EQ(static_cast<size_t>(r.sections), summary_.sections);
  EXPECT_TRUE(r.missing_keys.empty());
}

TEST_F(VerifyTest, CatchesMissingEntryWrongChecksumAndBrokenScript) {
  std::vector<ArchiveEntry> e = entries_;
  e.pop_back();  // the last payload
  VerifyReport r = Check(e);
  ASSERT_EQ(r.faults.size(), 1u);
  EXPECT_NE(r.faults[0].find("missing entry"), std::string::npos) << r.faults[0];

  e = entries_;
  std::string s = Script(e);
  size_t at = s.find("CreateFile(\"n.txt\"");
  ASSERT_NE(at, std::string::npos);
  size_t crc = s.find(")", at) - 9;  // the last quoted argument
  s[crc] = s[crc] == '0' ? '1' : '0';
  SetScript(e, s);
  r = Check(e);
  ASSERT_EQ(r.faults.size(), 1u);
  EXPECT_NE(r.faults[0].find("does not match"), std::string::npos) << r.faults[0];

  e = entries_;
  s = Script(e);
  const size_t lines = static_cast<size_t>(std::count(s.begin(), s.end(), '\n'));
  SetScript(e, s + "  }\r\n");
  r = Check(e);
  ASSERT_FALSE(r.faults.empty());
  EXPECT_NE(r.faults[0].find("patch.scr does not parse"), std::string::npos) << r.faults[0];
  EXPECT_EQ(r.script_messages,
            std::vector<std::string>{"patch.scr:" + std::to_string(lines + 1) +
                                     ":3: error: unexpected closing curly bracket"});

  // A basic delta whose last record claims more bytes than follow, in place
  // of the file's delta, whichever form make chose.
  e = entries_;
  s = Script(e);
  for (auto& entry : e) {
    if (entry.name.rfind("00000001.DELTA", 0) != 0) continue;
    for (size_t at = s.find(entry.name); at != std::string::npos; at = s.find(entry.name, at + 1))
      s.replace(at, entry.name.size(), "00000001.DELTA");
    entry.name = "00000001.DELTA";
    entry.data = EncodePayload({5, 0, 0, 0, 'a'});
  }
  SetScript(e, s);
  r = Check(e);
  ASSERT_EQ(r.faults.size(), 1u);
  EXPECT_NE(r.faults[0].find("ends inside a record"), std::string::npos) << r.faults[0];

  e = entries_;  // the updater reads up to eight digits from the first one on
  SetScript(e, Script(e) + "all()\r\n{\r\nCheckFile(\"n.txt\", \"12ab\")\r\n}\r\n");
  r = Check(e);
  EXPECT_TRUE(r.faults.empty()) << r.faults[0];
  ASSERT_FALSE(r.warnings.empty());
  EXPECT_NE(r.warnings.back().find("read as 000012AB"), std::string::npos) << r.warnings.back();
  e = entries_;
  SetScript(e, Script(e) + "all()\r\n{\r\nCheckFile(\"n.txt\", \" 12ab\")\r\n}\r\n");
  r = Check(e);
  ASSERT_EQ(r.faults.size(), 1u);
  EXPECT_NE(r.faults[0].find("never matches"), std::string::npos) << r.faults[0];

  e = entries_;
  e[1].data.assign({'x', '('});  // Strings.scr that does not parse, and so no keys
  r = Check(e);
  EXPECT_FALSE(r.faults.empty());
}

TEST_F(VerifyTest, ReportsKeysTheStringTableLacks) {
  std::vector<ArchiveEntry> e = entries_;
  std::string strings = "!String(s, s)\r\nString(\"IDS_TITLE\", \"%1\")\r\n";
  e[1].data.assign(strings.begin(), strings.end());
  VerifyReport r = Check(e);
  EXPECT_TRUE(r.faults.empty());
  size_t count = 0;
  RuntimeStringKeys(&count);
  EXPECT_EQ(r.missing_keys.size(), count - 1);
  EXPECT_EQ(r.string_keys, 1);
}

}  // namespace
}  // namespace upkeep
