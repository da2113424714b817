#!/usr/bin/env bash
# Delta sizes and times against xdelta3 (-9 -S djw) and bsdiff, each as it
# ships its output: ours is the payload entry (zlib stream and trailer), or
# the stored entry of the extended and deflated-view forms.
#
# Pairs: the changed files of two versions of some Debian packages (the oldest
# and newest version the archive offers), a generated game-like tree with
# large archives where parts change, and a generated zip-style archive.
#
# usage: bench/delta_bench.sh [BIN_DIR]     (BIN_DIR holds delta_bench and upkeep-pack)
# env:   WORK (scratch, default /tmp/upkeep-delta-bench), PACKAGES, MIN_SIZE
#        PACKAGES entries may pin the pair as NAME=OLD..NEW (the archive drops
#        old versions, and a table should stay comparable).
set -euo pipefail

BIN=${1:-build/linux/bin}
BIN=$(cd "$BIN" && pwd)
WORK=${WORK:-/tmp/upkeep-delta-bench}
PACKAGES=${PACKAGES:-"libc6 libssl3 libcurl4 systemd"}
MIN_SIZE=${MIN_SIZE:-65536}

for tool in xdelta3 bsdiff "$BIN/delta_bench" "$BIN/upkeep-pack"; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done
mkdir -p "$WORK/debs" "$WORK/x" "$WORK/out"

# Processor seconds (user + system) of a command: the machine may be busy.
cpu() {
  /usr/bin/time -f '%U %S' -o "$WORK/out/time" "$@" || return 1
  awk '{ printf "%.2f", $1 + $2 }' "$WORK/out/time"
}

# Lists "old new" for regular files present in both trees that differ.
changed_pairs() {
  local old=$1 new=$2
  (cd "$new" && find . -type f -size +"$((MIN_SIZE / 1024))"k | sort) | while read -r f; do
    if [ -f "$old/$f" ] && [ ! -L "$old/$f" ] && ! cmp -s "$old/$f" "$new/$f"; then
      echo "$old/$f $new/$f"
    fi
  done
}

rows=()
sets=()
# One set of pairs: a row per file and a total.
run_set() {
  local label=$1 list=$2
  local n=0 bytes=0 o_size=0 o_time=0 x_size=0 x_time=0 b_size=0 b_time=0 e_size=0 e_time=0
  local x9_time=0 e_mem=0 z_size=0 z_time=0
  while read -r old new; do
    [ -n "$old" ] || continue
    local r xs bs xt bt
    r=$("$BIN/delta_bench" "$old" "$new")
    # The extended form: size, encode CPU time (in-process) and peak memory.
    local re em x9
    /usr/bin/time -f '%M' -o "$WORK/out/mem" "$BIN/delta_bench" -x "$old" "$new" >"$WORK/out/ext"
    re=$(cat "$WORK/out/ext")
    em=$(($(cat "$WORK/out/mem") / 1024))
    # The deflated-view form, for files with deflate streams: n/a elsewhere.
    local rz zs zt
    rz=$("$BIN/delta_bench" -z "$old" "$new")
    set -- $rz
    zs=$1 zt=$3
    x9=$(cpu xdelta3 -9 -e -f -s "$old" "$new" "$WORK/out/x9.vcdiff")
    # -D: compressed inputs are taken as they are, as the other tools take them.
    xt=$(cpu xdelta3 -9 -S djw -D -e -f -s "$old" "$new" "$WORK/out/x.vcdiff")
    xs=$(stat -c %s "$WORK/out/x.vcdiff")
    bt=$(cpu bsdiff "$old" "$new" "$WORK/out/b.patch")
    bs=$(stat -c %s "$WORK/out/b.patch")
    set -- $re
    local es=$1 et=$3
    set -- $r
    local size
    size=$(stat -c %s "$new")
    rows+=("| $label: $(basename "$new") | $size | $1 | $3 | $es | $et | $em | $zs | $zt | $xs | $xt | $x9 | $bs | $bt |")
    e_size=$((e_size + es)); [ "$em" -gt "$e_mem" ] && e_mem=$em
    # The set's deflated-view total takes the extended form where it does not apply or loses.
    if [ "$zs" = n/a ] || [ "$zs" -gt "$es" ]; then z_size=$((z_size + es)); else z_size=$((z_size + zs)); fi
    z_time=$(awk -v a="$z_time" -v b="$zt" 'BEGIN { print a + b }')
    e_time=$(awk -v a="$e_time" -v b="$et" 'BEGIN { print a + b }')
    x9_time=$(awk -v a="$x9_time" -v b="$x9" 'BEGIN { print a + b }')
    n=$((n + 1)); bytes=$((bytes + size))
    o_size=$((o_size + $1)); x_size=$((x_size + xs)); b_size=$((b_size + bs))
    o_time=$(awk -v a="$o_time" -v b="$3" 'BEGIN { print a + b }')
    x_time=$(awk -v a="$x_time" -v b="$xt" 'BEGIN { print a + b }')
    b_time=$(awk -v a="$b_time" -v b="$bt" 'BEGIN { print a + b }')
  done <<<"$list"
  [ "$n" -gt 0 ] || return 0
  sets+=("| **$label** ($n files) | $bytes | $o_size | $o_time | $e_size | $e_time | $e_mem | $z_size | $z_time | $x_size | $x_time | $x9_time | $b_size | $b_time |")
}

for p in $PACKAGES; do
  if [[ $p == *=*..* ]]; then
    first=${p#*=} last=${first#*..} first=${first%%..*} p=${p%%=*}
  else
    versions=$(apt-cache madison "$p" 2>/dev/null | awk -F'|' '{gsub(/ /, "", $2); print $2}' |
      sort -uV)
    first=$(echo "$versions" | head -1)
    last=$(echo "$versions" | tail -1)
  fi
  if [ -z "$first" ] || [ "$first" = "$last" ]; then
    echo "skipping $p: fewer than two versions in the archive" >&2
    continue
  fi
  for v in "$first" "$last"; do
    dir="$WORK/x/$p-$v"
    if [ ! -d "$dir" ]; then
      mkdir -p "$WORK/debs/$p-$v"
      (cd "$WORK/debs/$p-$v" && apt-get download "$p=$v" >/dev/null 2>&1) ||
        { echo "cannot download $p=$v" >&2; continue 2; }
      mkdir -p "$dir"
      dpkg-deb -x "$WORK/debs/$p-$v/"*.deb "$dir"
    fi
  done
  echo "== $p $first -> $last" >&2
  run_set "$p $first..$last" "$(changed_pairs "$WORK/x/$p-$first" "$WORK/x/$p-$last")"
done

if [ ! -d "$WORK/game" ]; then
  "$BIN/delta_bench" --make-game "$WORK/game/old" "$WORK/game/new"
fi
echo "== game-like tree" >&2
run_set "game tree" "$(changed_pairs "$WORK/game/old" "$WORK/game/new")"

# A zip-style archive: members deflated one by one, a few changed, added and
# removed between the versions, so most of the archive is the same bytes.
if [ ! -f "$WORK/zip/new/assets.zip" ]; then
  mkdir -p "$WORK/zip/old" "$WORK/zip/new"
  python3 - "$WORK/zip" <<'PY'
import random, sys, zipfile
root = sys.argv[1]
rng = random.Random(16)
words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
         for _ in range(3000)]
def member(i):
    if i % 3 == 0:  # text: scripts, tables
        return " ".join(rng.choice(words) for _ in range(rng.randint(2000, 12000))).encode()
    n = rng.randint(20000, 120000)  # binary: structured records with noise
    out = bytearray()
    while len(out) < n:
        base = rng.randrange(256)
        out += bytes((base + k % 16) & 255 if rng.random() < 0.7 else rng.randrange(256)
                     for k in range(64))
    return bytes(out[:n])
old = {"data/%04d.%s" % (i, "txt" if i % 3 == 0 else "bin"): member(i) for i in range(240)}
new = dict(old)
names = sorted(old)
for name in rng.sample(names, 12):
    new[name] = member(0 if name.endswith("txt") else 1)  # rewritten
for name in rng.sample(names, 6):
    del new[name]
for i in range(240, 246):
    new["data/%04d.bin" % i] = member(i)
for path, files in (("old", old), ("new", new)):
    with zipfile.ZipFile("%s/%s/assets.zip" % (root, path), "w", zipfile.ZIP_DEFLATED) as z:
        for name in sorted(files):
            z.writestr(zipfile.ZipInfo(name, (2024, 1, 1, 0, 0, 0)), files[name],
                       zipfile.ZIP_DEFLATED)
PY
fi
echo "== zip-style archive" >&2
run_set "zip archive" "$(changed_pairs "$WORK/zip/old" "$WORK/zip/new")"

# The whole game update as upkeep-pack ships it, new files included.
"$BIN/upkeep-pack" init-strings >"$WORK/out/Strings.scr"
# The time is the last line, after make's summary.
pkg_time=$(cpu "$BIN/upkeep-pack" make --old "$WORK/game/old" --new "$WORK/game/new" \
  --strings "$WORK/out/Strings.scr" -f -o "$WORK/out/game.pkg" 2>/dev/null | tail -1)
pkg_size=$(stat -c %s "$WORK/out/game.pkg")

echo
echo "| pair | new bytes | basic | CPU s | extended | CPU s | peak MB | deflated view | CPU s | xdelta3 -9 -S djw | CPU s | xdelta3 -e -9 CPU s | bsdiff | CPU s |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
printf '%s\n' "${sets[@]}"
printf '%s\n' "${rows[@]}"
echo
echo "game tree as one upkeep-pack package (new files included): $pkg_size bytes, $pkg_time s"
