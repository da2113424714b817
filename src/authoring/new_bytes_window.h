// How an encoder lets a mapped new file's pages go behind it.
#ifndef UPKEEP_AUTHORING_NEW_BYTES_WINDOW_H_
#define UPKEEP_AUTHORING_NEW_BYTES_WINDOW_H_

#include <cstddef>
#include <cstdint>
#include <functional>

namespace upkeep {

// Told by an encoder, as it goes, that it is done with the new bytes in
// [from, pos) for now (it may still read a few of them again): the owner of a
// mapped new file lets their pages go, so only a window of the file stays in
// memory. An encoder that works on pieces of the file at once tells each
// piece's bytes apart.
struct NewBytesWindow {
  std::function<void(size_t from, size_t pos)> passed;
  size_t step = size_t{4} << 20;  // bytes the encoder moves between calls
};

// Calls the window's `passed` (from `from`) when the encoder has moved a step
// on from the last call, or a step back (a second pass over bytes behind it).
// Cheap enough to ask at every position.
class WindowFront {
 public:
  explicit WindowFront(const NewBytesWindow* window, size_t from = 0)
      : window_(window != nullptr && window->passed ? window : nullptr), from_(from), low_(from) {
    if (window_ != nullptr) span_ = step_ = window_->step > 0 ? window_->step : 1;
  }
  bool active() const { return window_ != nullptr; }
  size_t step() const { return step_; }
  void At(size_t pos) {
    if (pos - low_ >= span_) Move(pos);
  }

 private:
  void Move(size_t pos) {
    window_->passed(from_, pos);
    low_ = pos > from_ + step_ ? pos - step_ : from_;
    span_ = pos + step_ - low_;
  }

  const NewBytesWindow* window_;
  size_t from_;
  size_t step_ = SIZE_MAX;
  size_t low_;
  size_t span_ = SIZE_MAX;  // positions in [low_, low_ + span_) call nothing
};

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_NEW_BYTES_WINDOW_H_
