// The one way a fuzz target reports a broken invariant: a crash the fuzzer
// keeps as a finding, in every build mode.
#ifndef UPKEEP_TESTS_FUZZ_FUZZ_CHECK_H_
#define UPKEEP_TESTS_FUZZ_FUZZ_CHECK_H_

namespace upkeep {
namespace fuzz {

inline void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace fuzz
}  // namespace upkeep

#endif  // UPKEEP_TESTS_FUZZ_FUZZ_CHECK_H_
