#!/usr/bin/env bash
# make on both builds of upkeep-pack from the same trees: the Linux tool
# natively and upkeep-pack.exe under Wine, interleaved RUNS times, at each
# thread count of JOBS, each package compared byte for byte with the first one.
#
# The trees: a game-like install from make_game_tree.py (SIZE_MB over FILES
# files, packed archives and tables, parts rewritten, moved and cut), with
# the sample game's program in both and a few names outside ASCII.
#
# usage: bench/make_bench.sh [LINUX_BIN [WINDOWS_BIN]]
# env:   WORK (scratch, default /tmp/upkeep-make-bench), SIZE_MB (120),
#        FILES (20), RUNS (3), FORMAT (delta form, default smaller),
#        JOBS (make -j values, default "2"), WINE (0: the Linux tool alone)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
LINUX_BIN=$(cd "${1:-$root/build/linux/bin}" && pwd)
WINDOWS_BIN=$(cd "${2:-$root/build/windows/bin}" && pwd)
WORK=${WORK:-/tmp/upkeep-make-bench}
SIZE_MB=${SIZE_MB:-120}
FILES=${FILES:-20}
RUNS=${RUNS:-3}
FORMAT=${FORMAT:-smaller}
JOBS=${JOBS:-2}
WINE=${WINE:-1}
mkdir -p "$WORK/out"
export WINEPREFIX=$WORK/prefix WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d"
export LC_ALL=C.UTF-8
[ "$WINE" = 0 ] || [ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1

trees=$WORK/trees-$SIZE_MB-$FILES
if [ ! -d "$trees" ]; then
  python3 "$root/bench/make_game_tree.py" "$trees.part" "$SIZE_MB" "$FILES" >/dev/null
  BIN=$LINUX_BIN
  # shellcheck source=../tests/e2e/lib/game.bash
  source "$root/tests/e2e/lib/game.bash"
  make_game_exe "$trees.part/old/game.exe" 1.0.0.0en "1.0"
  make_game_exe "$trees.part/new/game.exe" 1.0.0.1en "1.0.1"
  mkdir -p "$trees.part/old/Dźwięki" "$trees.part/new/Dźwięki"
  deterministic_bytes "$trees.part/old/Dźwięki/muzyka.dat" 300000 5
  { cat "$trees.part/old/Dźwięki/muzyka.dat"; printf 'zmiana'; } >"$trees.part/new/Dźwięki/muzyka.dat"
  WORK=$WORK strings_with "$trees.part/Strings.scr" 'REG_KEY=Software\Bench\Game' \
    'REG_DESTINATION=InstallPath' 'PROGRAM_NAME=Bench Game' 'SRC_EXE=game.exe' \
    'GAME_VERSION=1.0.0.0' 'LANG_VERSION=en' 'LOCALE=Polish'
  mv "$trees.part" "$trees"
fi
old=$(du -sb "$trees/old" | cut -f1)
new=$(du -sb "$trees/new" | cut -f1)
echo "trees: $old bytes old, $new bytes new ($FILES files), delta form $FORMAT"

args=(make --old "$trees/old" --new "$trees/new" --strings "$trees/Strings.scr"
  --stub "$WINDOWS_BIN/upkeep.exe" --delta-format "$FORMAT" -q -f)
win() { printf 'Z:%s' "${1//\//\\}"; }
wargs=(make --old "$(win "$trees/old")" --new "$(win "$trees/new")"
  --strings "$(win "$trees/Strings.scr")" --stub "$(win "$WINDOWS_BIN/upkeep.exe")"
  --delta-format "$FORMAT" -q -f)
# seconds: wall, then processor (user + system; Wine's server included), then peak MB
timed() {
  /usr/bin/time -f '%e %U %S %M' -o "$WORK/out/time" "$@" >/dev/null 2>"$WORK/out/err" || {
    cat "$WORK/out/err" >&2
    return 1
  }
  awk '{ printf "%.2f s wall, %.2f s CPU, %d MB", $1, $2 + $3, $4 / 1024 }' "$WORK/out/time"
}
[ "$WINE" = 0 ] || wineserver -p 60 2>/dev/null || true
first=$WORK/out/first-$SIZE_MB-$FILES.exe
rm -f "$first"
for run in $(seq "$RUNS"); do
  for j in $JOBS; do
    mkdir -p "$WORK/out/linux" "$WORK/out/windows"
    l=$(timed "$LINUX_BIN/upkeep-pack" "${args[@]}" -j "$j" -o "$WORK/out/linux/Bench.exe")
    [ -e "$first" ] || cp "$WORK/out/linux/Bench.exe" "$first"
    same=same
    cmp -s "$first" "$WORK/out/linux/Bench.exe" || same=DIFFERENT
    w=
    if [ "$WINE" != 0 ]; then
      w=$(timed wine "$WINDOWS_BIN/upkeep-pack.exe" "${wargs[@]}" -j "$j" \
        -o "$(win "$WORK/out/windows/Bench.exe")")
      cmp -s "$first" "$WORK/out/windows/Bench.exe" || same=DIFFERENT
      w="; Windows under Wine $w"
    fi
    echo "run $run, -j $j: Linux $l$w; package $(stat -c %s "$WORK/out/linux/Bench.exe") bytes, $same"
  done
done
[ "$WINE" = 0 ] || wineserver -k 2>/dev/null || true
