#ifndef UPKEEP_ENGINE_PROGRESS_H_
#define UPKEEP_ENGINE_PROGRESS_H_

#include <cstdint>

namespace upkeep {

// The one progress callback: lower bar, upper bar, file label, operation label.
using ProgressCallback = void (*)(int32_t overallPercent, int32_t stepPercent, const char* fileName,
                                  const char* operationText);

}  // namespace upkeep

#endif  // UPKEEP_ENGINE_PROGRESS_H_
