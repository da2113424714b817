// The string-table keys the updater asks for, with a starting English text and
// where each appears, for "init-strings" and for checking a package's table.
#ifndef UPKEEP_AUTHORING_STRING_KEYS_H_
#define UPKEEP_AUTHORING_STRING_KEYS_H_

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "script/script_call.h"

namespace upkeep {

struct StringKey {
  const char* key;
  const char* text;     // as it stands inside the script literal (escapes included)
  const char* comment;  // where it appears and what %1, %2... receive
};

// All keys, settings first.
const StringKey* RuntimeStringKeys(size_t* count);

// The texts a parsed string table defines, by upper-cased key: its "String"
// calls with a non-empty key and a text; the first definition wins, as in the
// updater.
std::map<std::string, std::string> StringTexts(const ScriptProgram& program);

// A complete "Strings.scr" to start from, CR LF line ends.
std::string DefaultStringsScript();

// The keys the updater cannot do without: the dialog's title with versions
// unless GAME_VERSION is empty, the licence's title when there is a terms text.
std::vector<std::string> RequiredStringKeys(const std::map<std::string, std::string>& texts,
                                            bool has_terms);

// What in a string table (StringTexts) keeps the updater from working on any
// machine: a required key that is missing, or a setting that still holds the
// example DefaultStringsScript gives it. One line each, saying what to set.
std::vector<std::string> StringTableFaults(const std::map<std::string, std::string>& texts,
                                           bool has_terms);

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_STRING_KEYS_H_
