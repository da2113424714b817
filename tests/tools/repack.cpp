// Writes a package from a folder of entries, as `upkeep-pack extract` leaves
// them (payloads as stored), behind a stub: whole-program tests edit an
// extracted script and pack it again to see the updater meet scripts that
// `upkeep-pack make` would never write.
//   upkeep-test-repack STUB DIR OUT
// Every file directly in DIR becomes an entry of its name, except the stub's
// own record (UPKEEP.EXE) and the manifest, which is written afresh as make
// writes it: the edited package then reads as a sound download.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "authoring/archive_writer.h"
#include "package/manifest.h"
#include "platform/text.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: upkeep-test-repack STUB DIR OUT\n");
    return 2;
  }
  std::vector<upkeep::ArchiveEntry> entries;
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(argv[2], ec)) {
    if (!e.is_regular_file()) continue;
    const std::string name = e.path().filename().string();
    if (upkeep::CompareNoCase(name.c_str(), "UPKEEP.EXE") == 0 ||
        upkeep::CompareNoCase(name.c_str(), upkeep::kManifestEntryName) == 0) {
      continue;
    }
    std::ifstream in(e.path(), std::ios::binary);
    upkeep::ArchiveEntry entry;
    entry.name = name;
    entry.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    entries.push_back(std::move(entry));
  }
  if (ec || entries.empty()) {
    std::fprintf(stderr, "upkeep-test-repack: no entries in %s\n", argv[2]);
    return 1;
  }
  std::string error;
  upkeep::ArchiveOptions options;
  options.manifest = true;
  if (!upkeep::WritePackageWithStubFile(argv[3], argv[1], entries, &error, options)) {
    std::fprintf(stderr, "upkeep-test-repack: %s\n", error.c_str());
    return 1;
  }
  fs::permissions(argv[3], fs::perms::owner_exec, fs::perm_options::add, ec);
  return 0;
}
