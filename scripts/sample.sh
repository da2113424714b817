#!/usr/bin/env bash
# A whole sample update: builds a small game in two versions, installs the old
# one into a throwaway Wine-style prefix with its registry entry, makes an
# update package with upkeep-pack, appends it to the Linux updater, runs the
# updater unattended and prints the log it wrote into the game folder.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh
build=${UPKEEP_BUILD_DIR:-build/linux}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" upkeep upkeep-pack

BIN=$root/$build/bin
WORK=$(mktemp -d /tmp/upkeep-sample.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
# shellcheck source=../tests/e2e/lib/game.bash
source tests/e2e/lib/game.bash

echo "== building the sample game, versions 1.0 and 1.0.1"
make_game_trees "$WORK/trees"

echo "== installing version 1.0 into a throwaway prefix"
prefix=$WORK/prefix
make_prefix "$prefix"
game="$prefix/drive_c/Games/Sample Game"
mkdir -p "$game"
cp -r "$WORK/trees/old/." "$game/"
# Caches the game leaves behind; the updater clears them.
mkdir -p "$game/Data/Levels/Island"
printf 'stale' >"$game/Data/Levels/bank01.bnk"
printf 'stale' >"$game/Data/Levels/Island/BANK02.BNK"
write_system_reg "$prefix" 'Software\Sample Studio\Sample Game' InstallPath 'C:\Games\Sample Game'

echo "== making the update package"
strings_with "$WORK/Strings.scr" \
  'REG_KEY=Software\Sample Studio\Sample Game' 'REG_DESTINATION=InstallPath' \
  'PROGRAM_NAME=Sample Game 1.0.1' 'PROGRAM_NAME_OLD=Sample Game' 'SRC_EXE=game.exe' \
  'GAME_VERSION=1.0.0.0' 'PATCH_VERSION=1.0.0.1' 'LANG_VERSION=en'
make=("$BIN/upkeep-pack" make --old "$WORK/trees/old" --new "$WORK/trees/new"
  --strings "$WORK/Strings.scr" --stub "$BIN/upkeep" -o "$WORK/sample-update")
echo "\$ ${make[*]}"
"${make[@]}"
chmod +x "$WORK/sample-update"

echo "== running the updater: WINEPREFIX=$prefix sample-update -force"
status=0
WINEPREFIX=$prefix DISPLAY= WAYLAND_DISPLAY= "$WORK/sample-update" -force </dev/null || status=$?
echo "== exit code $status"

echo "== patch.log"
tr -d '\r' <"$game/patch.log"
if cmp -s "$game/Data/levels.dat" "$WORK/trees/new/Data/levels.dat" &&
  [ -e "$game/Data/maps/island.map" ] && [ ! -e "$game/Data/Levels/bank01.bnk" ]; then
  echo "== the installed game is now version 1.0.1"
else
  echo "== the installed game was not updated" >&2
  status=1
fi
exit "$status"
