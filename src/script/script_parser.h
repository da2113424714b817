// The parser: statements (prototypes, includes, constants, calls with
// blocks) turned into the program's list of calls, each checked against the
// prototype of its name.
#ifndef UPKEEP_SCRIPT_SCRIPT_PARSER_H_
#define UPKEEP_SCRIPT_SCRIPT_PARSER_H_

#include <memory>
#include <string>
#include <vector>

#include "script/script_call.h"
#include "script/script_reader.h"
#include "script/script_value.h"

namespace upkeep {

// Includes nest at most this deep below the first file (a file that includes
// itself stops here), and one parse loads at most kMaxIncludes of them.
constexpr int kMaxIncludeDepth = 16;
constexpr int kMaxIncludes = 256;

// One declaration, visible while parsing only.
struct ScriptPrototype {
  std::string name;  // lower case, at most 31 characters
  std::vector<ScriptValueType> parameterTypes;
  ScriptPrototype* next = nullptr;  // the next visible one; not owned by this record
};

// Releases prototypes from the front of `list` until it is `keep` again.
void ReleasePrototypesUntil(ScriptPrototype*& list, ScriptPrototype* keep);

// Statements until the end of the text or, when `nested`, the block's "}".
// Prototypes declared in a nested block are released when it is left. Blocks
// nest to any depth without recursion.
ScriptCall* ParseBlock(ScriptReader& reader, ScriptPrototype*& prototypes, int& error, bool nested);
ScriptCall* ParseCall(ScriptReader& reader, ScriptPrototype* prototypes, int& error);
// After "!": a prototype, put at the front of `prototypes`, or an include,
// whose calls go to `includeCalls`.
void ParseDeclaration(ScriptReader& reader, int& error, ScriptCall*& includeCalls,
                      ScriptPrototype*& prototypes);
// After "$": a constant, put at the front of the reader's list.
void ParseConstDef(ScriptReader& reader, int& error);

// The whole reader at the top level. `error` is 0 on success; after a failure
// the program holds the calls completed before it.
std::unique_ptr<ScriptProgram> ParseProgram(ScriptReader& reader, int& error);

}  // namespace upkeep

#endif  // UPKEEP_SCRIPT_SCRIPT_PARSER_H_
