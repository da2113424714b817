#!/usr/bin/env bash
# Installations the update refuses before it changes anything: no registry
# entry, no game folder, the wrong language, the wrong version.
source "$SRC/tests/e2e/lib/e2e.bash"

install_game
make_updater "$WORK/update"

# No registry entry: an error box, Failed (3), no log anywhere.
install_game
rm "$PREFIX/system.reg"
run_updater "$WORK/update" -force </dev/null
expect_rc 3 "no registry entry"
expect_out "error: Sample Game is not installed on this computer."
expect_out "Install Sample Game before you install the Sample Game 1.0.1 update."
expect_out "The update of Sample Game failed."
expect_absent "$GAME/patch.log"
expect_old_game

# The key is there, its value is not.
write_system_reg "$PREFIX" "$GAME_KEY" OtherValue "$GAME_DIR_WIN"
run_updater "$WORK/update" -force </dev/null
expect_rc 3 "no registry value"
expect_out "error: Sample Game is not installed on this computer."

# The registry names a folder that is not there.
install_game
write_system_reg "$PREFIX" "$GAME_KEY" InstallPath 'C:\Games\Gone\'
run_updater "$WORK/update" -force </dev/null
expect_rc 3 "no game folder"
expect_out "error: The folder of Sample Game was not found."
expect_absent "$PREFIX/drive_c/Games/Gone"
expect_old_game

# The folder is there, the program is not.
install_game
rm "$GAME/game.exe"
run_updater "$WORK/update" -force </dev/null
expect_rc 3 "no program"
expect_out "error: The program of Sample Game was not found."
# A line break of a message reaches the text-mode log as CR CR LF.
with_final "" "The program of Sample Game was not found."$'\r\n'"Reinstall Sample Game, then run the Sample Game 1.0.1 update."
expect_log "$LOG" "no program's log"

# Wrong language: a warning, Interrupted (1), nothing changed.
install_game
make_updater "$WORK/german" 'LANG_VERSION=de'
run_updater "$WORK/german" -force </dev/null
expect_rc 1 "wrong language"
lang_text="This update does not fit the language of your copy of Sample Game 1.0.1.
Language of your game: en
This update is for: de"
expect_out "warning: This update does not fit the language of your copy of Sample Game 1.0.1."
expect_out "Language of your game: en"
expect_out "The update was stopped before anything changed."
with_final "" "${lang_text//$'\n'/$'\r\n'}"
expect_log "$LOG" "wrong language's log"
expect_old_game

# Wrong version: the same, with the versions asked for.
install_game
make_updater "$WORK/later" 'GAME_VERSION=1.0.0.5; 1.0.0.6'
run_updater "$WORK/later" -force </dev/null
expect_rc 1 "wrong version"
expect_out "warning: This update needs version 1.0.0.5; 1.0.0.6 of the game."
expect_out "== Sample Game 1.0.1 update 1.0.0.5,  1.0.0.6 -> 1.0.0.1 =="
with_final "" "This update needs version 1.0.0.5; 1.0.0.6 of the game."
expect_log "$LOG" "wrong version's log"
expect_old_game

# Interactively an interrupted run offers the update again.
ANSWERS=(1 y "" 2)
in_terminal "$WORK/later"
expect_rc 255 "interrupted, then Close"
[ "$(grep -c '\[1\] Update  \[2\] Close' "$OUT")" -eq 2 ] || fail "Update not offered again"

finish
