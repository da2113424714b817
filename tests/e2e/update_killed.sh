#!/usr/bin/env bash
# A machine that stops in the middle of an update: the console updater is
# killed (SIGKILL) again and again during an update that patches many large
# files, mostly while new content is being written beside a file. After every
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
make_heavy_trees "$H" 12 2048 || {
  echo "cannot build the game trees" >&2
  exit 1
}
strings_with "$WORK/Strings.scr" "REG_KEY=$GAME_KEY" 'REG_DESTINATION=InstallPath' \
  'PROGRAM_NAME=Sample Game 1.0.1' 'PROGRAM_NAME_OLD=Sample Game' 'SRC_EXE=game.exe' \
  'GAME_VERSION=1.0.0.0' 'PATCH_VERSION=1.0.0.1' 'LANG_VERSION=en' 'SHOW_README=0' || exit 1
# The basic delta form: the quickest to make, and the write path is the same.
"$BIN/upkeep-pack" make --old "$H/old" --new "$H/new" --strings "$WORK/Strings.scr" \
  --stub "$BIN/upkeep" --delta-format basic -o "$WORK/update" >"$WORK/make.log" 2>&1 || {
  cat "$WORK/make.log" >&2
  exit 1
}
install_game
fresh_old() {
  rm -rf "$GAME"
  mkdir -p "$GAME"
  cp -r "$H/old/." "$GAME/"
}
now_ms() { echo $(($(date +%s%N) / 1000000)); }
# pause MS: sleeps MS milliseconds.
pause() { sleep "$(printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)))"; }

# start_updater: the update, unattended, in the background; PID is its pid.
start_updater() {
  WINEPREFIX=$PREFIX DISPLAY= WAYLAND_DISPLAY= "$WORK/update" -silent </dev/null >/dev/null 2>&1 &
  PID=$!
}
# wait_for FILE: until FILE exists, while the updater runs (at most 30 s).
wait_for() {
  local limit=$((SECONDS + 30))
  while [ ! -e "$1" ] && kill -0 "$PID" 2>/dev/null && [ "$SECONDS" -lt "$limit" ]; do :; done
}

# One whole run first: the yardstick for the moments of the kills, the run's
# length and how long new content stays beside a data file.
fresh_old
start=$(now_ms)
start_updater
watched=$GAME/${PATCHED[${#PATCHED[@]} / 2]}.~up
wait_for "$watched"
seen=$(now_ms)
while [ -e "$watched" ]; do :; done
write_ms=$(($(now_ms) - seen + 1))
wait "$PID"
RC=$?
run_ms=$(($(now_ms) - start))
expect_rc 0 "uninterrupted run"
exactly_new "$GAME" "$H/new" || fail "the uninterrupted run did not make the new tree"
[ "$failures" -eq 0 ] || finish
echo "one run: $run_ms ms, new content of a data file beside it for $write_ms ms"

kills=0 during_write=0 damaged=0 finished=0 attempts=0
while [ "$kills" -lt "$kills_wanted" ] && [ "$attempts" -lt $((kills_wanted * 3)) ]; do
  attempts=$((attempts + 1))
  fresh_old
  start_updater
  if [ $((RANDOM % 4)) -ne 0 ]; then
    # Most kills: once new content of a data file has appeared beside it,
    # somewhere in its writing, flushing, checking or replacing.
    wait_for "$GAME/${PATCHED[RANDOM % ${#PATCHED[@]}]}.~up"
    pause $((RANDOM % (write_ms + write_ms / 4)))
  else
    # The others at any moment of the run, checks and deletions included.
    pause $((RANDOM % run_ms))
  fi
  kill -9 "$PID" 2>/dev/null
  wait "$PID" 2>/dev/null
  rc=$?
  # A run that ended before the kill was not cut short: try again.
  [ "$rc" -eq 137 ] || continue
  kills=$((kills + 1))
  if [ -n "$(find "$GAME" -name '*.~up' -print -quit)" ]; then during_write=$((during_write + 1)); fi
  n=$(count_damaged "$GAME" "$H/old" "$H/new")
  if [ "$n" -ne 0 ]; then
    fail "kill $kills left $n damaged file(s)"
    damaged=$((damaged + n))
  fi
  run_updater "$WORK/update" -silent </dev/null
  if [ "$RC" -eq 0 ] && exactly_new "$GAME" "$H/new"; then
    finished=$((finished + 1))
  else
    fail "kill $kills: the run after it ended with $RC and not the new tree"
    tail -4 "$GAME/patch.log" 2>/dev/null | tr -d '\r' >&2
  fi
done
echo "kills: $kills, during a write: $during_write, damaged files: $damaged," \
  "re-runs finished: $finished"
[ "$kills" -ge "$kills_wanted" ] || fail "only $kills of $attempts runs were killed before their end"
finish
