// The string table loaded from an untrusted "Strings.scr", and the expansion
// of texts through it. The table must stay consistent (every entry in its
// key's bucket, the counts right), every key added must be found, and
// expansion must give the text of a key for its token.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "memory_file_system.h"
#include "script/string_table.h"
#include "fuzz_check.h"

namespace {

using namespace upkeep;

const char kPath[] = "\\fuzz\\Strings.scr";

using upkeep::fuzz::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::MemoryFileSystem fs;
  fs.Add(kPath, data, size);
  LoadStringTable(kPath);
  const StringTable& table = GetStringTable();
  int total = 0;
  for (int b = 0; b < kStringBuckets; ++b) {
    const StringBucket& bucket = table.buckets[b];
    int count = 0;
    const StringEntry* previous = nullptr;
    for (const StringEntry* e = bucket.first; e != nullptr && count <= table.entryCount;
         e = e->next) {
      Check(e->previous == previous && HashKey(e->key.c_str()) == b);
      const char* found = FindString(e->key.c_str());
      Check(found != nullptr);
      if (found == e->text.c_str() && e->key.find('&') == std::string::npos &&
          e->key.size() + 2 <= kMaxExpandLength) {
        const char* expanded = ExpandText(("&" + e->key + "&").c_str());
        Check(strcmp(expanded, found) == 0);
      }
      // Equal results share one copy.
      Check(ExpandText(e->text.c_str()) == ExpandText(e->text.c_str()));
      previous = e;
      ++count;
    }
    Check(count == bucket.count && previous == bucket.last);
    total += count;
  }
  Check(total == table.entryCount);
  ClearStringTable();
  return 0;
}
