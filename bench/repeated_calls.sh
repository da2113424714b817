#!/usr/bin/env bash
# The sample update with CALLS more script calls that name one folder again
# and again (CheckDir("Data")): the flushes (fsync, fdatasync, counted with
# strace) and the wall time of the Linux console updater. Flushes should
# follow the work done, not the calls. BEFORE=DIR runs an earlier build's
# upkeep from DIR too, for before/after figures.
#
# usage: bench/repeated_calls.sh [LINUX_BIN] [CALLS...]   (default: 2000 100000)
# env:   WORK (scratch, default /tmp/upkeep-repeated-calls, on a real disk:
#        a flush on tmpfs costs nothing)
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
BIN=$(cd "${1:-build/linux/bin}" && pwd)
shift || true
COUNTS=("$@")
[ ${#COUNTS[@]} -gt 0 ] || COUNTS=(2000 100000)
WORK=${WORK:-/tmp/upkeep-repeated-calls}
BEFORE=${BEFORE:-}
[ -z "$BEFORE" ] || BEFORE=$(cd "$BEFORE" && pwd)
for tool in strace "$BIN/upkeep" "$BIN/upkeep-pack" "$BIN/upkeep-test-repack"; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done

rm -rf "$WORK"
mkdir -p "$WORK"
source "$SRC/tests/e2e/lib/game.bash"
make_game_trees "$WORK/trees"
PREFIX=$WORK/prefix
GAME=$PREFIX/drive_c/Games/Sample\ Game
make_prefix "$PREFIX"
write_system_reg "$PREFIX" 'Software\Sample Studio\Sample Game' InstallPath 'C:\Games\Sample Game'
strings_with "$WORK/Strings.scr" 'REG_KEY=Software\Sample Studio\Sample Game' \
  'REG_DESTINATION=InstallPath' 'PROGRAM_NAME=Sample Game' 'PROGRAM_NAME_OLD=Sample Game' \
  'SRC_EXE=game.exe' 'GAME_VERSION=1.0.0.0' 'PATCH_VERSION=1.0.0.1' 'LANG_VERSION=en' \
  'SHOW_README=0'
"$BIN/upkeep-pack" make --old "$WORK/trees/old" --new "$WORK/trees/new" \
  --strings "$WORK/Strings.scr" --stub "$BIN/upkeep" -o "$WORK/update" >/dev/null 2>&1
"$BIN/upkeep-pack" extract "$WORK/update" "$WORK/x" >/dev/null

printf '| calls | build | flushes | wall s |\n|---:|---|---:|---:|\n'
for n in "${COUNTS[@]}"; do
  rm -rf "$WORK/edit"
  cp -r "$WORK/x" "$WORK/edit"
  # The repeated calls go before the first section's closing brace.
  awk -v n="$n" '!done && /^}/ { for (i = 0; i < n; i++) print "  CheckDir(\"Data\")"; done = 1 }
    { print }' "$WORK/x/PATCH.SCR" >"$WORK/edit/PATCH.SCR"
  builds=(after)
  [ -z "$BEFORE" ] || builds=(before after)
  for build in "${builds[@]}"; do
    stub=$BIN/upkeep
    [ "$build" = after ] || stub=$BEFORE/upkeep
    "$BIN/upkeep-test-repack" "$stub" "$WORK/edit" "$WORK/update-$n"
    # Timed alone, then counted (a traced run is slower).
    for pass in time count; do
      rm -rf "$GAME"
      mkdir -p "$GAME"
      cp -r "$WORK/trees/old/." "$GAME/"
      trace=()
      [ "$pass" = time ] ||
        trace=(strace --seccomp-bpf -f -c -e trace=fsync,fdatasync -o "$WORK/strace.txt")
      start=$(date +%s.%N)
      WINEPREFIX=$PREFIX DISPLAY= "${trace[@]}" "$WORK/update-$n" -silent </dev/null >/dev/null 2>&1 ||
        { echo "the update failed" >&2; exit 1; }
      end=$(date +%s.%N)
      [ "$pass" = count ] || wall=$(echo "$end - $start" | bc)
      cmp -s "$GAME/game.exe" "$WORK/trees/new/game.exe" || { echo "not updated" >&2; exit 1; }
    done
    flushes=$(awk '$NF == "fsync" || $NF == "fdatasync" { n += $4 } END { print n + 0 }' "$WORK/strace.txt")
    printf '| %s | %s | %s | %.2f |\n' "$n" "$build" "$flushes" "$wall"
  done
done
