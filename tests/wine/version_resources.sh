#!/usr/bin/env bash
# Programs with version resources, made with windres (several languages, no
# translation, odd padding, 32 and 64 bits): the Windows build compares the
# system's version API under Wine with the portable reader and writes the
# system's answers; the Linux build's reader must give the same answers.
set -euo pipefail
: "${BIN:?}" "${LINUX_BIN:?}" "${SRC:?}"
export WINEDEBUG=-all LC_ALL=C
work=$(mktemp -d /tmp/upkeep-version.XXXXXX)
trap 'rm -rf "$work"' EXIT
bash "$SRC/tests/data/version/build.sh" "$work/programs"

check() {  # log file: one test ran and passed, none skipped
  grep -q '^\[  PASSED  \] 1 test' "$1" && ! grep -q 'SKIPPED' "$1"
}

UPKEEP_VERSION_FIXTURES=$(winepath -w "$work/programs") UPKEEP_VERSION_DUMP=$(winepath -w "$work/dump.txt") \
  wine "$BIN/upkeep_tests.exe" --gtest_filter='VersionCross.*' 2>&1 | tr -d '\r' | tee "$work/wine.log"
check "$work/wine.log"
UPKEEP_VERSION_FIXTURES="$work/programs" UPKEEP_VERSION_DUMP="$work/dump.txt" \
  "$LINUX_BIN/upkeep_tests" --gtest_filter='VersionCross.*' 2>&1 | tee "$work/linux.log"
check "$work/linux.log"
