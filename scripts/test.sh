#!/usr/bin/env bash
# Builds everything from nothing (Linux native, Windows x86_64 and i686 cross
# builds) and runs every test: natively, and the Windows build under Wine.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${JOBS:-$(nproc)}

scripts/install-deps.sh || exit 1

step() { printf '\n== %s\n' "$*"; }
fail=0
passed=0
failed=0

step "Linux build"
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
ninja -C build/linux -j"$jobs" || exit 1

step "Windows x86_64 build"
cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
ninja -C build/windows -j"$jobs" || exit 1

step "Windows i686 build"
cmake -S . -B build/windows-i686 -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPKEEP_TESTS=OFF >/dev/null || exit 1
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
(cd build/linux && ctest --output-on-failure -E '^unit$') 2>&1 | tee "$log"
if [ "${PIPESTATUS[0]}" -ne 0 ]; then fail=1; fi
n=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\1 \2/p' "$log" | tail -1)
if [ -n "$n" ]; then
  set -- $n
  failed=$((failed + $1)); passed=$((passed + $2 - $1))
fi

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
echo "tests: $passed passed, $failed failed"
exit $fail
