#!/usr/bin/env bash
# A whole update of a generated game tree (large asset archives and tables
# with scattered changes, a few files new, removed or the same), run by the
# Linux console updater and by upkeep.exe under Wine, beside `xdelta3 -d` of the
# same files and the I/O bound: read the old files once, write the new ones,
# read them once. Medians of RUNS interleaved runs; every resulting tree is
# compared byte for byte with the new one.
#
# usage: bench/update_bench.sh [LINUX_BIN [WINDOWS_BIN]]
# env:   SIZE_MB (290) and FILES (30): the tree; RUNS (3); WORK (scratch,
#        reused: default /tmp/upkeep-update-bench); PAUSE=0 skips the runs
#        without -silent (upkeep.exe's needs Xvfb and upkeep_ui.exe beside it);
#        WINE=0 skips upkeep.exe; EXTENDED=1 adds an update
#        made with the extended delta form where it is smaller; BEFORE=DIR
#        adds, interleaved, the same update run by an earlier build's
#        upkeep (and upkeep.exe) from DIR, for before/after figures.
# Smoke run: SIZE_MB=8 FILES=6 RUNS=1 bench/update_bench.sh
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
LINUX_BIN=$(cd "${1:-build/linux/bin}" && pwd)
WINDOWS_BIN=${2:-build/windows/bin}
SIZE_MB=${SIZE_MB:-290}
FILES=${FILES:-30}
RUNS=${RUNS:-3}
WORK=${WORK:-/tmp/upkeep-update-bench}
PAUSE=${PAUSE:-1}
WINE_RUNS=${WINE:-1}
EXTENDED=${EXTENDED:-0}
BEFORE=${BEFORE:-}
[ -z "$BEFORE" ] || BEFORE=$(cd "$BEFORE" && pwd)
[ "$WINE_RUNS" = 0 ] || WINDOWS_BIN=$(cd "$WINDOWS_BIN" && pwd)

for tool in xdelta3 python3 x86_64-w64-mingw32-gcc "$LINUX_BIN/upkeep" "$LINUX_BIN/upkeep-pack"; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done
if [ "$WINE_RUNS" != 0 ]; then
  for tool in wine wineserver "$WINDOWS_BIN/upkeep.exe"; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
  done
fi

mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)
BIN=$LINUX_BIN
source "$SRC/tests/e2e/lib/game.bash"

# The trees: generated once per size, reused after.
trees=$WORK/trees-$SIZE_MB-$FILES
if [ ! -f "$trees/done" ]; then
  rm -rf "$trees"
  echo "generating $SIZE_MB MB in $FILES files under $trees" >&2
  python3 "$SRC/bench/make_game_tree.py" "$trees" "$SIZE_MB" "$FILES"
  make_game_exe "$trees/old/game.exe" "1.0.0.0en" "1.0"
  make_game_exe "$trees/new/game.exe" "1.0.0.1en" "1.0.1"
  touch "$trees/done"
fi
old=$trees/old
new=$trees/new

# The Wine prefix both updaters run in: the game installed and registered.
# shellcheck source=lib_prefix.bash
source "$SRC/bench/lib_prefix.bash"
bench_prefix

forms=(basic)
[ "$EXTENDED" = 0 ] || forms+=(auto)
make_update() {  # make_update STUB FORM OUT
  local form=()
  [ "$2" = basic ] && form=(--delta-format basic)
  local cmd=("$LINUX_BIN/upkeep-pack" make --old "$old" --new "$new" --strings "$WORK/Strings.scr"
    --stub "$1" "${form[@]}" -f -o "$3")
  if [ ! -f "$3" ] || [ "$3" -ot "$1" ]; then
    echo "+ ${cmd[*]}" >&2
    rm -f "$3"  # made again after the stub was built again
    "${cmd[@]}" >"$WORK/make.log" 2>&1 || { cat "$WORK/make.log" >&2; exit 1; }
  fi
}
mkdir -p "$WORK/updates"
for form in "${forms[@]}"; do
  make_update "$LINUX_BIN/upkeep" "$form" "$WORK/updates/linux-$form"
  [ "$WINE_RUNS" = 0 ] || make_update "$WINDOWS_BIN/upkeep.exe" "$form" "$WORK/updates/win-$form.exe"
done
if [ -n "$BEFORE" ]; then
  make_update "$BEFORE/upkeep" basic "$WORK/updates/linux-before"
  [ "$WINE_RUNS" = 0 ] || make_update "$BEFORE/upkeep.exe" basic "$WORK/updates/win-before.exe"
fi

declare -A times
# timed KEY COMMAND...: adds the wall seconds of the command to times[KEY].
timed() {
  local key=$1 t0 t1
  shift
  t0=$(date +%s.%N)
  "$@" >"$WORK/run.out" 2>&1 || { echo "failed ($?): $* :: $(tail -3 "$WORK/run.out")" >&2; exit 1; }
  t1=$(date +%s.%N)
  times[$key]="${times[$key]:-} $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')"
}
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

install_game() {
  rm -rf "$game"
  mkdir -p "$game"
  cp -r "$old/." "$game/"
  sync -f "$game" 2>/dev/null || true
}
check_tree() {  # check_tree LABEL: the installed game is the new tree, byte for byte
  if ! diff -r -q -x patch.log "$new" "$game" >"$WORK/diff.txt"; then
    echo "FAIL: $1 left a tree that differs from the new one:" >&2
    head -5 "$WORK/diff.txt" >&2
    exit 1
  fi
}
run_linux() { (cd "$WORK/updates" && "$@" </dev/null); }
run_wine() { (cd "$WORK/updates" && wine "$@" </dev/null); }

# xdelta3: the deltas of the changed files once, then their decoding timed.
xd=$WORK/xdelta-$SIZE_MB-$FILES
mkdir -p "$xd/out"
pairs=()
while IFS= read -r f; do
  if [ -f "$old/$f" ] && ! cmp -s "$old/$f" "$new/$f"; then
    pairs+=("$f")
    d=$xd/$(echo "$f" | tr / _).vcdiff
    [ -f "$d" ] || xdelta3 -e -9 -f -s "$old/$f" "$new/$f" "$d"
  fi
done < <(cd "$new" && find . -type f | sort)
xdelta_all() {
  local f
  for f in "${pairs[@]}"; do
    xdelta3 -d -f -s "$old/$f" "$xd/$(echo "$f" | tr / _).vcdiff" "$xd/out/x" || return 1
  done
}
# The I/O bound: every old file read, every new one written and read back;
# with "flushed", each new file also goes to the disk once (fsync per file)
# before it is read back, as a writer that must survive a power cut does.
io_bound() {
  local dst=$WORK/io
  rm -rf "$dst"
  mkdir -p "$dst"
  find "$old" -type f -exec cat {} + >/dev/null
  cp -r "$new/." "$dst/"
  [ "${1:-}" != flushed ] || find "$dst" -type f -exec sync {} +
  find "$dst" -type f -exec cat {} + >/dev/null
}

# Wine's server stays up between runs, and the prefix's own start-up (its
# services, first run after an update of the prefix) is done before timing.
# What Wine alone costs per run is the start of a program that does nothing.
if [ "$WINE_RUNS" != 0 ]; then
  wineserver -p 60 2>/dev/null || true  # may be up already
  wine "$old/game.exe" >/dev/null 2>&1 </dev/null
fi
for r in $(seq "$RUNS"); do
  echo "run $r of $RUNS" >&2
  timed io io_bound
  timed io-sync io_bound flushed
  timed xdelta xdelta_all
  for form in "${forms[@]}"; do
    install_game
    timed "linux-$form" run_linux "./linux-$form" -silent
    check_tree "linux-$form"
    if [ "$WINE_RUNS" != 0 ]; then
      install_game
      timed "win-$form" run_wine "./win-$form.exe" -silent
      check_tree "win-$form"
    fi
  done
  if [ -n "$BEFORE" ]; then
    install_game
    timed linux-before run_linux ./linux-before -silent
    check_tree linux-before
    if [ "$WINE_RUNS" != 0 ]; then
      install_game
      timed win-before run_wine ./win-before.exe -silent
      check_tree win-before
    fi
  fi
  [ "$WINE_RUNS" = 0 ] || timed wine-start wine "$old/game.exe"
done
# Once without -silent (the console updater with -force, no display): the
# same update and its pauses.
if [ "$PAUSE" != 0 ]; then
  install_game
  timed linux-pause run_linux ./linux-basic -force
  check_tree "linux-basic -force"
fi
# upkeep.exe with its window: from the start to its final message box, which
# comes after the work and both pauses; the box is then confirmed and the
# program ended.
ui=$WINDOWS_BIN/upkeep_ui.exe
if [ "$PAUSE" != 0 ] && [ "$WINE_RUNS" != 0 ] && [ -f "$ui" ] && command -v Xvfb >/dev/null; then
  display=
  for n in $(seq 150 199); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=$n; break; }
  done
  Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  trap 'kill "$xvfb" 2>/dev/null' EXIT
  for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
  export DISPLAY=:$display
  wine "$ui" wait nothing 1 >/dev/null 2>&1 || true
  install_game
  t0=$(date +%s.%N)
  (cd "$WORK/updates" && exec wine ./win-basic.exe -force) >/dev/null 2>&1 &
  app=$!
  wine "$ui" wait "Bench Game update" 600000 >/dev/null 2>&1 || { echo "no final box" >&2; exit 1; }
  t1=$(date +%s.%N)
  times[win-window]=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')
  wine "$ui" click "Bench Game update" 1 >/dev/null 2>&1
  # The run ends (its journal gone) once the box has closed; without a window
  # manager Wine's X driver waits 2 s for the box's window to be withdrawn.
  for _ in $(seq 300); do [ -e "$game/upkeep.journal" ] || break; sleep 0.1; done
  kill "$app" 2>/dev/null
  wait "$app" 2>/dev/null || true
  check_tree "win-basic.exe -force"
  unset DISPLAY
fi

bytes_old=$(find "$old" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
bytes_new=$(find "$new" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
med() { echo "${times[$1]}" | median; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
io=$(med io)
ios=$(med io-sync)
echo
echo "Tree: $FILES files, old $bytes_old bytes, new $bytes_new bytes; ${#pairs[@]} files changed"
echo "Wall seconds, median of $RUNS interleaved runs; every run of ours byte-checked"
echo
echo "| what | command | s | x I/O bound | x flushed bound |"
echo "|---|---|---:|---:|---:|"
echo "| I/O bound | \`cat\` old files; \`cp -r\` new tree; \`cat\` its files | $io | 1.00 | $(ratio "$io" "$ios") |"
echo "| I/O bound, new files flushed | the same with \`sync FILE...\` (one fsync per file) before the last \`cat\` | $ios | $(ratio "$ios" "$io") | 1.00 |"
x=$(med xdelta)
echo "| xdelta3 | \`xdelta3 -d -f -s OLD DELTA OUT\` per changed file (${#pairs[@]}) | $x | $(ratio "$x" "$io") | $(ratio "$x" "$ios") |"
for form in "${forms[@]}"; do
  t=$(med "linux-$form")
  echo "| Linux console updater, $form deltas | \`./linux-$form -silent\` | $t | $(ratio "$t" "$io") | $(ratio "$t" "$ios") |"
  if [ "$WINE_RUNS" != 0 ]; then
    w=$(med "win-$form")
    echo "| upkeep.exe under Wine, $form deltas | \`wine ./win-$form.exe -silent\` | $w | $(ratio "$w" "$io") | $(ratio "$w" "$ios") |"
    echo "| (Wine / Linux) | | $(ratio "$w" "$t") | | |"
  fi
done
if [ -n "$BEFORE" ]; then
  t=$(med linux-before)
  echo "| Linux console updater, earlier build | \`./linux-before -silent\` | $t | $(ratio "$t" "$io") | $(ratio "$t" "$ios") |"
  if [ "$WINE_RUNS" != 0 ]; then
    w=$(med win-before)
    echo "| upkeep.exe under Wine, earlier build | \`wine ./win-before.exe -silent\` | $w | $(ratio "$w" "$io") | $(ratio "$w" "$ios") |"
  fi
fi
if [ "$WINE_RUNS" != 0 ]; then
  echo "| Wine start-up alone (a program that prints a line) | \`wine game.exe\` | $(med wine-start) | | |"
fi
if [ "$PAUSE" != 0 ]; then
  p=${times[linux-pause]# }
  echo "| Linux console updater without -silent | \`./linux-basic -force\` | $p | | |"
  echo "| (its pauses: -force minus -silent) | | $(awk -v a="$p" -v b="$(med linux-basic)" 'BEGIN { printf "%.2f", a - b }') | | |"
fi
if [ -n "${times[win-window]:-}" ]; then
  echo "| upkeep.exe under Wine with its window, to the final box | \`wine ./win-basic.exe -force\` | ${times[win-window]} | | |"
fi
echo
for k in "${!times[@]}"; do echo "runs $k:${times[$k]}"; done | sort
