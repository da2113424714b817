#!/usr/bin/env bash
# A whole update of one large archive with scattered changes (blocks rewritten,
# bytes inserted and cut), run by the Linux console updater and by upkeep.exe
# under Wine (-silent), against the I/O bound: read the old file once, write
# the new one, read it once. Wall seconds and peak RSS (GNU time's %M) of
# RUNS interleaved runs; every result is compared byte for byte with the new
# archive.
#
# usage: bench/large_update_bench.sh [LINUX_BIN [WINDOWS_BIN]]
# env:   SIZE_GB (8) and EDITS (48): the archive; RUNS (3); WORK (scratch,
#        reused: default /var/tmp/upkeep-large-bench); WINE=0 skips upkeep.exe;
#        KEEP=0 removes the generated files at the end.
# Needs about 4 x SIZE_GB of free disk (old, new, the installed copy and the
# new content the updater writes beside it).
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
LINUX_BIN=$(cd "${1:-build/linux/bin}" && pwd)
WINDOWS_BIN=${2:-build/windows/bin}
SIZE_GB=${SIZE_GB:-8}
EDITS=${EDITS:-48}
RUNS=${RUNS:-3}
WORK=${WORK:-/var/tmp/upkeep-large-bench}
WINE_RUNS=${WINE:-1}
KEEP=${KEEP:-1}
[ "$WINE_RUNS" = 0 ] || WINDOWS_BIN=$(cd "$WINDOWS_BIN" && pwd)
for tool in openssl python3 /usr/bin/time x86_64-w64-mingw32-gcc "$LINUX_BIN/upkeep" \
  "$LINUX_BIN/upkeep-pack"; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done
[ "$WINE_RUNS" = 0 ] || command -v wine >/dev/null || { echo "missing: wine" >&2; exit 2; }

mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)
BIN=$LINUX_BIN
source "$SRC/tests/e2e/lib/game.bash"

trees=$WORK/trees-$SIZE_GB-$EDITS
name=Data/world.pak
if [ ! -f "$trees/done" ]; then
  rm -rf "$trees"
  mkdir -p "$trees/old/Data" "$trees/new/Data"
  echo "generating a $SIZE_GB GiB archive with $EDITS changes under $trees" >&2
  # openssl ends on a broken pipe once head has its bytes.
  (openssl enc -aes-128-ctr -nosalt -K "$(printf '%032x' "$SIZE_GB")" -iv 0 -in /dev/zero \
    2>/dev/null || true) | head -c $((SIZE_GB << 30)) >"$trees/old/$name"
  python3 "$SRC/bench/make_large_pair.py" "$trees/old/$name" "$trees/new/$name" "$EDITS" 7
  make_game_exe "$trees/old/game.exe" "1.0.0.0en" "1.0"
  make_game_exe "$trees/new/game.exe" "1.0.0.1en" "1.0.1"
  touch "$trees/done"
fi
old=$trees/old
new=$trees/new

# shellcheck source=lib_prefix.bash
source "$SRC/bench/lib_prefix.bash"
bench_prefix
mkdir -p "$WORK/updates"
make_update() { # STUB OUT
  if [ ! -f "$2" ] || [ "$2" -ot "$1" ] || [ "$2" -ot "$trees/done" ]; then
    echo "+ upkeep-pack make ... -o $2" >&2
    rm -f "$2"
    /usr/bin/time -f 'make: %e s, %M KiB' "$LINUX_BIN/upkeep-pack" make --old "$old" \
      --new "$new" --strings "$WORK/Strings.scr" --stub "$1" -f -q -o "$2" >"$WORK/make.log" 2>&1 ||
      { cat "$WORK/make.log" >&2; exit 1; }
    tail -3 "$WORK/make.log" >&2
  fi
}
make_update "$LINUX_BIN/upkeep" "$WORK/updates/linux"
[ "$WINE_RUNS" = 0 ] || make_update "$WINDOWS_BIN/upkeep.exe" "$WORK/updates/win.exe"

declare -A times rss
# timed KEY COMMAND...: the wall seconds and peak RSS (KiB) of the command.
timed() {
  local key=$1
  shift
  /usr/bin/time -f '%e %M' -o "$WORK/time" "$@" >"$WORK/run.out" 2>&1 ||
    { echo "failed: $* :: $(tail -3 "$WORK/run.out")" >&2; exit 1; }
  read -r t m <"$WORK/time"
  times[$key]="${times[$key]:-} $t"
  rss[$key]="${rss[$key]:-} $m"
}
# clock KEY FUNCTION...: the wall seconds of a shell function.
clock() {
  local key=$1 t0 t1
  shift
  t0=$(date +%s.%N)
  "$@"
  t1=$(date +%s.%N)
  times[$key]="${times[$key]:-} $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')"
}
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

install_game() {
  rm -rf "$game"
  mkdir -p "$game"
  cp -r "$old/." "$game/"
  sync
}
check_game() {
  cmp -s "$new/$name" "$game/$name" || { echo "FAIL: $1 did not make the new archive" >&2; exit 1; }
}
# The I/O bound: the old file read, the new one written and read back; with
# "flushed" the new one also goes to the disk (fsync) before it is read back.
io_bound() {
  rm -rf "$WORK/io"
  mkdir -p "$WORK/io"
  cat "$old/$name" >/dev/null
  cp "$new/$name" "$WORK/io/"
  [ "${1:-}" != flushed ] || sync "$WORK/io/world.pak"
  cat "$WORK/io/world.pak" >/dev/null
}

if [ "$WINE_RUNS" != 0 ]; then
  wineserver -p 60 2>/dev/null || true
  wine "$old/game.exe" >/dev/null 2>&1 </dev/null
fi
for r in $(seq "$RUNS"); do
  echo "run $r of $RUNS" >&2
  clock io io_bound
  clock io-sync io_bound flushed
  rm -rf "$WORK/io"
  install_game
  timed linux env -C "$WORK/updates" ./linux -silent </dev/null
  check_game "the Linux updater"
  if [ "$WINE_RUNS" != 0 ]; then
    install_game
    timed wine env -C "$WORK/updates" wine ./win.exe -silent </dev/null
    check_game "upkeep.exe"
  fi
done

med() { echo "${times[$1]}" | median; }
mem() { echo "${rss[$1]}" | tr ' ' '\n' | grep . | sort -g | tail -1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
io=$(med io)
ios=$(med io-sync)
echo
echo "Archive: $(stat -c %s "$old/$name") -> $(stat -c %s "$new/$name") bytes, $EDITS changes;" \
  "package $(stat -c %s "$WORK/updates/linux") bytes (Linux)"
echo "Wall seconds, median of $RUNS interleaved runs; peak RSS the largest of the runs"
echo
echo "| what | s | x I/O bound | x flushed bound | peak RSS |"
echo "|---|---:|---:|---:|---:|"
echo "| I/O bound: \`cat\` old, \`cp\` new, \`cat\` it | $io | 1.00 | $(ratio "$io" "$ios") | |"
echo "| I/O bound, the new file flushed before it is read | $ios | $(ratio "$ios" "$io") | 1.00 | |"
t=$(med linux)
echo "| Linux console updater, \`-silent\` | $t | $(ratio "$t" "$io") | $(ratio "$t" "$ios") | $(($(mem linux) / 1024)) MB |"
if [ "$WINE_RUNS" != 0 ]; then
  w=$(med wine)
  echo "| upkeep.exe under Wine, \`-silent\` | $w | $(ratio "$w" "$io") | $(ratio "$w" "$ios") | $(($(mem wine) / 1024)) MB |"
fi
echo
for k in "${!times[@]}"; do echo "runs $k:${times[$k]} (RSS KiB:${rss[$k]:-})"; done | sort
if [ "$KEEP" = 0 ]; then
  rm -rf "$trees" "$game" "$WORK/updates"
fi
