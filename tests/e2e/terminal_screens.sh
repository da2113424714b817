#!/usr/bin/env bash
# The console updater's screens on a terminal of 40 columns and 12 rows: the
# licence word-wrapped and paged, labelled bars that fit and are cleared before
# the outcome, no temporary file names, an answer it does not take gets a
# hint, prefixes offered once each with their names as they are on disk,
# TERM=dumb gets plain lines, Ctrl-C at a question ends the program as Close.
source "$SRC/tests/e2e/lib/e2e.bash"

# A paragraph far wider than the terminal, then more lines than a screen.
{
  printf 'Terms of use of the sample game. '
  for i in $(seq 1 12); do printf 'Clause %d applies to every copy of the game. ' "$i"; done
  printf '\r\n'
  for i in $(seq 1 20); do printf 'Line %d\r\n' "$i"; done
  printf 'The last line.\r\n'
} >"$WORK/umowa.txt"
install_game
make_updater "$WORK/update" --terms "$WORK/umowa.txt"
make_updater "$WORK/plain"

# small_terminal ARGS...: in_terminal on a 40x12 terminal.
small_terminal() {
  local cmd
  cmd="stty cols 40 rows 12; exec $(printf '%q ' "$WORK/update" "$@")"
  OUT=$WORK/out.txt
  slow_lines "${ANSWERS[@]}" |
    WINEPREFIX=$PREFIX DISPLAY= WAYLAND_DISPLAY= timeout 60 script -qefc "$cmd" /dev/null \
      >"$OUT" 2>&1
  RC=${PIPESTATUS[1]}
  tr -d '\r' <"$OUT" >"$OUT.plain"
}
# The lines a person saw: cursor codes taken out, each redraw on a line of its own.
seen_lines() {
  sed -e 's/\x1b\[[0-9;]*[A-Za-z]/\n/g' "$OUT.plain"
}

# Next page, the rest at once, accept; an answer it does not take; Update,
# Yes, OK, Close.
ANSWERS=("" q 1 x 1 y "" 1)
small_terminal
expect_rc 255 "a run on a small terminal"
expect_new_game
too_wide=$(seen_lines | grep -E '^(File |Total|Terms|Clause|[a-z ]*copy|Line|-- more)' |
  awk 'length($0) > 39' | head -3)
[ -z "$too_wide" ] || fail "lines wider than the terminal: $too_wide"
grep -qF -- "-- more (Enter; q: the rest) --" "$OUT.plain" || fail "the licence is not paged"
grep -q '^The last line\.$' "$OUT.plain" || fail "the rest of the licence is not shown"
grep -q '^Clause 12 applies to every copy of the$' <(seen_lines) ||
  grep -q 'Clause 12 applies' <(seen_lines) || fail "the licence is cut, not wrapped"
[ "$(seen_lines | grep -c 'Clause')" -ge 4 ] || fail "the long paragraph is not wrapped"
grep -qF "Type a number from 1 to 2, or a choice's name, and press Enter." "$OUT.plain" ||
  fail "no hint for an answer not taken"
grep -qE '^File  \[[#.]+\] +[0-9]+%$' <(seen_lines) || fail "no labelled file bar"
grep -qE '^Total \[#+\] 100%$' <(seen_lines) || fail "no labelled full bar"
grep -qF 'mya$$' "$OUT.plain" && fail "a temporary file name was shown"
# The last frame goes before the outcome box is written.
last_bar=$(grep -abo 'Total \[' "$OUT.plain" | tail -1 | cut -d: -f1)
box=$(grep -abo -- '-- Sample Game 1.0.1 update --' "$OUT.plain" | tail -1 | cut -d: -f1)
clear=$(grep -abo $'\x1b\\[4F\x1b\\[J' "$OUT.plain" | tail -1 | cut -d: -f1)
[ -n "$last_bar" ] && [ -n "$box" ] && [ -n "$clear" ] && [ "$clear" -gt "$last_bar" ] &&
  [ "$clear" -lt "$box" ] || fail "the last progress frame is not cleared before the outcome"

# TERM=dumb: plain lines, no cursor codes.
install_game
OUT=$WORK/out.txt
slow_lines 1 y "" 1 |
  TERM=dumb WINEPREFIX=$PREFIX DISPLAY= timeout 60 script -qefc "exec $(printf '%q' "$WORK/plain")" \
    /dev/null >"$OUT" 2>&1
RC=${PIPESTATUS[1]}
expect_rc 255 "TERM=dumb"
expect_new_game
grep -q $'\x1b\\[' "$OUT" && fail "cursor codes on a dumb terminal"
expect_out "Updating game files..."

# Ctrl-C at a question ends the program as Close does, at once.
install_game
mkfifo "$WORK/keys"
# The earlier run's screens are not this one's: the question must be this run's.
rm -f "$OUT"
WINEPREFIX=$PREFIX DISPLAY= timeout 60 script -qefc "exec $(printf '%q' "$WORK/plain")" /dev/null \
  <"$WORK/keys" >"$OUT" 2>&1 &
runner=$!
exec 8>"$WORK/keys"
wait_for_out "[1] Update  [2] Close"
printf '\003' >&8
wait "$runner"
RC=$?
exec 8>&-
expect_rc 255 "Ctrl-C at the main question"
expect_old_game
expect_absent "$GAME/patch.log"

# Two prefixes hold the game, named with '&' and with letters outside the
# string table's code page: each offered once, as it is on disk; Ctrl-C
# there ends the program too.
FAKE=$WORK/home
tom="$FAKE/Games/Tom & Jerry ゲーム"
turtle="$FAKE/.local/share/wineprefixes/Żółw"
for p in "$tom" "$turtle"; do
  make_prefix "$p"
  mkdir -p "$p/drive_c/Games/Sample Game"
  cp -r "$WORK/trees/old/." "$p/drive_c/Games/Sample Game/"
  write_system_reg "$p" "$GAME_KEY" InstallPath "$GAME_DIR_WIN"
done
ANSWERS=(2 1 y "" 1)
OUT=$WORK/out.txt
slow_lines "${ANSWERS[@]}" |
  (unset WINEPREFIX; HOME=$FAKE DISPLAY= timeout 60 script -qefc "exec $(printf '%q' "$WORK/plain")" \
    /dev/null) >"$OUT" 2>&1
RC=${PIPESTATUS[1]}
tr -d '\r' <"$OUT" >"$OUT.plain" && mv "$OUT.plain" "$OUT"
expect_rc 255 "chosen among prefixes"
[ "$(grep -cF "$tom" "$OUT")" -eq 1 ] || fail "the '&' prefix is not offered once"
expect_out "  [1] $tom (Lutris)"
expect_out "  [2] $turtle (winetricks)"
expect_out "Wine prefix: $turtle (chosen, winetricks)"
GAME="$turtle/drive_c/Games/Sample Game"
expect_new_game

finish
