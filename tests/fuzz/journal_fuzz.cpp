// The run journal, a file in the game folder anyone may edit. Any bytes load
// or are refused without reading outside them; a journal that loads can be
// taken up again, and the names it asks to delete are deleted only below its
// own folder.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/run_journal.h"
#include "fuzz_check.h"
#include "memory_file_system.h"

namespace {

using namespace upkeep;

using upkeep::fuzz::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::MemoryFileSystem fs;
  const std::string path = "game\\upkeep.journal";
  fs.Add(path, data, size);
  const uint8_t kept[] = {'k'};
  fs.Add("other\\x.~up", kept, sizeof kept);
  fs.Add("game\\..\\other\\y.~up", kept, sizeof kept);
  RunJournal journal;
  if (!journal.Load(path)) return 0;
  Check(journal.text().size() <= size);
  Check(!journal.HoldsBack() || journal.changeNoted());
  journal.Continue();
  Check(fs.Get("other\\x.~up") != nullptr && fs.Get("game\\..\\other\\y.~up") != nullptr);
  return 0;
}
