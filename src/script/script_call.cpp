#include "script/script_call.h"

#include <vector>

#include "platform/text.h"

namespace upkeep {

void DestroyValueList(ScriptValue* head) {
  while (head != nullptr) {
    ScriptValue* next = head->next;
    head->next = nullptr;
    delete head;
    head = next;
  }
}

ScriptCall::~ScriptCall() {
  DestroyValueList(arguments);
  arguments = nullptr;
  // Detach the body and the tail into a work list so that deleting them never
  // nests: each node popped has its links cut before it is deleted.
  std::vector<ScriptCall*> pending;
  if (body != nullptr) pending.push_back(body);
  if (next != nullptr) pending.push_back(next);
  body = nullptr;
  next = nullptr;
  while (!pending.empty()) {
    ScriptCall* call = pending.back();
    pending.pop_back();
    if (call->body != nullptr) pending.push_back(call->body);
    if (call->next != nullptr) pending.push_back(call->next);
    call->body = nullptr;
    call->next = nullptr;
    delete call;
  }
}

bool CallNameIs(const ScriptCall* call, const char* text) {
  return call != nullptr && text != nullptr && CompareNoCase(call->name.c_str(), text) == 0;
}

const ScriptValue* GetArgument(const ScriptCall* call, int index) {
  if (call == nullptr || index < 0) return nullptr;
  const ScriptValue* value = call->arguments;
  for (int i = 0; value != nullptr && i < index; ++i) value = value->next;
  return value;
}

const char* StringArgument(const ScriptCall* call, int index) {
  const ScriptValue* value = GetArgument(call, index);
  if (value == nullptr || value->type != ScriptValueType::String) return nullptr;
  return static_cast<const ScriptString*>(value)->value.c_str();
}

int32_t IntegerArgument(const ScriptCall* call, int index) {
  const ScriptValue* value = GetArgument(call, index);
  if (value == nullptr || value->type != ScriptValueType::Integer) return 0;
  return static_cast<const ScriptInteger*>(value)->value;
}

uint64_t ByteCountArgument(const ScriptCall* call, int index) {
  const ScriptValue* value = GetArgument(call, index);
  if (value == nullptr || value->type != ScriptValueType::Integer) return 0;
  const ScriptInteger* integer = static_cast<const ScriptInteger*>(value);
  return integer->wide != 0 ? integer->wide : static_cast<uint32_t>(integer->value);
}

}  // namespace upkeep
