// The process-wide key-to-text table filled from "Strings.scr", and the
// expansion of "&KEY&" tokens through it.
#ifndef UPKEEP_SCRIPT_STRING_TABLE_H_
#define UPKEEP_SCRIPT_STRING_TABLE_H_

#include <cstddef>
#include <string>

#include "script/script_reader.h"

namespace upkeep {

constexpr int kStringBuckets = 256;
// Longer texts are not expanded: ExpandText returns them unchanged.
constexpr size_t kMaxExpandLength = 1023;

struct StringEntry {
  std::string key;  // copies of what was added
  std::string text;
  StringEntry* previous = nullptr;
  StringEntry* next = nullptr;
};

struct StringBucket {
  StringEntry* first = nullptr;  // insertion order
  StringEntry* last = nullptr;
  int count = 0;
};

struct StringTable {
  StringBucket buckets[kStringBuckets];
  int entryCount = 0;
};

// The one table, read-only; filled at start-up, read by every thread after.
const StringTable& GetStringTable();

// The bucket of a key: h = 0x100001, then h = h * 33 ^ byte (ASCII letters
// upper-cased), modulo 2^32; the low 8 bits.
int HashKey(const char* key);

// Parses the script and adds its top-level "String" calls; a "Locale" call
// selects the locale. False, with nothing added, when the parse fails. A
// missing file adds nothing and gives true. `sink` receives parse messages.
bool LoadStringTable(const char* fileName, ScriptErrorSink* sink = nullptr);

// Appends a copy of the pair; ignored when either is null or the key is
// empty. A key added again is never found again: the first one wins.
void AddString(const char* key, const char* text);

// The text of the first entry whose key equals `key`, case ignored; or null.
const char* FindString(const char* key);

// The text with every "&KEY&" replaced and "&&" made "&", or, when a key is
// unknown, an "&" has no partner, no key was replaced or the text is longer
// than kMaxExpandLength, the text unchanged. The result stays valid until the
// program ends; equal results share one copy. A null text gives "".
const char* ExpandText(const char* text);

// Empties the table (every key and text released). Results of ExpandText
// stay valid.
void ClearStringTable();

}  // namespace upkeep

#endif  // UPKEEP_SCRIPT_STRING_TABLE_H_
