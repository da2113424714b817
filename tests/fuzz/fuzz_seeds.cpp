// Writes a starting corpus for each fuzz target into DIR/<target>/, made with
// the same writers that make real packages, so the fuzzers begin from
// well-formed inputs instead of having to discover each format's magic.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "authoring/archive_writer.h"
#include "authoring/block_stream_writer.h"
#include "authoring/delta_encoder.h"
#include "authoring/packed_entry_encoder.h"
#include "authoring/payload_writer.h"
#include "authoring/version_resource_writer.h"
#include "package/manifest.h"
#include "package/payload_stream.h"
#include "platform/shell_link_format.h"
#include "../redeflate_test_util.h"

namespace {

using namespace upkeep;
namespace fs = std::filesystem;

std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> Sample(size_t n, uint32_t seed) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    // Runs and repeats, so packing and deltas find matches.
    out[i] = (i / 7) % 3 == 0 ? static_cast<uint8_t>(seed >> 24) : static_cast<uint8_t>(i / 11);
  }
  return out;
}

bool Write(const fs::path& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
    return 2;
  }
  const fs::path root = argv[1];
  bool ok = true;
  const std::vector<uint8_t> old_file = Sample(600, 1);
  std::vector<uint8_t> new_file = old_file;
  new_file.insert(new_file.begin() + 200, 40, 'n');
  new_file.resize(500);

  // Packages: stored and packed entries, payloads, a text entry.
  std::vector<uint8_t> package;
  ok &= BuildPackage(Sample(64, 2),
                     {{"patch.scr", Bytes("All { CheckFile(\"a.dat\", \"12345678\") }\r\n"), false},
                      {"Strings.scr", Bytes("String(\"K\", \"v\")\r\n"), true},
                      {"00000001.FILE", EncodePayload(Sample(300, 3)), false},
                      {"00000002.DELTA", EncodePayload(new_file), true}},
                     &package);
  ok &= Write(root / "package_fuzz", "package", package);

  std::vector<uint8_t> packed;
  ok &= EncodePackedEntry(new_file.data(), new_file.size(), &packed);
  ok &= Write(root / "packed_entry_fuzz", "packed", packed);
  ok &= Write(root / "packed_entry_fuzz", "plain", Sample(200, 4));

  ok &= Write(root / "payload_fuzz", "payload", EncodePayload(Sample(400, 5)));

  // Blocks and a manifest; a package with a manifest and data volumes.
  {
    std::vector<uint8_t> blocks;
    BlockStreamWriter writer(
        [&blocks](const uint8_t* p, size_t n) {
          blocks.insert(blocks.end(), p, p + n);
          return true;
        },
        9000, kMinStreamBlock);
    const std::vector<uint8_t> content = Sample(9000, 8);
    ok &= writer.Write(content.data(), content.size()) && writer.Finish();
    ok &= Write(root / "block_stream_fuzz", "blocks", blocks);
    Manifest manifest;
    manifest.volumes.push_back({"update-1.upkd", 300, {}});
    manifest.entries.push_back({"PATCH.SCR", false, 64, 40, 0, {}});
    manifest.entries.push_back({"00000001.FILEX", true, 0, 300, 0, {}});
    std::vector<uint8_t> bytes;
    WriteManifest(manifest, &bytes);
    ok &= Write(root / "block_stream_fuzz", "manifest", bytes);
    ArchiveOptions options;
    options.manifest = true;
    const fs::path made = root / "package_fuzz" / "with-manifest";
    std::error_code ec;
    fs::create_directories(made.parent_path(), ec);
    ok &= WritePackage(made.string(), Sample(64, 2),
                       {{"patch.scr", Bytes("!all()\r\nall() {}\r\n"), false},
                        {"00000001.FILE", EncodePayload(Sample(300, 3)), false}},
                       nullptr, options);
  }

  const std::vector<uint8_t> delta =
      EncodeDelta(old_file.data(), old_file.size(), new_file.data(), new_file.size());
  const uint16_t old_size = static_cast<uint16_t>(old_file.size());
  ok &= Write(
      root / "delta_fuzz", "delta",
      Cat(Cat({static_cast<uint8_t>(old_size), static_cast<uint8_t>(old_size >> 8)}, old_file),
          delta));

  std::vector<uint8_t> extended;
  ok &= EncodeExtendedDelta(old_file.data(), old_file.size(), new_file.data(), new_file.size(),
                            &extended);
  ok &= Write(
      root / "delta_extended_fuzz", "delta",
      Cat(Cat({static_cast<uint8_t>(old_size), static_cast<uint8_t>(old_size >> 8)}, old_file),
          EncodePayload(extended)));
  // The raw layout: a marker and the records raw-deflated without their magic.
  {
    std::vector<uint8_t> raw(1, kExtendedRawMarker), deflated;
    ok &= EncodeRawDeflate(extended.data() + 4, extended.size() - 4, &deflated,
                           kBestPayloadLevel);
    raw.insert(raw.end(), deflated.begin(), deflated.end());
    ok &= Write(
        root / "delta_extended_fuzz", "raw",
        Cat(Cat({static_cast<uint8_t>(old_size), static_cast<uint8_t>(old_size >> 8)}, old_file),
            raw));
  }
  // The split layout in each codec, so the fuzzer starts inside every decoder.
  const std::pair<const char*, ExtendedLayout> split_layouts[] = {
      {"split-stored", ExtendedLayout::kSplitStored},
      {"split-deflate", ExtendedLayout::kSplitDeflate},
      {"split-lzma", ExtendedLayout::kSplitLzma}};
  for (const auto& [name, layout] : split_layouts) {
    std::vector<uint8_t> split;
    ok &= PackExtendedDelta(extended, &split, layout);
    ok &= Write(
        root / "delta_extended_fuzz", name,
        Cat(Cat({static_cast<uint8_t>(old_size), static_cast<uint8_t>(old_size >> 8)}, old_file),
            split));
  }

  // Predicted deltas: code whose calls moved, so the address model runs,
  // with streams stored and packed.
  {
    std::vector<uint8_t> code_old, code_new;
    for (uint32_t i = 0; i < 120; ++i) {
      const uint32_t target = (i % 7) * 64;
      const uint32_t at = static_cast<uint32_t>(code_old.size());
      code_old.insert(code_old.end(), {0x90, 0xE8});
      for (uint32_t v = target - (at + 6), k = 0; k < 4; ++k)
        code_old.push_back(static_cast<uint8_t>(v >> (8 * k)));
      code_new.insert(code_new.end(), {0x90, 0xE8});
      for (uint32_t v = target + 24 - (at + 6), k = 0; k < 4; ++k)
        code_new.push_back(static_cast<uint8_t>(v >> (8 * k)));
    }
    std::vector<uint8_t> records, predicted;
    ok &= EncodeExtendedDelta(code_old.data(), code_old.size(), code_new.data(), code_new.size(),
                              &records);
    ok &= PackPredictedDelta(records, code_old.data(), code_old.size(), code_new.data(),
                             code_new.size(), &predicted);
    const uint16_t n = static_cast<uint16_t>(code_old.size());
    ok &= Write(
        root / "delta_predicted_fuzz", "code",
        Cat(Cat({static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)}, code_old), predicted));
    ok &= PackPredictedDelta(extended, old_file.data(), old_file.size(), new_file.data(),
                             new_file.size(), &predicted);
    ok &= Write(
        root / "delta_predicted_fuzz", "data",
        Cat(Cat({static_cast<uint8_t>(old_size), static_cast<uint8_t>(old_size >> 8)}, old_file),
            predicted));
  }

  // Deflated views: an archive-like file whose stream changes, deflated as
  // zlib and as gzip do, and new streams where the old file has none.
  {
    using test::Piece;
    DeflateParams zlib6, gzip9;
    gzip9.level = 9;
    gzip9.gzipBlocks = true;
    const Piece head{Bytes("PK\3\4"), false, {}}, tail{Bytes("dir!"), false, {}};
    const std::vector<uint8_t> text(old_file.begin(), old_file.begin() + 300);
    std::vector<uint8_t> text2 = text;
    text2.insert(text2.begin() + 100, 20, 'n');
    const std::pair<const char*, test::RedeflatePair> pairs[] = {
        {"zlib", test::MakeRedeflatePair({head, {text, true, zlib6}, tail},
                                         {head, {text2, true, zlib6}, tail})},
        {"gzip",
         test::MakeRedeflatePair({{text, true, gzip9}, tail}, {{text2, true, gzip9}, tail})},
        {"new-streams",
         test::MakeRedeflatePair({head, tail}, {{{}, true, zlib6}, head, {text, true, gzip9}})}};
    for (const auto& [name, pair] : pairs) {
      const uint16_t n = static_cast<uint16_t>(pair.oldFile.size());
      ok &= Write(root / "delta_redeflate_fuzz", name,
                  Cat(Cat({static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)}, pair.oldFile),
                      test::Serialize(pair.layout)));
    }
  }

  VersionResource version;
  version.tables.push_back({"040904e4", {{"ProductVersion", "1.02"}, {"FileVersion", "1.0.2.0"}}});
  version.translations.push_back(0x04E40409);
  ok &= Write(root / "pe_version_fuzz", "pe32", WriteVersionedPe(version));
  ok &= Write(root / "pe_version_fuzz", "pe32plus", WriteVersionedPe(version, true));

  lnk::LinkData link;
  lnk::TargetFacts facts;
  facts.exists = true;
  facts.size = 4096;
  lnk::SetLinkTarget(&link, "C:\\Games\\Knight\\knight.exe", facts, 1252, 1252);
  link.arguments = {true, u"-window"};
  link.iconLocation = {true, u"C:\\Games\\Knight\\knight.ico"};
  link.workingDir = {true, u"C:\\Games\\Knight"};
  link.name = {true, u"Play"};
  ok &= Write(root / "shell_link_fuzz", "link", lnk::SerializeLink(link));

  ok &= Write(root / "wine_registry_fuzz", "hive",
              Bytes("Software\\Fuzz\\Game\n"
                    "WINE REGISTRY Version 2\n"
                    ";; All keys relative to \\\\Machine\n\n"
                    "[Software\\\\Fuzz\\\\Game] 1700000000\n"
                    "#time=1d9a\n"
                    "@=\"default\"\n"
                    "\"InstallDir\"=\"C:\\\\Games\\\\Fuzz\\\\\"\n"
                    "\"Path\"=str(2):\"%ProgramFiles%\\\\x\\0\"\n"
                    "\"Count\"=dword:0000002a\n"
                    "\"Blob\"=hex:01,02,03,\\\n  04\n"
                    "\"Multi\"=str(7):\"a\\0b\\0\"\n"));

  const std::string strings =
      "!String(s,s) !Locale(s)\r\nLocale(\"Polish\")\r\n"
      "String(\"IDS_TITLE\", \"%1 update\")\r\nString(\"PROGRAM_NAME\", \"&GAME& & co\")\r\n"
      "String(\"GAME\", \"Knight\")\r\nString(\"GAME\", \"again\")\r\n";
  ok &= Write(root / "string_table_fuzz", "strings", Bytes(strings));
  ok &= Write(root / "script_fuzz", "script",
              Bytes("Version(\"1.0\") { f(1, 2.5, \"&GAME&\") }\r\nAll { f(3, 1.0, \"%1\") }\r\n"));
  ok &= Write(root / "format_text_fuzz", "template",
              Bytes(std::string("%1 of %2!s!%n%3!-10.3s!%%%0tail") + '\0' + "one" + '\0' + "two"));
  // A journal: its first record, a change, new content, done and ended runs.
  std::string journal;
  for (const std::string& fields : std::vector<std::string>{
           "upkeep-journal\t1\t0123ABCD\t1.0.0.0\ten\tGame\t1.0.1", "change",
           "temp\t3\tgame\\a.dat.~up", "done\t0", "done\t1", "end\t2", "retry", "temp\t4\tx"}) {
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08X", static_cast<unsigned>(Crc32(Bytes(fields))));
    journal += fields + "\t" + crc + "\n";
  }
  ok &= Write(root / "journal_fuzz", "journal", Bytes(journal + "done\t5\t12"));
  if (!ok) std::fprintf(stderr, "fuzz_seeds: cannot write the seeds\n");
  return ok ? 0 : 1;
}
