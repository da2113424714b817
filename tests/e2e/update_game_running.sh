#!/usr/bin/env bash
# The game runs while the update starts: Retry asks again, Cancel fails the
# run, and Retry once the game has ended goes on with the update.
source "$SRC/tests/e2e/lib/e2e.bash"

install_game
make_updater "$WORK/update"
running_text="Sample Game is running."$'\r\n'"Close Sample Game and choose Retry."

# Retry while it still runs, then Cancel.
hold_game
run_updater "$WORK/update" -force <<<$'r\nc'
release_game
expect_rc 3 "Retry, Cancel"
[ "$(grep -c '^\[1\] Retry  \[2\] Cancel$' "$OUT")" -eq 2 ] || fail "not asked twice"
[ "$(grep -c '^error: Sample Game is running.$' "$OUT")" -eq 3 ] ||
  fail "two questions and the final box expected"
expect_out "The update of Sample Game failed."
with_final "" "$running_text"
expect_log "$LOG" "cancelled run's log"
expect_old_game

# Without answers (stdin at its end) the question gets its Cancel.
hold_game
run_updater "$WORK/update" -force </dev/null
release_game
expect_rc 3 "no answer"
[ "$(grep -c '^\[1\] Retry  \[2\] Cancel$' "$OUT")" -eq 1 ] || fail "asked more than once"

# Without a terminal and without -force nothing is asked: Close at once.
hold_game
run_updater "$WORK/update" <<<$'1\ny\nr'
release_game
expect_rc 255 "no terminal"
expect_no_out "Retry"
expect_old_game

# The game ends while the question is up: Retry goes on.
install_game
hold_game
mkfifo "$WORK/answers"
OUT=$WORK/out.txt
WINEPREFIX=$PREFIX DISPLAY= timeout 60 "$WORK/update" -force <"$WORK/answers" >"$OUT" 2>&1 &
updater=$!
exec 8>"$WORK/answers"
wait_for_out "[1] Retry  [2] Cancel"
# A run is never cut short: Ctrl-C, a hang-up or a termination request wait.
kill -INT "$updater"
kill -HUP "$updater"
kill -TERM "$updater"
sleep 0.3
kill -0 "$updater" 2>/dev/null || fail "the run was ended by a signal"
release_game
echo r >&8
exec 8>&-
wait "$updater"
RC=$?
expect_rc 0 "Retry after the game ended"
expect_new_game
with_final "$SAMPLE_LOG" "$SUCCESS_TEXT"
expect_log "$LOG" "retried run's log"

finish
