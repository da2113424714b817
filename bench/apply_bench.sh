#!/usr/bin/env bash
# The time to apply a delta to one archive of SIZE_MB (54) MB with scattered
# changes: ours (the delta make writes, applied as PatchFile applies it:
# shape checked, old file through the window, new content written with its
# CRC-32), against the decoders Debian ships: bspatch, xdelta3 -d and
# zstd -d --patch-from, and a plain copy of the new file. (HDiffPatch's
# hpatchz is not in Debian and cannot be fetched here.) Wall seconds, best
# and median of RUNS; every output is compared with the new file.
#
# usage: bench/apply_bench.sh [LINUX_BIN]
# env:   SIZE_MB (54), EDITS (12), RUNS (7), WORK (default /tmp/upkeep-apply-bench)
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
BIN=$(cd "${1:-build/linux/bin}" && pwd)
SIZE_MB=${SIZE_MB:-54}
EDITS=${EDITS:-12}
RUNS=${RUNS:-7}
WORK=${WORK:-/tmp/upkeep-apply-bench}
for tool in bsdiff bspatch xdelta3 zstd openssl python3 "$BIN/apply_bench" "$BIN/upkeep-pack"; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done
mkdir -p "$WORK/old" "$WORK/new" "$WORK/out"
source "$SRC/tests/e2e/lib/game.bash"
old=$WORK/old/archive.pak
new=$WORK/new/archive.pak
if [ ! -f "$WORK/done-$SIZE_MB-$EDITS" ] || [ ! -f "$WORK/ours-x.pkg" ]; then
  rm -f "$WORK"/done-* "$WORK"/*.delta "$WORK"/*.pkg
  # openssl ends on a broken pipe once head has its bytes.
  (openssl enc -aes-128-ctr -nosalt -K "$(printf '%032x' 54)" -iv 0 -in /dev/zero 2>/dev/null ||
    true) | head -c $((SIZE_MB * 1000 * 1000)) >"$old"
  python3 "$SRC/bench/make_large_pair.py" "$old" "$new" "$EDITS" 11
  # The same program in both trees: make wants the one the table names.
  make_game_exe "$WORK/old/game.exe" "1.0.0.0en" "1.0"
  cp "$WORK/old/game.exe" "$WORK/new/game.exe"
  strings_with "$WORK/Strings.scr" 'REG_KEY=Software\Bench Studio\Bench Game' \
    'REG_DESTINATION=InstallPath' 'PROGRAM_NAME=Bench Game' 'SRC_EXE=game.exe'
  "$BIN/upkeep-pack" make --old "$WORK/old" --new "$WORK/new" --strings "$WORK/Strings.scr" \
    --allow-any-version -q -o "$WORK/ours.pkg" >/dev/null 2>&1
  "$BIN/upkeep-pack" make --old "$WORK/old" --new "$WORK/new" --strings "$WORK/Strings.scr" \
    --allow-any-version --delta-format extended -q -o "$WORK/ours-x.pkg" >/dev/null 2>&1
  bsdiff "$old" "$new" "$WORK/bsdiff.delta"
  xdelta3 -e -9 -S djw -f -s "$old" "$new" "$WORK/xdelta3.delta"
  zstd -q -19 --long=27 --patch-from="$old" "$new" -o "$WORK/zstd.delta" -f
  touch "$WORK/done-$SIZE_MB-$EDITS"
fi
entry=$("$BIN/upkeep-pack" list "$WORK/ours.pkg" | awk '$2 ~ /\.DELTA/ { print $2; exit }')
xentry=$("$BIN/upkeep-pack" list "$WORK/ours-x.pkg" | awk '$2 ~ /\.DELTA/ { print $2; exit }')
[ -n "$entry" ] && [ -n "$xentry" ] || { echo "a package has no delta" >&2; exit 1; }

declare -A times
timed() { # KEY COMMAND...
  local key=$1 t0 t1
  shift
  sync
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
  t1=$(date +%s.%N)
  times[$key]="${times[$key]:-} $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')"
}
check() { cmp -s "$new" "$WORK/out/$1" || { echo "FAIL: $1 differs" >&2; exit 1; }; }
cat "$old" "$new" >/dev/null # in the page cache, for every tool alike
for r in $(seq "$RUNS"); do
  timed copy cp "$new" "$WORK/out/copy"
  check copy
  timed ours "$BIN/apply_bench" "$WORK/ours.pkg" "$entry" "$old" "$WORK/out/ours" 1
  check ours
  timed ours-flushed "$BIN/apply_bench" "$WORK/ours.pkg" "$entry" "$old" "$WORK/out/ours" 1 --flush
  check ours
  timed ours-extended "$BIN/apply_bench" "$WORK/ours-x.pkg" "$xentry" "$old" "$WORK/out/ours" 1
  check ours
  timed bspatch bspatch "$old" "$WORK/out/bspatch" "$WORK/bsdiff.delta"
  check bspatch
  timed xdelta3 xdelta3 -d -f -s "$old" "$WORK/xdelta3.delta" "$WORK/out/xdelta3"
  check xdelta3
  timed zstd zstd -q -d --long=27 -f --patch-from="$old" "$WORK/zstd.delta" -o "$WORK/out/zstd"
  check zstd
done
stat() { # KEY: best median
  echo "${times[$1]}" | tr ' ' '\n' | grep . | sort -g |
    awk '{ v[NR] = $1 } END { printf "%s %s", v[1], v[int((NR + 1) / 2)] }'
}
read -r best_copy med_copy <<<"$(stat copy)"
echo
echo "Archive: $(command stat -c %s "$old") -> $(command stat -c %s "$new") bytes, $EDITS changes"
echo "Deltas: ours $entry $("$BIN/upkeep-pack" list "$WORK/ours.pkg" | awk -v e="$entry" '$2 == e { print $4 }')," \
  "extended $xentry $("$BIN/upkeep-pack" list "$WORK/ours-x.pkg" | awk -v e="$xentry" '$2 == e { print $4 }')," \
  "bsdiff $(command stat -c %s "$WORK/bsdiff.delta"), xdelta3 $(command stat -c %s "$WORK/xdelta3.delta")," \
  "zstd $(command stat -c %s "$WORK/zstd.delta") bytes"
echo
echo "| apply | best s | median s | median x copy |"
echo "|---|---:|---:|---:|"
for k in copy ours ours-flushed ours-extended bspatch xdelta3 zstd; do
  read -r b m <<<"$(stat "$k")"
  echo "| $k | $b | $m | $(awk -v a="$m" -v b="$med_copy" 'BEGIN { printf "%.2f", a / b }') |"
done
