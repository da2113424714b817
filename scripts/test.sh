#!/usr/bin/env bash
# Builds everything from nothing (Linux native, Windows x86_64 and i686 cross
# builds) and runs every test: natively, and the Windows build under Wine.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${JOBS:-$(nproc)}

scripts/install-deps.sh || exit 1

# Each step says how far into the run it starts, so a slow one shows in CI's log.
step() { printf '\n== %s  [%dm%02ds]\n' "$*" $((SECONDS / 60)) $((SECONDS % 60)); }
fail=0
passed=0
failed=0

# Built without debug information: the tests do not read it, and it costs a
# quarter of every compile. The MinGW libraries build beside the Linux tree.
mkdir -p build
opt=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG"
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG")
step "Linux build; libdeflate, liblzma and libdivsufsort for MinGW (Debian source packages)"
(scripts/libdeflate-mingw.sh && scripts/liblzma-mingw.sh && scripts/libdivsufsort-mingw.sh) \
  >build/deps.log 2>&1 &
deps=$!
cmake -S . -B build/linux -G Ninja "${opt[@]}" >/dev/null || exit 1
ninja -C build/linux -j"$jobs" || exit 1
deps_ok=0
wait "$deps" && deps_ok=1
grep ' built for ' build/deps.log || true
[ "$deps_ok" = 1 ] || { tail -40 build/deps.log; exit 1; }

step "Windows x86_64 build"
cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" \
  "${opt[@]}" >/dev/null || exit 1
ninja -C build/windows -j"$jobs" || exit 1

step "Windows i686 build"
cmake -S . -B build/windows-i686 -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
  "${opt[@]}" -DUPKEEP_TESTS=OFF >/dev/null || exit 1
ninja -C build/windows-i686 -j"$jobs" || exit 1

count_gtest() {  # adds a gtest log's totals
  local p f
  p=$(tr -d '\r' < "$1" | sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' | tail -1)
  f=$(tr -d '\r' < "$1" | sed -n 's/^ *\([0-9]*\) FAILED TESTS*$/\1/p' | tail -1)
  passed=$((passed + ${p:-0})); failed=$((failed + ${f:-0}))
  if [ -z "$p" ]; then fail=1; failed=$((failed + 1)); fi
}

step "Linux unit tests"
log=$(mktemp)
build/linux/bin/upkeep_tests 2>&1 | tee "$log"
if [ "${PIPESTATUS[0]}" -ne 0 ]; then fail=1; fi
count_gtest "$log"

step "Linux whole-program tests"
# Two at a time: each spends most of its time waiting on the programs it runs.
(cd build/linux && ctest --output-on-failure -j2 -E '^unit$') 2>&1 | tee "$log"
if [ "${PIPESTATUS[0]}" -ne 0 ]; then fail=1; fi
n=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\1 \2/p' "$log" | tail -1)
if [ -n "$n" ]; then
  set -- $n
  failed=$((failed + $1)); passed=$((passed + $2 - $1))
fi

# The native suite again with AddressSanitizer and UndefinedBehaviorSanitizer
# (Clang), and each fuzz target for a bounded time from fresh seeds; a finding
# fails the run and leaves its input under build/linux-asan/fuzz-artifacts.
step "Sanitizer build (Clang, ASan+UBSan, fuzz targets)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Line tables only: enough for the sanitizers' reports.
cmake -S . -B build/linux-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -gline-tables-only -DNDEBUG" \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -gline-tables-only -DNDEBUG" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DUPKEEP_FUZZ=ON >/dev/null || exit 1
ninja -C build/linux-asan -j"$jobs" upkeep_tests fuzz || exit 1

step "Linux unit tests under ASan/UBSan"
build/linux-asan/bin/upkeep_tests 2>&1 | tee "$log"
if [ "${PIPESTATUS[0]}" -ne 0 ]; then fail=1; fi
count_gtest "$log"

fuzz_seconds=${FUZZ_SECONDS:-12}
corpus=build/linux-asan/fuzz-corpus
artifacts=build/linux-asan/fuzz-artifacts/
mkdir -p "$corpus" "$artifacts"
if ! build/linux-asan/bin/fuzz_seeds "$corpus"; then
  failed=$((failed + 1)); fail=1
fi
# fuzz_one TARGET: one target for its time, its result in $corpus/TARGET.result.
fuzz_one() {
  local name
  name=$(basename "$1")
  mkdir -p "$corpus/$name"
  if "$1" -max_total_time="$fuzz_seconds" -max_len=4096 -timeout=20 -rss_limit_mb=2048 \
    -artifact_prefix="$artifacts$name-" "$corpus/$name" >"$corpus/$name.log" 2>&1; then
    echo ok >"$corpus/$name.result"
  else
    echo failed >"$corpus/$name.result"
  fi
}
# Two targets at a time, one per core: each is single-threaded.
targets=(build/linux-asan/bin/*_fuzz)
step "Fuzz: ${#targets[@]} targets, ${fuzz_seconds} s each, two at a time"
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  fuzz_one "${targets[i]}" &
  [ $((i + 1)) -lt ${#targets[@]} ] && fuzz_one "${targets[i + 1]}"
  wait
done
for f in "${targets[@]}"; do
  name=$(basename "$f")
  if [ "$(cat "$corpus/$name.result" 2>/dev/null)" = ok ]; then
    passed=$((passed + 1))
    echo "$name: $(grep -E '^#[0-9]+.*DONE' "$corpus/$name.log" | tail -1)"
  else
    failed=$((failed + 1)); fail=1
    echo "$name: FAILED"
    tail -60 "$corpus/$name.log"
  fi
done

step "Windows tests under Wine"
export WINEDEBUG=-all
# Wine would otherwise write menu entries for test shortcuts into ~/.local.
export WINEDLLOVERRIDES="winemenubuilder.exe=d"
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/upkeep-wine.XXXXXX)
wineboot -i >/dev/null 2>&1 || true
wine build/windows/bin/upkeep_tests.exe 2>&1 | tr -d '\r' | tee "$log"
if [ "${PIPESTATUS[0]}" -ne 0 ]; then fail=1; fi
count_gtest "$log"

# Whole-program tests of the Windows build (dialogs under Xvfb and the like).
for t in tests/wine/*.sh; do
  [ -e "$t" ] || continue
  step "Wine: $t"
  if BIN="$root/build/windows/bin" SRC="$root" LINUX_BIN="$root/build/linux/bin" bash "$t"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1)); fail=1
  fi
done
wineserver -k >/dev/null 2>&1 || true
rm -rf "$WINEPREFIX" "$log"

echo
echo "tests: $passed passed, $failed failed ($((SECONDS / 60))m$((SECONDS % 60))s)"
exit $fail
