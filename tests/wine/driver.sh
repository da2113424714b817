#!/usr/bin/env bash
# The update driver against a real registry entry (made with "wine reg add"),
# under Wine and natively on the same prefix, and the single-instance guard
# across processes of one program file on both. BIN is the Windows bin
# folder, LINUX_BIN the Linux one, SRC the source tree.
set -uo pipefail
: "${BIN:?}" "${SRC:?}" "${LINUX_BIN:?}"
# shellcheck source=lib/setup.bash
source "$SRC/tests/wine/lib/setup.bash"
wine_work driver
work=$WORK
cleanup() {
  local pid
  for pid in $(jobs -p); do kill "$pid" 2>/dev/null; done
  [ -n "$own_prefix" ] && wineserver -k >/dev/null 2>&1
  [ -n "${KEEP_WORK:-}" ] && return
  rm -rf "$work" "$WINEPREFIX/drive_c/upkeep-wine-test"
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

game_win='C:\upkeep-wine-test\game\'
game_native=$WINEPREFIX/drive_c/upkeep-wine-test/game
mkdir -p "$game_native"
wine reg add 'HKLM\Software\Upkeep Wine Test\Game' /v InstallPath /t REG_SZ /d "$game_win" /f \
  >/dev/null 2>&1 || fail "wine reg add"

echo "== driver with the registry, under Wine"
UPKEEP_REAL_GAME=$game_win UPKEEP_REAL_GAME_NATIVE='C:\upkeep-wine-test\game' \
  wine "$BIN/upkeep_tests.exe" --gtest_filter='AppDriverRealRegistry.*' >"$work/win.txt" 2>&1 ||
  fail "under Wine: $(tr -d '\r' <"$work/win.txt" | grep -A5 Failure)"
grep -q '^\[  PASSED  \] 1 test' <(tr -d '\r' <"$work/win.txt") || fail "Wine run did not pass"

echo "== driver with the same registry, natively"
wineserver -w # the hive reaches system.reg once the server has written it
rm -f "$game_native/made.txt" "$game_native/patch.log"
UPKEEP_REAL_GAME=$game_win UPKEEP_REAL_GAME_NATIVE=$game_native \
  "$LINUX_BIN/upkeep_tests" --gtest_filter='AppDriverRealRegistry.*' >"$work/linux.txt" 2>&1 ||
  fail "natively: $(grep -A5 Failure "$work/linux.txt")"
grep -q '^\[  PASSED  \] 1 test' "$work/linux.txt" || fail "native run did not pass"

# guard_check NAME COMMAND...: one holder, a refused second, a late starter
# refused after the holder ended, and a fresh claim once all have ended.
# wait_file FILE PID: until FILE exists, while PID lives.
wait_file() {
  local i
  for i in $(seq 1 600); do
    [ -e "$1" ] && return 0
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
result_of() { [ -e "$1" ] && tr -d '\r\n' <"$1"; }
guard_check() {
  local name=$1
  shift
  local d=$work/guard-$name
  mkdir -p "$d"
  local filter=(--gtest_filter='AppInstanceGuardChild.*')
  UPKEEP_GUARD_CHILD=claim UPKEEP_GUARD_RESULT=$d/holder UPKEEP_GUARD_RELEASE=$d/release \
    "$@" "${filter[@]}" >"$d/holder.log" 2>&1 &
  local holder=$!
  wait_file "$d/holder" "$holder" || fail "$name: holder never claimed"
  [ "$(result_of "$d/holder")" = claimed ] || fail "$name: holder $(result_of "$d/holder")"

  UPKEEP_GUARD_CHILD=claim UPKEEP_GUARD_RESULT=$d/late UPKEEP_GUARD_START=$d/go \
    "$@" "${filter[@]}" >"$d/late.log" 2>&1 &
  local late=$!
  wait_file "$d/late.started" "$late" || fail "$name: late process never started"

  UPKEEP_GUARD_CHILD=claim UPKEEP_GUARD_RESULT=$d/second "$@" "${filter[@]}" >"$d/second.log" 2>&1
  [ "$(result_of "$d/second")" = refused ] || fail "$name: second $(result_of "$d/second")"

  touch "$d/release"
  wait "$holder" || fail "$name: holder failed: $(tr -d '\r' <"$d/holder.log" | grep -A5 Failure)"
  touch "$d/go"
  wait "$late" || fail "$name: late process failed"
  [ "$(result_of "$d/late")" = refused ] || fail "$name: late $(result_of "$d/late")"

  UPKEEP_GUARD_CHILD=claim UPKEEP_GUARD_RESULT=$d/fresh "$@" "${filter[@]}" >"$d/fresh.log" 2>&1
  [ "$(result_of "$d/fresh")" = claimed ] || fail "$name: fresh $(result_of "$d/fresh")"
}

echo "== single-instance guard, two processes under Wine"
wineserver -w
guard_check wine wine "$BIN/upkeep_tests.exe"
echo "== single-instance guard, natively"
guard_check linux "$LINUX_BIN/upkeep_tests"

wine reg delete 'HKLM\Software\Upkeep Wine Test' /f >/dev/null 2>&1
if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
