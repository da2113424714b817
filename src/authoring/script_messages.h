// Parse messages as compilers write them: "file:line:column: error: text", so
// that an author (or an editor) finds the place at once.
#ifndef UPKEEP_AUTHORING_SCRIPT_MESSAGES_H_
#define UPKEEP_AUTHORING_SCRIPT_MESSAGES_H_

#include <string>
#include <utility>
#include <vector>

#include "script/script_reader.h"

namespace upkeep {

class ScriptMessages : public ScriptErrorSink {
 public:
  ScriptMessages() = default;
  // Messages about the file read as `path` name it `shown_as` instead (the
  // file the author gave, read under the name the package gives it).
  ScriptMessages(std::string path, std::string shown_as)
      : path_(std::move(path)), shown_as_(std::move(shown_as)) {}

  void OnScriptError(const char* message) override;
  void OnScriptMessage(const ScriptPlace& place, const char* message) override;

  std::vector<std::string> lines;
  size_t errors = 0;
  size_t warnings = 0;

 private:
  std::string path_;
  std::string shown_as_;
};

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_SCRIPT_MESSAGES_H_
