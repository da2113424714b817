// upkeep-pack's entry: the same tool on Linux and Windows.
#include "pack_commands.h"
#include "package/package.h"
#include "platform/code_page.h"
#include "platform/command_line.h"

int main(int argc, char** argv) {
  // Paths are UTF-8 texts on both builds, so a Windows tree with names
  // outside the ANSI code page reads as it does on Linux.
  upkeep::SetPathCodePage(65001);
  upkeep::UseUtf8Console();
  // Names are read from the package alone, as the updater reads them; only
  // apply --loose-files lets a missing one come from the disk.
  upkeep::AllowLooseFileReads(false);
  return upkeep::pack::RunPack(upkeep::CommandLineArguments(argc, argv));
}
