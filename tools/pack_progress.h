// make's progress on standard error: one line, redrawn in place a few times a
// second, only on a terminal.
#ifndef UPKEEP_TOOLS_PACK_PROGRESS_H_
#define UPKEEP_TOOLS_PACK_PROGRESS_H_

#include <chrono>
#include <string>

#include "authoring/package_builder.h"

namespace upkeep {
namespace pack {

class ProgressLine {
 public:
  // Draws nothing unless `shown`.
  explicit ProgressLine(bool shown) : shown_(shown) {}
  ~ProgressLine() { Clear(); }

  void Update(const MakeProgress& progress);
  // Takes the line away, so that what is printed next starts on a clean line.
  void Clear();

  // The line for `progress`, `seconds` into the encoding (rate and time left
  // once there is a second to measure), at most `columns` characters.
  static std::string Text(const MakeProgress& progress, double seconds, int columns);

 private:
  using Clock = std::chrono::steady_clock;
  bool shown_;
  bool drawn_ = false;
  bool encoding_started_ = false;
  MakeProgress::Step step_ = MakeProgress::Step::kComparing;
  std::string what_;
  Clock::time_point last_;
  Clock::time_point encoding_start_;
};

}  // namespace pack
}  // namespace upkeep

#endif  // UPKEEP_TOOLS_PACK_PROGRESS_H_
