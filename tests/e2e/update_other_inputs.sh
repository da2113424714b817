#!/usr/bin/env bash
# Inputs another tool may write: a game folder registered with forward
# slashes or extra trailing separators, and a string table with LF line ends
# that defines the settings and the titles only (make refuses a table without
# what the updater cannot do without), so every other text shows as its token.
source "$SRC/tests/e2e/lib/e2e.bash"

install_game
make_updater "$WORK/update"

# sample_log_at ROOT: the sample update's log lines with ROOT as written.
sample_log_at() {
  local root=$1
  printf -v SAMPLE_AT '%s' "${SAMPLE_LOG//"$GAME_DIR_WIN\\"/"$root"}"
}

# Forward slashes are kept as registered; only a trailing backslash goes.
install_game
write_system_reg "$PREFIX" "$GAME_KEY" InstallPath 'C:/Games/Sample Game/'
run_updater "$WORK/update" -force </dev/null
expect_rc 0 "forward slashes"
expect_new_game
sample_log_at 'C:/Games/Sample Game/\'
with_final "$SAMPLE_AT" "$SUCCESS_TEXT"
expect_log "$LOG" "forward slashes' log"

# Two trailing backslashes lose one; the root then ends with a separator
# and names are joined to it without another.
install_game
write_system_reg "$PREFIX" "$GAME_KEY" InstallPath 'C:\Games\Sample Game\\'
run_updater "$WORK/update" -force </dev/null
expect_rc 0 "two trailing backslashes"
with_final "$SAMPLE_LOG" "$SUCCESS_TEXT"
expect_log "$LOG" "two trailing backslashes' log"

# A bare string table with LF line ends.
bare_table() {
  printf '!String(s, s)\n'
  printf 'String("REG_KEY", "Software\\\\Sample Studio\\\\Sample Game")\n'
  printf 'String("REG_DESTINATION", "InstallPath")\n'
  printf 'String("SRC_EXE", "game.exe")\n'
  printf 'String("GAME_VERSION", "1.0.0.0")\n'
  printf 'String("LANG_VERSION", "%s")\n' "$1"
  printf 'String("IDS_TITLE", "Bare")\n'
  printf 'String("UPDATE_TITLE", "Bare update")\n'
}
make_bare() {
  bare_table "$2" >"$WORK/bare.scr"
  "$BIN/upkeep-pack" make --old "$WORK/trees/old" --new "$WORK/trees/new" \
    --strings "$WORK/bare.scr" --stub "$BIN/upkeep" -o "$1" --allow-any-version \
    >"$WORK/make.log" 2>&1 ||
    cat "$WORK/make.log" >&2
  chmod +x "$1"
}

install_game
make_bare "$WORK/bare" en
run_updater "$WORK/bare" -force </dev/null
expect_rc 0 "bare table"
expect_new_game
with_final "$SAMPLE_LOG" "&IDS_UPDATE_SUCCESSFUL&"
expect_log "$LOG" "bare table's log"
expect_out "-- Bare --"
expect_out "== Bare update =="

# The language message joins its tokens and the installed language.
install_game
make_bare "$WORK/bare-de" de
run_updater "$WORK/bare-de" -force </dev/null
expect_rc 1 "bare table, wrong language"
with_final "" "&IDS_ERR_WRONG_LANG&&IDS_YOUR_GAME_LANG_VER_IS&en&IDS_THIS_PATCH_IS_FOR_LANG_VER&de"
expect_log "$LOG" "bare table's language log"
expect_old_game

finish
