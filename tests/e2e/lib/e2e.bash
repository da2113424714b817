# Common ground of the whole-update tests: a sample game installed in a
# throwaway prefix, a package made with upkeep-pack and appended to the built
# updater, runs of it, and checks. Needs BIN (the bin folder) and SRC.
set -uo pipefail

: "${BIN:?BIN must name the bin folder}"
: "${SRC:?SRC must name the source tree}"
WORK=$(mktemp -d /tmp/upkeep-e2e.XXXXXX)
# script(1) runs its command with $SHELL: the commands here are quoted for bash,
# and a shell left waiting would die of the terminal's Ctrl-C (exit 130) before
# the program it waits on has answered it.
export SHELL=/bin/bash
trap 'e2e_cleanup' EXIT
failures=0
# shellcheck source=game.bash
source "$SRC/tests/e2e/lib/game.bash"

e2e_cleanup() {
  local pid
  for pid in $(jobs -p); do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  chmod -R u+w "$WORK" 2>/dev/null
  rm -rf "$WORK"
}

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
  exit 0
}

GAME_KEY='Software\Sample Studio\Sample Game'
GAME_DIR_WIN='C:\Games\Sample Game'
SUCCESS_TEXT='The update was installed successfully.'

# The sample game in both versions, once per test script.
make_game_trees "$WORK/trees" || {
  echo "cannot build the sample game" >&2
  exit 1
}

# install_game: a fresh prefix with version 1.0 installed and registered.
install_game() {
  PREFIX=$WORK/prefix
  rm -rf "$PREFIX"
  make_prefix "$PREFIX"
  GAME=$PREFIX/drive_c/Games/Sample\ Game
  mkdir -p "$GAME"
  cp -r "$WORK/trees/old/." "$GAME/"
  write_system_reg "$PREFIX" "$GAME_KEY" InstallPath "$GAME_DIR_WIN"
}

# make_updater OUT [--terms FILE] [KEY=TEXT ...]: the updater for the sample
# game with the string table's defaults and the settings given.
make_updater() {
  local out=$1
  shift
  local terms=()
  if [ "${1:-}" = --terms ]; then
    terms=(--terms "$2")
    shift 2
  fi
  # The settings given come first: the first definition of a key wins. Some
  # are made not to match the game, to see the updater refuse it.
  strings_with "$WORK/Strings.scr" "$@" "REG_KEY=$GAME_KEY" 'REG_DESTINATION=InstallPath' \
    'PROGRAM_NAME=Sample Game 1.0.1' 'PROGRAM_NAME_OLD=Sample Game' 'SRC_EXE=game.exe' \
    'GAME_VERSION=1.0.0.0' 'PATCH_VERSION=1.0.0.1' 'LANG_VERSION=en' 'SHOW_README=1' ||
    return 1
  if ! "$BIN/upkeep-pack" make --old "$WORK/trees/old" --new "$WORK/trees/new" \
    --strings "$WORK/Strings.scr" "${terms[@]}" --stub "$BIN/upkeep" -o "$out" \
    --allow-any-version >"$WORK/make.log" 2>&1; then
    cat "$WORK/make.log" >&2
    return 1
  fi
  chmod +x "$out"
}

# run_updater UPDATER ARGS... < input: runs it in the prefix without a
# display; OUT holds what it printed, RC its exit code.
run_updater() {
  local updater=$1
  shift
  OUT=$WORK/out.txt
  WINEPREFIX=$PREFIX DISPLAY= WAYLAND_DISPLAY= timeout 60 "$updater" "$@" >"$OUT" 2>&1
  RC=$?
}

# in_terminal UPDATER ARGS... : the same on a pseudo-terminal, typing the
# lines of the array ANSWERS one by one with a pause before each.
in_terminal() {
  local updater=$1
  shift
  OUT=$WORK/out.txt
  local cmd
  cmd="exec $(printf '%q ' "$updater" "$@")"
  slow_lines "${ANSWERS[@]}" |
    WINEPREFIX=$PREFIX DISPLAY= WAYLAND_DISPLAY= timeout 60 script -qefc "$cmd" /dev/null \
      >"$OUT" 2>&1
  RC=${PIPESTATUS[1]}
  # What a person would have read: no carriage returns.
  tr -d '\r' <"$OUT" >"$OUT.plain" && mv "$OUT.plain" "$OUT"
}

# slow_lines LINE...: the lines with a pause before each.
slow_lines() {
  local line
  for line in "$@"; do
    sleep 0.7
    printf '%s\n' "$line"
  done
  sleep 1
}

expect_rc() {
  [ "$RC" -eq "$1" ] || fail "${2:-run}: exit code $RC, expected $1"
}

expect_out() {
  grep -qF -- "$1" "$OUT" || fail "${2:-output} lacks: $1"
}

expect_no_out() {
  if grep -qF -- "$1" "$OUT"; then fail "${2:-output} has: $1"; fi
}

# expect_log TEXT: patch.log holds exactly TEXT with LF made CR LF.
expect_log() {
  local want=$WORK/want.log
  printf '%s' "$1" | awk 'BEGIN { ORS = "" } { print $0 "\r\n" }' >"$want"
  if ! cmp -s "$want" "$GAME/patch.log"; then
    fail "${2:-patch.log} differs"
    diff <(od -c "$want") <(od -c "$GAME/patch.log" 2>/dev/null) | head -20 >&2
  fi
}

expect_file_same() {
  cmp -s "$1" "$2" || fail "$1 is not $2"
}

expect_exists() {
  [ -e "$1" ] || fail "missing: $1"
}

expect_absent() {
  [ ! -e "$1" ] || fail "still there: $1"
}

# The installed game is still exactly version 1.0.
expect_old_game() {
  expect_file_same "$GAME/game.exe" "$WORK/trees/old/game.exe"
  expect_file_same "$GAME/Data/levels.dat" "$WORK/trees/old/Data/levels.dat"
  expect_absent "$GAME/Data/maps"
}

expect_new_game() {
  expect_file_same "$GAME/game.exe" "$WORK/trees/new/game.exe"
  expect_file_same "$GAME/Data/levels.dat" "$WORK/trees/new/Data/levels.dat"
  expect_file_same "$GAME/Data/maps/island.map" "$WORK/trees/new/Data/maps/island.map"
  expect_file_same "$GAME/ReadMe.txt" "$WORK/trees/new/ReadMe.txt"
  expect_absent "$GAME/intro.txt"
}

# The log lines of the sample update, in script order.
SAMPLE_LOG="Created dir: $GAME_DIR_WIN\\Data\\maps
Updated file: $GAME_DIR_WIN\\Data\\levels.dat
Updated file: $GAME_DIR_WIN\\game.exe
Updated file: $GAME_DIR_WIN\\ReadMe.txt
Created file: $GAME_DIR_WIN\\Data\\maps\\island.map
Deleted file: $GAME_DIR_WIN\\intro.txt
"

# with_final BODY TEXT: sets LOG to the log of a run whose commands wrote
# BODY and which ended with TEXT.
with_final() {
  printf -v LOG '%s\nFinal update state:\n%s\n' "$1" "$2"
}

# wait_for_out TEXT [FILE]: waits up to 30 s until FILE (OUT) shows TEXT.
wait_for_out() {
  local file=${2:-$OUT} i
  for i in $(seq 1 300); do
    grep -qF -- "$1" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "never shown: $1"
  return 1
}

# hold_game: a process that keeps the game's program open, as a running game
# does; HOLDER is its pid.
hold_game() {
  sleep 300 <"$GAME/game.exe" &
  HOLDER=$!
  # The shell opens the file in the child: wait until it holds it, or an
  # updater started at once may find the game not running yet.
  local i target
  target=$(realpath "$GAME/game.exe")
  for i in $(seq 1 100); do
    [ "$(readlink "/proc/$HOLDER/fd/0" 2>/dev/null)" = "$target" ] && return 0
    sleep 0.05
  done
  fail "the game was never held open"
}

release_game() {
  kill "$HOLDER" 2>/dev/null
  wait "$HOLDER" 2>/dev/null
}
