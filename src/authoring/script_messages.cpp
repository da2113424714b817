#include "authoring/script_messages.h"

namespace upkeep {

void ScriptMessages::OnScriptError(const char* message) {
  lines.push_back(std::string("error: ") + message);
  ++errors;
}

void ScriptMessages::OnScriptMessage(const ScriptPlace& place, const char* message) {
  std::string where = !path_.empty() && place.path == path_ ? shown_as_ : place.path;
  if (where.empty()) where = "(script)";
  if (place.line > 0) {
    where += ":" + std::to_string(place.line) + ":" + std::to_string(place.column);
  }
  lines.push_back(where + ": " + (place.warning ? "warning: " : "error: ") + message);
  ++(place.warning ? warnings : errors);
}

}  // namespace upkeep
