// The program model: calls with literal arguments and optional bodies.
#ifndef UPKEEP_SCRIPT_SCRIPT_CALL_H_
#define UPKEEP_SCRIPT_SCRIPT_CALL_H_

#include <cstdint>
#include <string>

#include "script/script_value.h"

namespace upkeep {

// One call statement. Destroying a call destroys its arguments, its body and
// the rest of its list, without recursion, so any length or depth is safe.
struct ScriptCall {
  ScriptCall() = default;
  virtual ~ScriptCall();
  ScriptCall(const ScriptCall&) = delete;
  ScriptCall& operator=(const ScriptCall&) = delete;

  std::string name;  // lower case, at most 31 characters
  ScriptValue* arguments = nullptr;
  ScriptCall* body = nullptr;
  ScriptCall* next = nullptr;
};

// The top-level calls of a script, in text order. Owns the list.
struct ScriptProgram {
  ScriptProgram() = default;
  ~ScriptProgram() { delete first; }
  ScriptProgram(const ScriptProgram&) = delete;
  ScriptProgram& operator=(const ScriptProgram&) = delete;
  ScriptCall* first = nullptr;
};

// True when the call's name equals `text`, letter case ignored.
bool CallNameIs(const ScriptCall* call, const char* text);

// Argument access: the index-th argument (0-based) when present and of the
// wanted type. A missing or differently typed string is null, an integer 0.
const ScriptValue* GetArgument(const ScriptCall* call, int index);
const char* StringArgument(const ScriptCall* call, int index);
int32_t IntegerArgument(const ScriptCall* call, int index);
// A byte count: the literal's own value when it is wider than 32 bits, else
// the argument as an unsigned 32-bit value (0 when absent or not an Integer).
uint64_t ByteCountArgument(const ScriptCall* call, int index);

}  // namespace upkeep

#endif  // UPKEEP_SCRIPT_SCRIPT_CALL_H_
