#!/usr/bin/env bash
# Discovery of the game's prefix in a large Steam account: a home whose Steam
# library holds N Proton prefixes (1000 by default), each with a system.reg
# of a fresh Wine prefix's size, none holding the game. Times how long the
# console updater takes to say anything, and to finish the search (it then
# reports the game as not installed). The hives are hard links of one file,
# so the tree costs one hive of disk and the page cache holds it: the figure
# is the warm-cache one a second run gets.
#
#   BIN=build/linux/bin bash bench/prefix_bench.sh [N] [UPDATER...]
# UPDATER defaults to the package made here on $BIN/upkeep; more updater
# stubs (an older build, say) are timed on the same tree.
set -euo pipefail
: "${BIN:?BIN is the Linux bin folder}"
count=${1:-1000}
shift || true
work=$(mktemp -d /tmp/upkeep-prefix-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

# A hive the size of a fresh prefix's (about 2 MB, 15000 keys), of the
# shape Wine writes, with nothing of the game in it.
python3 - "$work/system.reg" <<'PY'
import random, sys
rng = random.Random(1)
hexd = "0123456789ABCDEF"
def guid():
    return "{" + "-".join("".join(rng.choice(hexd) for _ in range(n)) for n in (8, 4, 4, 4, 12)) + "}"
with open(sys.argv[1], "w") as f:
    f.write("WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n")
    for i in range(15000):
        f.write("[Software\\\\Classes\\\\CLSID\\\\%s\\\\InprocServer32] 1700000000\n" % guid())
        f.write("#time=1da0000000000000\n")
        f.write('@="C:\\\\windows\\\\system32\\\\component%d.dll"\n' % i)
        f.write('"ThreadingModel"="Both"\n\n')
PY

home=$work/home
compat=$home/.local/share/Steam/steamapps/compatdata
mkdir -p "$compat"
for i in $(seq 1 "$count"); do
  mkdir -p "$compat/$((100000 + i))/pfx"
  ln "$work/system.reg" "$compat/$((100000 + i))/pfx/system.reg"
done

WORK=$work
source "$(dirname "$0")/../tests/e2e/lib/game.bash"
strings_with "$work/Strings.scr" 'REG_KEY=Software\Sample Studio\Sample Game' \
  'REG_DESTINATION=InstallPath' 'PROGRAM_NAME=Sample Game' 'SRC_EXE=game.exe'
mkdir -p "$work/old" "$work/new"
printf 'a' >"$work/old/a.txt"
printf 'b' >"$work/new/a.txt"
# make wants the program the table names in the trees.
make_game_exe "$work/old/game.exe" "1.0.0.0en" "1.0"
cp "$work/old/game.exe" "$work/new/game.exe"
# time_updater STUB: a package on STUB, then the seconds to its first line and to its end.
time_updater() {
  local stub=$1 updater=$work/update-$RANDOM
  "$BIN/upkeep-pack" make --old "$work/old" --new "$work/new" --strings "$work/Strings.scr" \
    --stub "$stub" --allow-any-version -o "$updater" >"$work/make.log" 2>&1 ||
    { cat "$work/make.log" >&2; return 1; }
  chmod +x "$updater"
  python3 - "$updater" "$home" <<'PY'
import os, subprocess, sys, time
env = dict(os.environ, HOME=sys.argv[2], DISPLAY="", WAYLAND_DISPLAY="")
env.pop("WINEPREFIX", None)
start = time.monotonic()
p = subprocess.Popen([sys.argv[1], "-force"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                     stderr=subprocess.STDOUT, env=env)
first = None
for line in p.stdout:
    if first is None and line.strip():
        first = time.monotonic() - start
_, status, usage = os.wait4(p.pid, 0)
total = time.monotonic() - start
# CPU time too: on a shared machine the wall clock says as much about the others.
print("first line %.2f s, search done (exit %d) %.2f s, CPU %.2f s" %
      (first or total, os.waitstatus_to_exitcode(status), total, usage.ru_utime + usage.ru_stime))
PY
}
cat "$compat"/*/pfx/system.reg >/dev/null  # warm
for stub in "${@:-$BIN/upkeep}"; do
  printf '%s, %d prefixes: ' "$stub" "$count"
  time_updater "$stub"
done
