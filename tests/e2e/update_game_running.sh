#!/usr/bin/env bash
# The game runs while the update starts: Retry asks again; Cancel (or Ctrl-C
# at the question, as its close box) ends the run with nothing changed, as an
# interruption the player may repeat, with a last word that offers no Retry;
# Retry once the game has ended goes on with the update.
source "$SRC/tests/e2e/lib/e2e.bash"

install_game
make_updater "$WORK/update"
still_running="Sample Game is still running, so the update did not start. Nothing was changed."$'\r\n'"Close Sample Game, then start the update again."

# Retry while it still runs, then Cancel.
hold_game
run_updater "$WORK/update" -force <<<$'r\nc'
release_game
expect_rc 1 "Retry, Cancel"
[ "$(grep -c '^\[1\] Retry  \[2\] Cancel$' "$OUT")" -eq 2 ] || fail "not asked twice"
[ "$(grep -c '^error: Sample Game is running.$' "$OUT")" -eq 2 ] || fail "two questions expected"
expect_out "warning: Sample Game is still running, so the update did not start."
expect_no_out "The update of Sample Game failed."
expect_out "The update was stopped before anything changed. You can run it again."
with_final "" "$still_running"
expect_log "$LOG" "cancelled run's log"
expect_old_game

# Without answers (stdin at its end) the question gets its Cancel.
hold_game
run_updater "$WORK/update" -force </dev/null
release_game
expect_rc 1 "no answer"
[ "$(grep -c '^\[1\] Retry  \[2\] Cancel$' "$OUT")" -eq 1 ] || fail "asked more than once"

# Interactively, Update is offered again after the interruption.
hold_game
ANSWERS=(1 y 2 2)
in_terminal "$WORK/update"
release_game
expect_rc 255 "interactive, cancelled, then closed"
[ "$(grep -c '\[1\] Update  \[2\] Close' "$OUT")" -eq 2 ] || fail "Update not offered again"
expect_old_game

# The question is up: a hang-up or a termination request waits, Ctrl-C
# answers it as its close box does (Cancel), nothing changed.
install_game
hold_game
mkfifo "$WORK/answers"
OUT=$WORK/out.txt
WINEPREFIX=$PREFIX DISPLAY= timeout 60 "$WORK/update" -force <"$WORK/answers" >"$OUT" 2>&1 &
updater=$!
exec 8>"$WORK/answers"
wait_for_out "[1] Retry  [2] Cancel"
kill -HUP "$updater"
kill -TERM "$updater"
sleep 0.3
kill -0 "$updater" 2>/dev/null || fail "the run was ended by a signal"
kill -INT "$updater"
wait "$updater"
RC=$?
exec 8>&-
release_game
expect_rc 1 "Ctrl-C at the question"
expect_out "warning: Sample Game is still running"
expect_old_game

# The game ends while the question is up: Retry goes on.
install_game
hold_game
rm -f "$WORK/answers"
mkfifo "$WORK/answers"
WINEPREFIX=$PREFIX DISPLAY= timeout 60 "$WORK/update" -force <"$WORK/answers" >"$OUT" 2>&1 &
updater=$!
exec 8>"$WORK/answers"
wait_for_out "[1] Retry  [2] Cancel"
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
