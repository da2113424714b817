#include "script/script_parser.h"

#include <cstring>
#include <new>

#include "platform/text.h"

namespace upkeep {

namespace {

bool TypeFromLetter(int c, ScriptValueType* type) {
  switch (c) {
    case 'i':
    case 'I':
    case 'n':
    case 'N':
      *type = ScriptValueType::Integer;
      return true;
    case 'f':
    case 'F':
      *type = ScriptValueType::Float;
      return true;
    case 's':
    case 'S':
      *type = ScriptValueType::String;
      return true;
    default:
      return false;
  }
}

ScriptValue* ParseValue(ScriptReader& reader, ScriptValueType type, int& error) {
  switch (type) {
    case ScriptValueType::Integer:
      return reader.ParseInteger(error);
    case ScriptValueType::Float:
      return reader.ParseFloat(error);
    case ScriptValueType::String:
      return reader.ParseString(error);
  }
  error = 1;
  return nullptr;
}

// Reports `message` (a fixed text) and marks the failure.
void Fail(ScriptReader& reader, int& error, const char* message,
          ScriptReader::Place place = ScriptReader::Place::kLastByte) {
  reader.Report(place, false, "%s", message);
  error = 1;
}

// Appends a list at *tail and moves tail to the end of it.
void AppendCalls(ScriptCall**& tail, ScriptCall* list) {
  if (list == nullptr) return;
  *tail = list;
  while (list->next != nullptr) list = list->next;
  tail = &list->next;
}

void ParseInclude(ScriptReader& reader, int& error, ScriptCall*& includeCalls,
                  ScriptPrototype*& prototypes) {
  if (reader.GetChar() != '(') return Fail(reader, error, "left bracked expected in include");
  // No blanks before the name: a blank here is read as a constant's name.
  std::unique_ptr<ScriptValue> name(reader.ParseString(error));
  if (name == nullptr) return;
  reader.SkipBlanks();
  if (reader.GetChar() != ')') return Fail(reader, error, "right bracked expected in include");
  // The messages about the included file point at its name.
  constexpr ScriptReader::Place kName = ScriptReader::Place::kItem;
  if (reader.includeDepth >= kMaxIncludeDepth) {
    return Fail(reader, error, "include depth exceeded", kName);
  }
  if (reader.includeCount >= kMaxIncludes) return Fail(reader, error, "too many includes", kName);
  std::string path = reader.directory + static_cast<ScriptString*>(name.get())->value.c_str();
  if (path.size() > kMaxScriptPath) {
    reader.Report(kName, false, "include path too long: %s", path.c_str());
    error = 1;
    return;
  }

  std::unique_ptr<ScriptReader> included = LoadScript(reader.package, path.c_str());
  included->errorSink = reader.errorSink;
  included->includeDepth = reader.includeDepth + 1;
  included->includeCount = reader.includeCount + 1;
  if (included->readFailed) {
    reader.includeCount = included->includeCount;
    reader.Report(kName, false, "cannot read script %s", path.c_str());
    error = 1;
    return;
  }
  // The included file sees every constant so far, and the including one sees
  // what the included file added.
  included->consts = reader.consts;
  reader.consts = nullptr;
  includeCalls = ParseBlock(*included, prototypes, error, false);
  reader.consts = included->consts;
  included->consts = nullptr;
  reader.includeCount = included->includeCount;
}

}  // namespace

void ReleasePrototypesUntil(ScriptPrototype*& list, ScriptPrototype* keep) {
  while (list != nullptr && list != keep) {
    ScriptPrototype* next = list->next;
    delete list;
    list = next;
  }
}

ScriptCall* ParseBlock(ScriptReader& reader, ScriptPrototype*& prototypes, int& error,
                       bool nested) {
  // One frame per open block: where its next call goes and which prototypes
  // were visible when it began.
  struct Frame {
    ScriptCall** tail;
    ScriptPrototype* entry;
    bool nested;
  };
  ScriptCall* head = nullptr;
  std::vector<Frame> frames;
  frames.push_back(Frame{&head, prototypes, nested});

  reader.SkipBlanks();
  while (!frames.empty() && !reader.AtEnd()) {
    const size_t top = frames.size() - 1;
    int c = reader.GetChar();
    if (c == '$') {
      ParseConstDef(reader, error);
    } else if (c == '!') {
      ScriptCall* included = nullptr;
      ParseDeclaration(reader, error, included, prototypes);
      AppendCalls(frames[top].tail, included);
    } else if (c == '}') {
      if (frames[top].nested) {
        ReleasePrototypesUntil(prototypes, frames[top].entry);
        frames.pop_back();
        if (frames.empty()) break;  // the caller's own block ended at its "}"
      } else {
        Fail(reader, error, "unexpected closing curly bracket");
      }
    } else {
      reader.UngetChar();
      ScriptCall* call = ParseCall(reader, prototypes, error);
      if (call != nullptr) {
        AppendCalls(frames[top].tail, call);
        reader.SkipBlanks();
        int after = reader.GetChar();
        if (after == '{') {
          frames.push_back(Frame{&call->body, prototypes, true});
        } else if (after == ';') {
          reader.Report(ScriptReader::Place::kLastByte, true, "its not c!");
        } else if (after != kEndOfInput) {
          reader.UngetChar();
        }
      }
    }
    if (error != 0) break;
    reader.SkipBlanks();
  }
  // Blocks still open at the end of the text or at an error end here too; a
  // missing final "}" is accepted.
  while (!frames.empty()) {
    if (frames.back().nested) ReleasePrototypesUntil(prototypes, frames.back().entry);
    frames.pop_back();
  }
  return head;
}

ScriptCall* ParseCall(ScriptReader& reader, ScriptPrototype* prototypes, int& error) {
  reader.SkipBlanks();
  char word[kWordCapacity];
  if (reader.ReadWord(word, sizeof word) != kWordOk) {
    Fail(reader, error, "error in call", ScriptReader::Place::kItem);
    return nullptr;
  }
  std::string name(word);
  ToLowerInPlace(&name);
  const ScriptPrototype* prototype = prototypes;
  while (prototype != nullptr && prototype->name != name) prototype = prototype->next;
  if (prototype == nullptr) {
    reader.Report(ScriptReader::Place::kItem, false, "unknown keyword %s", name.c_str());
    error = 1;
    return nullptr;
  }
  reader.SkipBlanks();
  if (reader.GetChar() != '(') {
    Fail(reader, error, "opening bracket expected");
    return nullptr;
  }

  std::unique_ptr<ScriptCall> call(new ScriptCall());
  call->name = name;
  ScriptValue** tail = &call->arguments;
  const size_t count = prototype->parameterTypes.size();
  for (size_t i = 0; i < count; ++i) {
    reader.SkipBlanks();
    ScriptValue* value = ParseValue(reader, prototype->parameterTypes[i], error);
    if (value == nullptr) return nullptr;
    *tail = value;
    tail = &value->next;
    if (i + 1 < count) {
      reader.SkipBlanks();
      if (reader.GetChar() != ',') {
        Fail(reader, error, "comma expected");
        return nullptr;
      }
    }
  }
  reader.SkipBlanks();
  if (reader.GetChar() != ')') {
    Fail(reader, error, "closing bracket expected");
    return nullptr;
  }
  return call.release();
}

void ParseDeclaration(ScriptReader& reader, int& error, ScriptCall*& includeCalls,
                      ScriptPrototype*& prototypes) {
  char word[kWordCapacity];
  if (reader.ReadWord(word, sizeof word) != kWordOk) {
    return Fail(reader, error, "error in typedef", ScriptReader::Place::kItem);
  }
  std::string name(word);
  ToLowerInPlace(&name);
  reader.SkipBlanks();
  if (name == "include") {
    return ParseInclude(reader, error, includeCalls, prototypes);
  }
  if (reader.GetChar() != '(') return Fail(reader, error, "left bracked expected in typedef");

  std::unique_ptr<ScriptPrototype> prototype(new ScriptPrototype());
  prototype->name = name;
  enum { kOpen, kAfterType, kExpectType } state = kOpen;
  for (;;) {
    reader.SkipBlanks();
    int c = reader.GetChar();
    ScriptValueType type;
    if (state != kAfterType && TypeFromLetter(c, &type)) {
      prototype->parameterTypes.push_back(type);
      state = kAfterType;
    } else if (state != kExpectType && c == ')') {
      break;
    } else if (state == kAfterType && c == ',') {
      state = kExpectType;
    } else {
      return Fail(reader, error, "unexpected characted in typedef");
    }
  }
  // In front, so that a later declaration of a name hides an earlier one.
  prototype->next = prototypes;
  prototypes = prototype.release();
}

void ParseConstDef(ScriptReader& reader, int& error) {
  char word[kWordCapacity];
  if (reader.ReadWord(word, sizeof word) != kWordOk) {
    return Fail(reader, error, "error in const def", ScriptReader::Place::kItem);
  }
  std::unique_ptr<ScriptConst> constant(new ScriptConst());
  constant->name = word;
  ToLowerInPlace(&constant->name);
  reader.SkipBlanks();
  if (reader.GetChar() != '(') return Fail(reader, error, "left bracked expected in const def");
  reader.SkipBlanks();
  ScriptValueType type;
  if (!TypeFromLetter(reader.GetChar(), &type)) {
    return Fail(reader, error, "unexpected character in typedef");
  }
  reader.SkipBlanks();
  if (reader.GetChar() != ',') return Fail(reader, error, "unexpected character in typedef");
  reader.SkipBlanks();
  constant->value = ParseValue(reader, type, error);
  if (constant->value == nullptr) return;
  reader.SkipBlanks();
  if (reader.GetChar() != ')') return Fail(reader, error, "unexpected character in typedef");
  constant->next = reader.consts;
  reader.consts = constant.release();
}

std::unique_ptr<ScriptProgram> ParseProgram(ScriptReader& reader, int& error) {
  error = 0;
  auto program = std::make_unique<ScriptProgram>();
  if (reader.readFailed) {
    reader.Report(ScriptReader::Place::kWholeFile, false, "cannot read script %s",
                  reader.path.c_str());
    error = 1;
    return program;
  }
  ScriptPrototype* prototypes = nullptr;
  try {
    program->first = ParseBlock(reader, prototypes, error, false);
  } catch (const std::bad_alloc&) {
    // Running out of memory fails the parse like any other fault; what was
    // built before is left to the process's end rather than walked again.
    reader.Report(ScriptReader::Place::kWholeFile, false, "out of memory in script %s",
                  reader.path.c_str());
    error = 1;
  }
  ReleasePrototypesUntil(prototypes, nullptr);
  return program;
}

}  // namespace upkeep
