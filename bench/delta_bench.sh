#!/usr/bin/env bash
# The entry `make` keeps for each changed file against the delta tools Debian
# ships, in one run: bsdiff, xdelta3 -9 -S djw and zstd --patch-from --ultra
# -22 --long=31, each as it ships its output. Per pair: bytes, wall and CPU
# seconds, peak memory, and ours over the smallest peer. Our entry is rebuilt
# by the runtime's decoder of the form make chose and compared byte for byte.
#
# Pairs: the changed files of two versions of some Debian packages (the oldest
# and newest version the archive offers, or pinned), a generated game-like tree
# with large archives where parts change, and a generated zip-style archive.
#
# usage: bench/delta_bench.sh [BIN_DIR]     (BIN_DIR holds delta_bench and upkeep-pack)
# env:   WORK (scratch, default /tmp/upkeep-delta-bench), PACKAGES, MIN_SIZE,
#        JOBS (threads for every tool that takes them, default every core)
#        PACKAGES entries may pin the pair as NAME=OLD..NEW (the archive drops
#        old versions, and a table should stay comparable), CLOSE_RUNS (runs
#        per close call, default 11)
#
# Close calls: where a peer comes within 5 % of our size, the two are timed
# again as whole processes (ours with its rebuild and check), CLOSE_RUNS
# times each, interleaved, in milliseconds: GNU time's 10 ms steps cannot
# tell tiny files apart.
set -euo pipefail

BIN=${1:-build/linux/bin}
BIN=$(cd "$BIN" && pwd)
WORK=${WORK:-/tmp/upkeep-delta-bench}
PACKAGES=${PACKAGES:-"libc6 libssl3 libcurl4 systemd"}
MIN_SIZE=${MIN_SIZE:-65536}
JOBS=${JOBS:-$(nproc)}

for tool in xdelta3 bsdiff zstd "$BIN/delta_bench" "$BIN/upkeep-pack"; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done
mkdir -p "$WORK/debs" "$WORK/x" "$WORK/out"
# Rows are kept in files as they come, so that a run cut short keeps them.
: >"$WORK/out/rows.md"
: >"$WORK/out/sets.md"
: >"$WORK/out/close.txt"

# "bytes wall-s cpu-s peak-MB" of a peer writing OUT.
peer() {
  local out=$1
  shift
  rm -f "$out"
  /usr/bin/time -f '%e %U %S %M' -o "$WORK/out/time" "$@" >/dev/null 2>"$WORK/out/err" || {
    cat "$WORK/out/err" >&2
    return 1
  }
  awk -v b="$(stat -c %s "$out")" '{ printf "%d %.2f %.2f %d", b, $1, $2 + $3, $4 / 1024 }' \
    "$WORK/out/time"
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

add() { awk -v a="$1" -v b="$2" 'BEGIN { print a + b }'; }
max() { if [ "$2" -gt "$1" ]; then echo "$2"; else echo "$1"; fi; }
cols() { local IFS='|'; local all="$*"; echo "${all//|/ | }"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

pairs=0 smallest=0 tenth=0
# One set of pairs: a row per file and a total.
run_set() {
  local label=$1 list=$2
  local n=0 bytes=0 u=(0 "" 0 0 0) b=(0 0 0 0) x=(0 0 0 0) z=(0 0 0 0)
  while read -r old new; do
    [ -n "$old" ] || continue
    local size ours bs xs zs best
    size=$(stat -c %s "$new")
    # bytes form cpu wall, then peak MB (the check holds both files too).
    /usr/bin/time -f '%M' -o "$WORK/out/mem" "$BIN/delta_bench" -c -j "$JOBS" "$old" "$new" \
      >"$WORK/out/ours" || { echo "our entry failed on $new" >&2; exit 1; }
    read -r -a ours <"$WORK/out/ours"
    ours+=("$(($(cat "$WORK/out/mem") / 1024))")
    read -r -a bs <<<"$(peer "$WORK/out/b.patch" bsdiff "$old" "$new" "$WORK/out/b.patch")"
    # -D: compressed inputs are taken as they are, as the other tools take them.
    read -r -a xs <<<"$(peer "$WORK/out/x.vcdiff" xdelta3 -9 -S djw -D -e -f -s "$old" "$new" \
      "$WORK/out/x.vcdiff")"
    read -r -a zs <<<"$(peer "$WORK/out/z.zst" zstd -q -f --ultra -22 --long=31 -T"$JOBS" \
      --patch-from="$old" "$new" -o "$WORK/out/z.zst")"
    best=${bs[0]}
    best=$(( xs[0] < best ? xs[0] : best ))
    best=$(( zs[0] < best ? zs[0] : best ))
    pairs=$((pairs + 1))
    [ "${ours[0]}" -le "$best" ] && smallest=$((smallest + 1))
    [ "$((ours[0] * 10))" -le "$((best * 9))" ] && tenth=$((tenth + 1))
    for peer_name in b x z; do
      local -n r=${peer_name}s
      [ "$((r[0] * 100))" -le "$((ours[0] * 105))" ] &&
        echo "$old $new $peer_name ${ours[0]} ${r[0]} $label: $(basename "$new")" >>"$WORK/out/close.txt"
      unset -n r
    done
    echo "| $label: $(basename "$new") | $size | ${ours[0]} | ${ours[1]} | ${ours[3]} | ${ours[2]} | ${ours[4]} | $(cols "${bs[@]}") | $(cols "${xs[@]}") | $(cols "${zs[@]}") | $(ratio "${ours[0]}" "$best") |" >>"$WORK/out/rows.md"
    n=$((n + 1)); bytes=$((bytes + size))
    u=($((u[0] + ours[0])) "${u[1]}${ours[1]}" "$(add "${u[2]}" "${ours[3]}")" \
      "$(add "${u[3]}" "${ours[2]}")" "$(max "${u[4]}" "${ours[4]}")")
    for peer_name in b x z; do
      local -n t=$peer_name r=${peer_name}s
      t=($((t[0] + r[0])) "$(add "${t[1]}" "${r[1]}")" "$(add "${t[2]}" "${r[2]}")" \
        "$(max "${t[3]}" "${r[3]}")")
      unset -n t r
    done
  done <<<"$list"
  [ "$n" -gt 0 ] || return 0
  local best=${b[0]}
  best=$(( x[0] < best ? x[0] : best ))
  best=$(( z[0] < best ? z[0] : best ))
  echo "| **$label** ($n files) | $bytes | ${u[0]} | ${u[1]} | ${u[2]} | ${u[3]} | ${u[4]} | $(cols "${b[@]}") | $(cols "${x[@]}") | $(cols "${z[@]}") | $(ratio "${u[0]}" "$best") |" >>"$WORK/out/sets.md"
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

# The whole game update as upkeep-pack ships it, new files included: the trees
# get a program and a string table make accepts.
root=$(cd "$(dirname "$0")/.." && pwd)
pkg=$WORK/pkg game=$WORK/game strings=$WORK/out/Strings.scr
# shellcheck source=../tests/e2e/lib/game.bash
(BIN=$BIN WORK=$WORK/out && source "$root/tests/e2e/lib/game.bash" &&
  rm -rf "$pkg" && mkdir -p "$pkg" && cp -al "$game/old" "$game/new" "$pkg/" &&
  make_game_exe "$pkg/old/game.exe" 1.0.0.0en 1.0 &&
  make_game_exe "$pkg/new/game.exe" 1.0.0.1en 1.0.1 &&
  strings_with "$strings" 'REG_KEY=Software\Bench\Game' 'REG_DESTINATION=InstallPath' \
    'PROGRAM_NAME=Bench Game' 'SRC_EXE=game.exe' 'GAME_VERSION=1.0.0.0' 'LANG_VERSION=en')
pkg_time=$(/usr/bin/time -f '%e s wall, %U+%S s CPU, %M KB' "$BIN/upkeep-pack" make -j "$JOBS" \
  --old "$pkg/old" --new "$pkg/new" --strings "$strings" -f -q \
  -o "$WORK/out/game.pkg" 2>&1 >/dev/null | tail -1)
pkg_size=$(stat -c %s "$WORK/out/game.pkg")

# A peer's command by its letter, writing into $WORK/out.
peer_cmd() {
  case $1 in
    b) bsdiff "$2" "$3" "$WORK/out/b.patch" ;;
    x) xdelta3 -9 -S djw -D -e -f -s "$2" "$3" "$WORK/out/x.vcdiff" ;;
    z) zstd -q -f --ultra -22 --long=31 -T"$JOBS" --patch-from="$2" "$3" -o "$WORK/out/z.zst" ;;
  esac
}
ms() { echo $(( $(date +%s%N) / 1000000 )); }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
: >"$WORK/out/close.md"
while read -r old new peer_name ours_bytes peer_bytes label; do
  [ -n "$old" ] || continue
  : >"$WORK/out/ours_ms" && : >"$WORK/out/peer_ms"
  for _ in $(seq "${CLOSE_RUNS:-11}"); do
    t=$(ms); "$BIN/delta_bench" -c -j "$JOBS" "$old" "$new" >/dev/null; echo $(( $(ms) - t )) >>"$WORK/out/ours_ms"
    t=$(ms); peer_cmd "$peer_name" "$old" "$new" >/dev/null 2>&1; echo $(( $(ms) - t )) >>"$WORK/out/peer_ms"
  done
  case $peer_name in b) name=bsdiff ;; x) name=xdelta3 ;; z) name=zstd ;; esac
  echo "| $label | $ours_bytes | $(median <"$WORK/out/ours_ms") | $name | $peer_bytes | $(median <"$WORK/out/peer_ms") |" >>"$WORK/out/close.md"
done <"$WORK/out/close.txt"

echo
echo "| pair | new bytes | ours | form | wall s | CPU s | MB | bsdiff | wall s | CPU s | MB | xdelta3 -9 -S djw | wall s | CPU s | MB | zstd -22 --long=31 | wall s | CPU s | MB | ours / best peer |"
echo "|---|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
cat "$WORK/out/sets.md" "$WORK/out/rows.md"
echo
echo "files: $pairs; ours at most the smallest peer on $smallest, at most 0.9x on $tenth"
echo "game tree as one upkeep-pack package (new files included): $pkg_size bytes, $pkg_time"
echo
echo "Close calls (a peer within 5 % of our size), whole processes, medians of ${CLOSE_RUNS:-11} interleaved runs:"
echo
echo "| file | ours | ms | peer | bytes | ms |"
echo "|---|---:|---:|---|---:|---:|"
cat "$WORK/out/close.md"
