#!/usr/bin/env bash
# One updater per program file: a second process of the same file is refused
# with a message and exit code 0, even when it reaches the guard after the
# first has ended; another file runs; once all have ended, a new run starts.
source "$SRC/tests/e2e/lib/e2e.bash"

install_game
printf 'Terms\r\n' >"$WORK/terms.txt"
make_updater "$WORK/update" --terms "$WORK/terms.txt"
refusal="information: The Sample Game 1.0.1 update is already running."

# The first instance waits at the running-game question, holding the slot.
hold_game
mkfifo "$WORK/first.in" "$WORK/late.in"
FIRST_OUT=$WORK/first.txt
WINEPREFIX=$PREFIX DISPLAY= timeout 90 "$WORK/update" -force <"$WORK/first.in" >"$FIRST_OUT" 2>&1 &
first=$!
exec 8>"$WORK/first.in"
wait_for_out "[1] Retry  [2] Cancel" "$FIRST_OUT"

# A second one is refused after the guard: nothing of the update runs.
run_updater "$WORK/update" -force </dev/null
expect_rc 0 "second instance"
expect_out "-- Sample Game 1.0.1 update --"
expect_out "$refusal"
expect_no_out "Preparing the update" "refused instance:"

# A third one starts on a terminal and waits at its terms...
LATE_OUT=$WORK/late.txt
WINEPREFIX=$PREFIX DISPLAY= timeout 90 script -qefc "exec $WORK/update" /dev/null \
  <"$WORK/late.in" >"$LATE_OUT" 2>&1 &
late=$!
exec 9>"$WORK/late.in"
wait_for_out "[1] I accept  [2] I decline" "$LATE_OUT"

# ...while the first ends (Cancel).
echo c >&8
exec 8>&-
wait "$first"
RC=$?
expect_rc 1 "first instance, cancelled"

# The late one accepts now and is still refused: the slot was never given back.
echo 1 >&9
wait_for_out "$refusal" "$LATE_OUT"
exec 9>&-
wait "$late"
RC=$?
OUT=$LATE_OUT
expect_rc 0 "late instance"
expect_out "$refusal"
expect_no_out "Preparing the update" "late instance:"

# A copy at another file has a counter of its own.
cp "$WORK/update" "$WORK/copy"
run_updater "$WORK/copy" -force </dev/null
expect_rc 1 "copy (the game still runs)"
expect_no_out "already running" "copy:"
release_game

# Nobody runs any more: the counter is gone and a new run goes ahead.
counter=/dev/shm/upkeep-instance-$(printf '%x-%x' "$(stat -c %d "$WORK/update")" "$(stat -c %i "$WORK/update")")
if [ -e "$counter" ]; then fail "counter file left behind: $counter"; fi
run_updater "$WORK/update" -force </dev/null
expect_rc 0 "after everyone ended"
expect_new_game

finish
