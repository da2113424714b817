#!/usr/bin/env bash
# What upkeep-pack tells its user: script and string-table errors at
# file:line:column, make's progress only on a terminal and its summary always,
# and apply's output in the updater's terms (Windows paths, no temporary
# names, each line once, the bank files the clean-up deletes).
set -uo pipefail
: "${BIN:?BIN must name the bin folder}"
: "${SRC:?SRC must name the source tree}"
# shellcheck source=lib/game.bash
source "$SRC/tests/e2e/lib/game.bash"
PACK=$BIN/upkeep-pack
W=$(mktemp -d /tmp/upkeep-pack-out.XXXXXX)
trap 'rm -rf "$W"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# has_line FILE LINE WHAT: FILE holds LINE as a whole line.
has_line() { grep -qxF -- "$2" "$1" || fail "$3: no line '$2' in: $(head -5 "$1")"; }

# One file of each kind of change, a folder that goes, and a bank file.
mkdir -p "$W/v1/Data/Levels" "$W/v1/Old" "$W/v2/Data/Levels"
head -c 300000 /dev/urandom >"$W/v1/big.pak"
{ head -c 1000 "$W/v1/big.pak"; printf 'NEW'; tail -c +1001 "$W/v1/big.pak"; } >"$W/v2/big.pak"
printf 'moved' >"$W/v1/a.txt"
printf 'moved' >"$W/v2/b.txt"
printf 'gone' >"$W/v1/Old/x.dat"
printf 'added' >"$W/v2/new.txt"
printf 'bank' >"$W/v1/Data/Levels/bank1.dat"
printf 'bank2' >"$W/v2/Data/Levels/bank1.dat"
printf 'MZ' | tee "$W/v1/game.exe" >"$W/v2/game.exe"
pack_strings "$W/S.scr" || fail "a string table"
T="--old $W/v1 --new $W/v2 --strings $W/S.scr"

# A broken string table: the compiler-style place of the fault, nothing made.
cp "$W/S.scr" "$W/bad.scr"
printf 'String("X" "y")\r\n' >>"$W/bad.scr"
line=$(($(wc -l <"$W/S.scr") + 1))
"$PACK" make --old "$W/v1" --new "$W/v2" --strings "$W/bad.scr" -o "$W/bad.pkg" 2>"$W/bad.err"
[ $? -eq 1 ] || fail "make with a broken string table: exit code"
has_line "$W/bad.err" "$W/bad.scr:$line:12: error: comma expected" "make, broken table"
[ -e "$W/bad.pkg" ] && fail "make wrote a package with a broken string table"
# A quote missing at a line's end: the fault shows a line later, after the
# place of the string that was not closed.
cp "$W/S.scr" "$W/bad.scr"
printf 'String("X", "y)\r\nString("Z", "w")\r\n' >>"$W/bad.scr"
"$PACK" make --old "$W/v1" --new "$W/v2" --strings "$W/bad.scr" -o "$W/bad.pkg" 2>"$W/bad.err"
[ $? -eq 1 ] || fail "make with an unclosed quote: exit code"
head -1 "$W/bad.err" | grep -qF "$W/bad.scr:$line:13: error: string not closed on its line" ||
  fail "the unclosed quote is not reported at its line: $(head -2 "$W/bad.err")"

# make off a terminal: no progress at all, the summary on standard output.
# 2 created: new.txt and the bank file the package writes again.
# shellcheck disable=SC2086
"$PACK" make $T -o "$W/p.pkg" >"$W/make.out" 2>"$W/make.err" || fail "make"
grep -qE '^comparing | MB |'$'\r' "$W/make.err" && fail "progress off a terminal: $(cat "$W/make.err")"
[ "$(wc -l <"$W/make.out")" -eq 2 ] || fail "summary is not two lines: $(cat "$W/make.out")"
# The sections as verify counts them: the update, the closing check and the
# bank files written again.
has_line "$W/make.out" \
  "wrote $W/p.pkg: 1 patched, 2 created, 1 renamed, 1 deleted, 1 folder kept (3 sections)" "summary"
grep -qx 'patch.scr: 3 section(s)' <("$PACK" verify "$W/p.pkg") || fail "verify counts otherwise"
# The payloads against the bytes they write (big.pak patched, new.txt and the
# bank file created), not the package against the whole tree.
written=$((300003 + 5 + 5))
size=$(stat -c %s "$W/p.pkg")
payloads=$(sed -n 's/^payloads \([0-9]*\) bytes.*/\1/p' "$W/make.out")
ratio=$(awk -v p="$payloads" -v w="$written" 'BEGIN { printf "%.1f", 100 * p / w }')
has_line "$W/make.out" \
  "payloads $payloads bytes, $ratio% of the $written bytes of files they write; package $size bytes" \
  "summary sizes"
# On a terminal the progress line is drawn in place; -q keeps it away but
# not the summary.
script -qc "$PACK make $T -f -o $W/p2.pkg" /dev/null >"$W/pty.txt" 2>&1
grep -qaF $'\e[K' "$W/pty.txt" && grep -qaE '\[[0-9]/3\] [0-9.]+/0\.3 MB .*big\.pak' "$W/pty.txt" ||
  fail "no progress line on a terminal: $(tr '\r\033' '|^' <"$W/pty.txt" | head -3)"
script -qc "$PACK make $T -f -q -o $W/p2.pkg" /dev/null >"$W/pty.txt" 2>&1
grep -qaF $'\e[K' "$W/pty.txt" && fail "make -q drew progress"
grep -qa '^wrote .*1 patched' "$W/pty.txt" || fail "make -q lost the summary"

# The same package with a damaged script and string table (both are stored
# as they are): verify and apply point at the places.
python3 - "$W/p.pkg" "$W/broken.pkg" <<'PY'
import sys
d = open(sys.argv[1], 'rb').read()
d = d.replace(b'  FreeSpace(', b'  FreeSpace[', 1)
i = d.index(b'\nString("') + 1
open(sys.argv[2], 'wb').write(d[:i] + b'Strinx' + d[i + 6:])
PY
free=$("$PACK" cat "$W/p.pkg" patch.scr | grep -n '^  FreeSpace(' | head -1 | cut -d: -f1)
key=$("$PACK" cat "$W/p.pkg" Strings.scr | grep -n '^String("' | head -1 | cut -d: -f1)
"$PACK" verify "$W/broken.pkg" >"$W/verify.txt"
[ $? -eq 1 ] || fail "verify of a broken package: exit code"
cp -r "$W/v1" "$W/g0"
"$PACK" apply "$W/broken.pkg" --dir "$W/g0" >/dev/null 2>"$W/apply.err"
[ $? -eq 1 ] || fail "apply of a broken package: exit code"
for f in verify.txt apply.err; do
  has_line "$W/$f" "patch.scr:$free:12: error: opening bracket expected" "$f"
  has_line "$W/$f" "Strings.scr:$key:1: error: unknown keyword strinx" "$f"
done

# apply, for real and as a dry run, in a folder of its own and in a Wine
# prefix's C: drive.
mkdir -p "$W/pfx/dosdevices" "$W/pfx/drive_c/Games"
ln -s ../drive_c "$W/pfx/dosdevices/c:"
cp -r "$W/v1" "$W/game"
cp -r "$W/v1" "$W/pfx/drive_c/Games/My Game"
"$PACK" apply "$W/p.pkg" --dir "$W/game" --dry-run >"$W/dry.out" 2>"$W/dry.err" || fail "dry run"
diff -r "$W/game" "$W/v1" >/dev/null || fail "the dry run changed the folder"
"$PACK" apply "$W/p.pkg" --dir "$W/game" >"$W/run.out" 2>"$W/run.err" || fail "apply"
"$PACK" apply "$W/p.pkg" --dir "$W/pfx/drive_c/Games/My Game" >"$W/pfx.out" 2>&1 ||
  fail "apply in a prefix"
for f in dry run; do
  cat "$W/$f.out" "$W/$f.err" >"$W/$f.all"
  grep -n '/' "$W/$f.all" | head -3 | sed "s|^|$f: a '/' path: |" | grep . >&2 && fail "$f: '/' paths"
  grep -nE '\.~up|mya\$\$' "$W/$f.all" >&2 && fail "$f: temporary names"
  grep -n '^ *$' "$W/$f.all" >&2 && fail "$f: blank lines"
  # A progress line comes once per file: nothing repeats until another file.
  awk -F'\\.\\.\\. ' '$2 != file { file = $2; split("", seen) } seen[$0]++ { print; bad = 1 }
    END { exit bad }' "$W/$f.err" >&2 || fail "$f: repeated progress lines"
  has_line "$W/$f.err" 'Checking the updated file... big.pak' "$f progress"
done
has_line "$W/run.out" 'Updated file: big.pak' "apply's log"
has_line "$W/pfx.out" 'Updated file: C:\Games\My Game\big.pak' "apply's log in a prefix"
has_line "$W/run.out" '  Data\Levels\bank1.dat' "apply's bank files"
for l in '  delete bank  Data\Levels\bank1.dat (at the first change)' \
  '  rename file  a.txt -> b.txt' '  change file  big.pak (300000 -> 300003 bytes)' \
  '  create file  Data\Levels\bank1.dat' '  remove file  Old\x.dat'; do
  has_line "$W/dry.out" "$l" "dry run"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
