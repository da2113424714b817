#!/usr/bin/env bash
# The Windows updater under Wine against a tampered game folder: links
# planted where it makes its own files, linked folders a script removes,
# names that climb out of the game folder, a forged journal (Wine shows Unix
# links to folders as reparse points and links to files as the files).
# Nothing outside the game folder may change.
# Env: BIN (Windows bin folder), LINUX_BIN, SRC.
set -uo pipefail
: "${BIN:?}" "${LINUX_BIN:?}" "${SRC:?}"
[ -f "$BIN/upkeep.exe" ] || {
  echo "missing $BIN/upkeep.exe"
  exit 1
}
# shellcheck source=lib/setup.bash
source "$SRC/tests/wine/lib/setup.bash"
wine_work contain
GAMES=$WINEPREFIX/drive_c/upkeep-contain-test
GAME=$GAMES/Game
GAME_WIN='C:\upkeep-contain-test\Game'
OUTSIDE=$GAMES/Other
cleanup() {
  [ -n "$own_prefix" ] && wineserver -k >/dev/null 2>&1
  chmod -R u+w "$WORK" "$GAMES" 2>/dev/null
  rm -rf "$WORK" "$GAMES"
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
source "$SRC/tests/e2e/lib/game.bash"
source "$SRC/tests/e2e/lib/containment.bash"

make_game_trees "$WORK/trees" || {
  echo "cannot build the sample game"
  exit 1
}
key='Software\Upkeep Contain Test\Game'
wine reg add "HKLM\\$key" /v InstallPath /t REG_SZ /d "$GAME_WIN" /f >/dev/null 2>&1 ||
  fail "wine reg add"
BIN=$LINUX_BIN strings_with "$WORK/Strings.scr" "REG_KEY=$key" 'REG_DESTINATION=InstallPath' \
  'PROGRAM_NAME=Sample Game 1.0.1' 'PROGRAM_NAME_OLD=Sample Game' 'SRC_EXE=game.exe' \
  'GAME_VERSION=1.0.0.0' 'PATCH_VERSION=1.0.0.1' 'LANG_VERSION=en' 'SHOW_README=0' ||
  fail "string table"
UPDATE=$WORK/update.exe
"$LINUX_BIN/upkeep-pack" make --old "$WORK/trees/old" --new "$WORK/trees/new" \
  --strings "$WORK/Strings.scr" --stub "$BIN/upkeep.exe" -o "$UPDATE" >"$WORK/make.txt" 2>&1 ||
  fail "make: $(cat "$WORK/make.txt")"
STUB=$BIN/upkeep.exe
REPACK=$LINUX_BIN/upkeep-test-repack
DIR_LINKS_GO=0
fresh_game() {
  rm -rf "$GAME"
  mkdir -p "$GAME"
  cp -r "$WORK/trees/old/." "$GAME/"
}
# -silent opens no window: no display is needed.
run_update() {
  DISPLAY= timeout 120 wine "$1" -silent </dev/null >/dev/null 2>&1
  RC=$?
}

BIN=$LINUX_BIN contain_setup
contain_planted_links
contain_linked_folders
contain_dot_dot
contain_forged_journal

if [ "$failures" -ne 0 ]; then
  echo "containment under Wine: $failures check(s) failed"
  exit 1
fi
echo "containment under Wine: all checks passed"
