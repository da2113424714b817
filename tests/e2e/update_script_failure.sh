#!/usr/bin/env bash
# Script steps that fail: a source file that is not the expected one stops the
# run before anything changed (Interrupted); a folder that cannot be created
# stops it after the checks (Failed).
source "$SRC/tests/e2e/lib/e2e.bash"

install_game
make_updater "$WORK/update"
crc_text="A game file is not the one this update expects. Details are in patch.log in the game folder."

# One byte of an installed file differs: its check fails first.
install_game
printf 'X' | dd of="$GAME/Data/levels.dat" bs=1 seek=1000 conv=notrunc status=none
cp "$GAME/Data/levels.dat" "$WORK/changed.dat"
run_updater "$WORK/update" -force </dev/null
expect_rc 1 "wrong checksum before any change"
expect_out "warning: $crc_text"
expect_out "The update was stopped before anything changed. You can run it again."
with_final "ERROR: wrong CRC of $GAME_DIR_WIN\\Data\\levels.dat !
" "$crc_text"
expect_log "$LOG" "checksum failure's log"
expect_file_same "$GAME/Data/levels.dat" "$WORK/changed.dat"
expect_file_same "$GAME/game.exe" "$WORK/trees/old/game.exe"
expect_absent "$GAME/Data/maps"

# Interactively the update is offered again; the repaired file then updates.
ANSWERS=(1 y "")
in_terminal "$WORK/update"
expect_rc 255 "interrupted run, input ended"
[ "$(grep -c '\[1\] Update  \[2\] Close' "$OUT")" -eq 2 ] || fail "Update not offered again"
cp "$WORK/trees/old/Data/levels.dat" "$GAME/Data/levels.dat"
run_updater "$WORK/update" -force </dev/null
expect_rc 0 "repaired installation"
expect_new_game

# A file where the update puts a folder: the folder step lets it pass, the
# file to be created in it cannot be: the run fails half-way (Failed).
install_game
printf 'in the way' >"$GAME/Data/maps"
run_updater "$WORK/update" -force </dev/null
expect_rc 3 "file cannot be created"
expect_out "error: The update failed. Details are in patch.log in the game folder."
expect_out "The update of Sample Game failed."
with_final "Created dir: $GAME_DIR_WIN\\Data\\maps
Updated file: $GAME_DIR_WIN\\Data\\levels.dat
Updated file: $GAME_DIR_WIN\\game.exe
Updated file: $GAME_DIR_WIN\\ReadMe.txt
ERROR: couldn' create file $GAME_DIR_WIN\\Data\\maps\\island.map - reason 2!
" "The update failed. Details are in patch.log in the game folder."
expect_log "$LOG" "failed run's log"
# What ran before the failure stays done.
expect_file_same "$GAME/Data/levels.dat" "$WORK/trees/new/Data/levels.dat"

finish
