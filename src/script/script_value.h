// Typed values of the script language and the argument access rules every
// command handler follows.
#ifndef UPKEEP_SCRIPT_SCRIPT_VALUE_H_
#define UPKEEP_SCRIPT_SCRIPT_VALUE_H_

#include <cstdint>
#include <string>
#include <utility>

namespace upkeep {

enum class ScriptValueType : int { Integer = 0, Float = 1, String = 2 };

// One element of an argument list. The owner of a list releases it; destroying
// one value destroys only that value.
struct ScriptValue {
  explicit ScriptValue(ScriptValueType t) : type(t) {}
  virtual ~ScriptValue() = default;
  ScriptValue* next = nullptr;
  ScriptValueType type;
};

struct ScriptInteger : ScriptValue {
  explicit ScriptInteger(int32_t v) : ScriptValue(ScriptValueType::Integer), value(v) {}
  // `value` wraps modulo 2^32, as the format has always read integers.
  int32_t value;
  // A literal without a sign whose digits say more than 32 bits hold keeps
  // what they say here (UINT64_MAX when they say more still); 0 otherwise.
  // Only FreeSpace reads it, so a size of several GB is what it asks for.
  uint64_t wide = 0;
};

struct ScriptFloat : ScriptValue {
  explicit ScriptFloat(float v) : ScriptValue(ScriptValueType::Float), value(v) {}
  float value;
};

// Owns its text. `value` keeps every byte of the literal; users read it as the
// C string c_str(), which ends at the first NUL.
struct ScriptString : ScriptValue {
  explicit ScriptString(std::string v)
      : ScriptValue(ScriptValueType::String), value(std::move(v)) {}
  std::string value;
};

// Releases a whole argument list iteratively.
void DestroyValueList(ScriptValue* head);

}  // namespace upkeep

#endif  // UPKEEP_SCRIPT_SCRIPT_VALUE_H_
