#!/usr/bin/env bash
# The Windows updater killed in the middle of an update under Wine, as a
# machine that stops would leave it: each game file its old or its new
# version, and the same update run again finishes it. The Windows process
# itself is killed (SIGKILL), and once the whole Wine server with it.
# Env: BIN (Windows bin folder), LINUX_BIN, SRC; UPKEEP_WINE_KILLS (4).
set -uo pipefail
: "${BIN:?}" "${LINUX_BIN:?}" "${SRC:?}"
[ -f "$BIN/upkeep.exe" ] || {
  echo "missing $BIN/upkeep.exe"
  exit 1
}
# shellcheck source=lib/setup.bash
source "$SRC/tests/wine/lib/setup.bash"
wine_work killed
GAME=$WINEPREFIX/drive_c/upkeep-kill-test/Game
cleanup() {
  local pid
  for pid in $(jobs -p); do kill -9 "$pid" 2>/dev/null; done
  wait 2>/dev/null
  [ -n "$own_prefix" ] && wineserver -k >/dev/null 2>&1
  rm -rf "$WORK" "$WINEPREFIX/drive_c/upkeep-kill-test"
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
source "$SRC/tests/e2e/lib/game.bash"
source "$SRC/tests/e2e/lib/interrupt.bash"
RANDOM=${UPKEEP_KILL_SEED:-$$}

H=$WORK/heavy
LARGE_MB=${UPKEEP_KILL_LARGE_MB:-48} make_heavy_trees "$H" 12 4096 || {
  echo "cannot build the game trees"
  exit 1
}
key='Software\Upkeep Kill Test\Game'
wine reg add "HKLM\\$key" /v InstallPath /t REG_SZ /d 'C:\upkeep-kill-test\Game' /f \
  >/dev/null 2>&1 || fail "wine reg add"
BIN=$LINUX_BIN make_interrupt_update "$H/old" "$H/new" "$key" "$BIN/upkeep.exe" "$WORK/update.exe" ||
  exit 1

fresh_old() {
  rm -rf "$GAME"
  mkdir -p "$GAME"
  cp -r "$H/old/." "$GAME/"
}
# -silent opens no window: no display is needed. The started wine becomes
# the Windows process, so PID is the updater itself.
start_updater() {
  DISPLAY= wine "$WORK/update.exe" -silent </dev/null >/dev/null 2>&1 &
  PID=$!
}
run_again() {
  DISPLAY= timeout 120 wine "$WORK/update.exe" -silent </dev/null >/dev/null 2>&1
  RC=$?
}

yardstick
kills_wanted=${UPKEEP_WINE_KILLS:-4}
attempts=0
if [ "$failures" -eq 0 ]; then
  while [ "$KILLS" -lt "$kills_wanted" ] && [ "$attempts" -lt $((kills_wanted * 4)) ]; do
    attempts=$((attempts + 1))
    if [ "$KILLS" -eq $((kills_wanted - 1)) ]; then
      # The last one takes the Wine server and every process of the prefix.
      kill_round 'wineserver -k'
    else
      kill_round
    fi
  done
  kill_summary
  [ "$KILLS" -ge "$kills_wanted" ] || fail "only $KILLS of $attempts runs were killed before their end"
fi

if [ "$failures" -ne 0 ]; then
  echo "killed under Wine: $failures check(s) failed"
  exit 1
fi
echo "killed under Wine: all checks passed"
