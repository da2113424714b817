#!/usr/bin/env bash
# A whole update that succeeds: forced, interactive on a terminal, and what a
# run without a terminal and without -force does.
source "$SRC/tests/e2e/lib/e2e.bash"

# A stand-in for the desktop's opener: notes what it was asked to open.
mkdir -p "$WORK/opener"
cat >"$WORK/opener/xdg-open" <<SH
#!/bin/sh
printf '%s\n' "\$1" >>"$WORK/opened.txt"
SH
chmod +x "$WORK/opener/xdg-open"

install_game
make_updater "$WORK/update"
# Forced, with a display: the read-me is handed to the desktop.
OUT=$WORK/out.txt
PATH="$WORK/opener:$PATH" WINEPREFIX=$PREFIX DISPLAY=:99 timeout 60 "$WORK/update" -force \
  </dev/null >"$OUT" 2>&1
RC=$?
expect_rc 0 "forced run"
expect_new_game
with_final "$SAMPLE_LOG" "$SUCCESS_TEXT"
expect_log "$LOG"
expect_out "== Sample Game 1.0.1 update 1.0.0.0 -> 1.0.0.1 =="
expect_out "Preparing the update..."
expect_out "Updating game files..."
expect_out "Finishing..."
expect_out "-- Sample Game 1.0.1 update --"
expect_out "information: $SUCCESS_TEXT"
expect_out "Sample Game was updated."
expect_no_out "Install the update now?" "a forced run asks nothing:"
expect_no_out "This program updates" "a forced run skips the notes:"
# One line per change of operation text when the output is no terminal.
[ "$(grep -c '^Preparing the update...$' "$OUT")" -eq 1 ] || fail "operation lines repeat"
sleep 0.5 # the opener runs on its own
[ "$(realpath "$(cat "$WORK/opened.txt" 2>/dev/null)")" = "$(realpath "$GAME/ReadMe.txt")" ] ||
  fail "read-me not opened: $(cat "$WORK/opened.txt" 2>/dev/null)"

# SHOW_README starting with "0", or no display: nothing is opened.
rm -f "$WORK/opened.txt"
install_game
make_updater "$WORK/quiet" 'SHOW_README=0'
PATH="$WORK/opener:$PATH" WINEPREFIX=$PREFIX DISPLAY=:99 timeout 60 "$WORK/quiet" -force \
  </dev/null >"$OUT" 2>&1
RC=$?
expect_rc 0 "SHOW_README=0"
install_game
PATH="$WORK/opener:$PATH" WINEPREFIX=$PREFIX DISPLAY= WAYLAND_DISPLAY= timeout 60 \
  "$WORK/update" -force </dev/null >"$OUT" 2>&1
RC=$?
expect_rc 0 "no display"
sleep 0.5
expect_absent "$WORK/opened.txt"

# No terminal and no -force (a file manager's double-click, a launcher): the
# questions could not be answered, so it says what is needed and ends with
# its own code, the copy of the log saying the same.
install_game
run_updater "$WORK/update" -log "$WORK/why.log" </dev/null
expect_rc 2 "no terminal"
expect_out "none is there to answer them"
expect_out "-force"
expect_no_out "[1] Update  [2] Close"
expect_old_game
expect_absent "$GAME/patch.log"
grep -qF 'none is there to answer them' "$WORK/why.log" || fail "the copy of the log lacks the reason"

# On a terminal: Update, Yes, OK, then Close.
install_game
ANSWERS=(1 y "" 1)
in_terminal "$WORK/update" -skipshortcuts
expect_rc 255 "terminal run closed"
expect_new_game
expect_log "$LOG" "terminal run's log"
expect_out "question: Install the update now?"
expect_out "[1] Yes  [2] No"
expect_out "Sample Game was updated."
# After success only Close is left.
expect_out "[1] Close"
# The bars are drawn in place: the cursor goes back up over them.
grep -q $'\033\[4F' "$OUT" || fail "progress not redrawn in place"
grep -qE 'Total \[#+\] 100%' "$OUT" || fail "no full bar"

# Answered No: nothing happens and the choice comes back.
install_game
ANSWERS=(1 n 2)
in_terminal "$WORK/update"
expect_rc 255 "answered no"
expect_old_game
expect_absent "$GAME/patch.log"
[ "$(grep -c '\[1\] Update  \[2\] Close' "$OUT")" -eq 2 ] || fail "Update not offered again after No"

finish
