#!/usr/bin/env bash
# A machine that stops in the middle of an update: the console updater is
# killed (SIGKILL) again and again during an update that patches many large
# files (one of them large, patched through the forms for files of any size),
# mostly while new content is being written beside a file. After every
# kill each game file must be its old or its new version, and running the
# same update again must finish it: exit code 0 and exactly the new tree.
# UPKEEP_KILLS sets the number of kills (30), UPKEEP_KILL_SEED repeats a run.
source "$SRC/tests/e2e/lib/e2e.bash"
source "$SRC/tests/e2e/lib/interrupt.bash"

kills_wanted=${UPKEEP_KILLS:-30}
seed=${UPKEEP_KILL_SEED:-$((RANDOM * 32768 + RANDOM))}
RANDOM=$seed
echo "seed $seed"

H=$WORK/heavy
LARGE_MB=${UPKEEP_KILL_LARGE_MB:-48} make_heavy_trees "$H" 12 4096 || {
  echo "cannot build the game trees" >&2
  exit 1
}
make_interrupt_update "$H/old" "$H/new" "$GAME_KEY" "$BIN/upkeep" "$WORK/update" || exit 1
install_game

fresh_old() {
  rm -rf "$GAME"
  mkdir -p "$GAME"
  cp -r "$H/old/." "$GAME/"
}
start_updater() {
  WINEPREFIX=$PREFIX DISPLAY= WAYLAND_DISPLAY= "$WORK/update" -silent </dev/null >/dev/null 2>&1 &
  PID=$!
}
run_again() { run_updater "$WORK/update" -silent </dev/null; }

yardstick
[ "$failures" -eq 0 ] || finish
attempts=0
while [ "$KILLS" -lt "$kills_wanted" ] && [ "$attempts" -lt $((kills_wanted * 3)) ]; do
  attempts=$((attempts + 1))
  kill_round
done
kill_summary
[ "$KILLS" -ge "$kills_wanted" ] || fail "only $KILLS of $attempts runs were killed before their end"
finish
