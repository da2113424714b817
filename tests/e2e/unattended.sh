#!/usr/bin/env bash
# Unattended use: -silent answers every question with the button that changes
# nothing, prints nothing, opens no read-me and ends with the outcome's exit
# code; -log FILE leaves a copy of patch.log; -help lists the options.
source "$SRC/tests/e2e/lib/e2e.bash"

mkdir -p "$WORK/opener"
cat >"$WORK/opener/xdg-open" <<SH
#!/bin/sh
printf '%s\n' "\$1" >>"$WORK/opened.txt"
SH
chmod +x "$WORK/opener/xdg-open"

# silent UPDATER ARGS...: a run with a display, an opener and no input.
silent() {
  local updater=$1
  shift
  OUT=$WORK/out.txt
  PATH="$WORK/opener:$PATH" WINEPREFIX=$PREFIX DISPLAY=:99 timeout 60 "$updater" "$@" \
    </dev/null >"$OUT" 2>"$WORK/err.txt"
  RC=$?
}

# Success, with terms in the package and a log name with a blank in it.
printf 'Terms\r\n' >"$WORK/terms.txt"
install_game
make_updater "$WORK/update" --terms "$WORK/terms.txt"
mkdir -p "$WORK/log dir"
silent "$WORK/update" -silent -log "$WORK/log dir/run one.log"
expect_rc 0 "silent success"
expect_new_game
with_final "$SAMPLE_LOG" "$SUCCESS_TEXT"
expect_log "$LOG"
[ ! -s "$OUT" ] || fail "a silent run printed: $(head -3 "$OUT")"
expect_file_same "$WORK/log dir/run one.log" "$GAME/patch.log"
sleep 0.5
expect_absent "$WORK/opened.txt"

# The game still runs: Retry/Cancel gets Cancel at once; nothing changed, so
# exit code 1: try again later.
install_game
hold_game
silent "$WORK/update" -silent -log "$WORK/held.log"
release_game
expect_rc 1 "silent, game running"
expect_old_game
grep -q 'Final update state:' "$GAME/patch.log" || fail "no final state in patch.log"
expect_file_same "$WORK/held.log" "$GAME/patch.log"

# Interrupted (wrong version): 1, and may be run again.
install_game
make_updater "$WORK/other" 'GAME_VERSION=9.9.9.9'
silent "$WORK/other" -silent
expect_rc 1 "silent, wrong version"
expect_old_game

# No installation: no patch.log anywhere, the copy holds the final state alone.
install_game
write_system_reg "$PREFIX" 'Software\Nobody' InstallPath 'C:\Nowhere'
silent "$WORK/update" -silent -log "$WORK/none.log"
expect_rc 3 "silent, not installed"
expect_absent "$GAME/patch.log"
grep -q $'^Final update state:\r$' "$WORK/none.log" || fail "copy without a log lacks the final state"

# A file name that holds another option's text turns nothing on: not
# silent here, so the dialog's texts are shown.
install_game
silent "$WORK/update" -force -log "$WORK/update-silent.log"
expect_rc 0 "a log named like an option"
expect_out "Sample Game was updated."
expect_file_same "$WORK/update-silent.log" "$GAME/patch.log"

# A damaged download still makes its copy, which says why nothing happened.
head -c -1000 "$WORK/update" >"$WORK/damaged"
chmod +x "$WORK/damaged"
install_game
silent "$WORK/damaged" -silent -log "$WORK/damaged.log"
expect_rc 3 "damaged package"
grep -qF 'damaged or incomplete' "$WORK/damaged.log" || fail "the damaged run's copy lacks the reason"
expect_old_game

# A copy that cannot be made stops everything before it starts.
install_game
silent "$WORK/update" -silent -log "$WORK/missing dir/x.log"
expect_rc 3 "unwritable log"
expect_old_game
expect_absent "$GAME/patch.log"
grep -qF 'cannot be written' "$WORK/err.txt" || fail "unwritable log not explained"
silent "$WORK/update" -silent -log
expect_rc 3 "-log without a name"

# Without -silent the copy is made too; the dialog's texts are still shown.
install_game
silent "$WORK/update" -force -log "$WORK/forced.log"
expect_rc 0 "forced with a log"
expect_out "Sample Game was updated."
expect_file_same "$WORK/forced.log" "$GAME/patch.log"

# -? and -help: the options, nothing else.
for opt in -? -help; do
  install_game
  silent "$WORK/update" "$opt" -force
  expect_rc 0 "$opt"
  expect_out "-silent"
  expect_out "-log FILE"
  expect_no_out "Preparing the update" "$opt:"
  expect_absent "$GAME/patch.log"
done

finish
