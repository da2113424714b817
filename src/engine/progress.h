#ifndef UPKEEP_ENGINE_PROGRESS_H_
#define UPKEEP_ENGINE_PROGRESS_H_

#include <cstddef>
#include <cstdint>

namespace upkeep {

// The one progress callback: lower bar, upper bar, file label, operation label.
// It carries its receiver, so a caller routes reports to its own front end
// without any process-wide state. An empty callback drops every report.
class ProgressCallback {
 public:
  using Function = void (*)(void* receiver, int32_t overallPercent, int32_t stepPercent,
                            const char* fileName, const char* operationText);

  ProgressCallback() = default;
  ProgressCallback(std::nullptr_t) {}  // implicit: nullptr reads as "no callback"
  ProgressCallback(Function function, void* receiver) : function_(function), receiver_(receiver) {}

  bool operator==(std::nullptr_t) const { return function_ == nullptr; }
  bool operator!=(std::nullptr_t) const { return function_ != nullptr; }

  void operator()(int32_t overallPercent, int32_t stepPercent, const char* fileName,
                  const char* operationText) const {
    if (function_ != nullptr) {
      function_(receiver_, overallPercent, stepPercent, fileName, operationText);
    }
  }

 private:
  Function function_ = nullptr;
  void* receiver_ = nullptr;
};

}  // namespace upkeep

#endif  // UPKEEP_ENGINE_PROGRESS_H_
