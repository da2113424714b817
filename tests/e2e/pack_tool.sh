#!/usr/bin/env bash
# upkeep-pack from the command line: make, look inside, verify, dry-run and
# apply, a version chain, and refusals with their exit codes.
set -uo pipefail
: "${BIN:?BIN must name the bin folder}"
: "${SRC:?SRC must name the source tree}"
# shellcheck source=lib/game.bash
source "$SRC/tests/e2e/lib/game.bash"
PACK=$BIN/upkeep-pack
W=$(mktemp -d /tmp/upkeep-pack-e2e.XXXXXX)
trap 'rm -rf "$W"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
same_tree() { diff -r "$1" "$2" >/dev/null || fail "$3: trees differ"; }

mkdir -p "$W/v1/Data/Maps" "$W/v1/Old"
head -c 300000 /dev/urandom >"$W/v1/Data/big.pak"
printf 'one\r\n' >"$W/v1/readme.txt"
printf 'gone' >"$W/v1/Old/x.dat"
printf 'MZ' >"$W/v1/game.exe"
cp -r "$W/v1" "$W/v2"
rm -rf "$W/v2/Old"
printf 'two\r\n' >"$W/v2/readme.txt"
{ head -c 1000 "$W/v1/Data/big.pak"; printf 'NEW'; tail -c +1001 "$W/v1/Data/big.pak"; } \
  >"$W/v2/Data/big.pak"
mkdir -p "$W/v2/Data/Maps/New"
printf 'map' >"$W/v2/Data/Maps/New/m.map"
cp -r "$W/v2" "$W/v3"
printf 'three\r\n' >"$W/v3/readme.txt"
cp -r "$W/v3" "$W/v3.check"

"$PACK" init-strings -o "$W/Strings.scr" || fail "init-strings"
"$PACK" init-strings -o "$W/Strings.scr" 2>/dev/null && fail "init-strings overwrote a file"
grep -q 'String("IDS_ERR_WRONG_CRC"' "$W/Strings.scr" || fail "init-strings lacks a key"
# The table as is names the example game: make refuses it until it is this one.
"$PACK" make --old "$W/v1" --new "$W/v2" --strings "$W/Strings.scr" -o "$W/p.pkg" 2>"$W/make.err"
[ $? -eq 1 ] && grep -q 'REG_KEY still holds' "$W/make.err" || fail "make took the example table"
pack_strings "$W/Strings.scr" || fail "a table for the sample"

"$PACK" make --old "$W/v1" --new "$W/v2" --strings "$W/Strings.scr" -o "$W/p.pkg" \
  2>"$W/make.err" || fail "make"
"$PACK" list "$W/p.pkg" >"$W/list.txt" || fail "list"
grep -q '00000001.DELTA' "$W/list.txt" || fail "list lacks the delta"
"$PACK" cat "$W/p.pkg" patch.scr >"$W/patch.scr" || fail "cat"
grep -q 'PatchFile("Data\\\\big.pak", "00000001.DELTA' "$W/patch.scr" || fail "script lacks PatchFile"
# A dropped folder loses the old files, one by one, and keeps what players put there.
grep -q 'DeleteFile("Old\\\\x.dat"' "$W/patch.scr" || fail "script lacks DeleteFile"
grep -q '^  DeleteDir' "$W/patch.scr" && fail "script removes a folder without --remove-folders"
grep -q '^kept folder Old' "$W/make.err" || fail "make does not report the kept folder"
"$PACK" extract "$W/p.pkg" "$W/ex" >/dev/null || fail "extract"
cmp -s "$W/ex/PATCH.SCR" "$W/patch.scr" || fail "extract and cat differ"
"$PACK" verify "$W/p.pkg" >"$W/verify.txt" || fail "verify of a good package"
grep -q '0 fault(s)' "$W/verify.txt" || fail "verify output"

cp -r "$W/v1" "$W/game"
"$PACK" apply "$W/p.pkg" --dir "$W/game" --dry-run >"$W/dry.txt" 2>/dev/null || fail "dry run"
same_tree "$W/game" "$W/v1" "dry run changed the directory"
grep -qF 'remove file  Old\x.dat' "$W/dry.txt" || fail "dry run does not report the removal"
"$PACK" apply "$W/p.pkg" --dir "$W/game" >/dev/null 2>&1 || fail "apply"
rmdir "$W/game/Old" || fail "apply did not keep the dropped folder, empty"
same_tree "$W/game" "$W/v2" "apply"
# A second run finds the files already changed and stops before touching anything.
"$PACK" apply "$W/p.pkg" --dir "$W/game" >"$W/again.txt" 2>/dev/null && fail "second apply passed"
grep -q '^result 6' "$W/again.txt" || fail "second apply: wrong result"

# A chain 1.0 -> 1.1 -> 1.2 brings either old version to the newest.
# (The trees' program has no version to check against the sections'.)
"$PACK" make --old 1.0.0.0="$W/v1" --old 1.1.0.0="$W/v2" --new "$W/v3" --to-version 1.2.0.0 \
  --remove-folders --strings "$W/Strings.scr" -o "$W/chain.pkg" --allow-any-version 2>/dev/null ||
  fail "make chain"
for v in 1.0.0.0 1.1.0.0; do
  rm -rf "$W/g"
  [ "$v" = 1.0.0.0 ] && cp -r "$W/v1" "$W/g" || cp -r "$W/v2" "$W/g"
  "$PACK" apply "$W/chain.pkg" --dir "$W/g" --version "$v" >/dev/null 2>&1 || fail "chain from $v"
  same_tree "$W/g" "$W/v3" "chain from $v"
done
"$PACK" apply "$W/chain.pkg" --dir "$W/g" >/dev/null 2>&1
[ $? -eq 2 ] || fail "apply of a versioned package without --version: exit code"

# Refusals: bad usage is 2, failed work is 1, and the output stays as it was.
echo keep >"$W/out.pkg"
"$PACK" make --old "$W/v1" --new "$W/missing" --strings "$W/Strings.scr" -o "$W/out.pkg" \
  2>/dev/null
[ $? -eq 1 ] || fail "make with a missing tree: exit code"
[ "$(cat "$W/out.pkg")" = keep ] || fail "a failed make touched its output"
# Files of the user's beside the output, or a directory in its place, are never touched.
echo mine >"$W/out.pkg.part"
echo mine >"$W/out.pkg.old"
"$PACK" make --old "$W/v1" --new "$W/v2" --strings "$W/Strings.scr" -o "$W/out.pkg" -f \
  2>/dev/null || fail "make -f over an existing package"
[ "$(cat "$W/out.pkg.part")$(cat "$W/out.pkg.old")" = minemine ] || fail "make clobbered a neighbour"
"$PACK" verify "$W/out.pkg" >/dev/null || fail "package written beside a .part file"
"$PACK" make --old "$W/v1" --new "$W/v2" --strings "$W/Strings.scr" -o "$W/v3" 2>/dev/null
[ $? -eq 1 ] || fail "make onto a directory: exit code"
same_tree "$W/v3" "$W/v3.check" "make onto a directory changed it"
"$PACK" make --old 1.0.0.0="$W/v1" --new "$W/v2" --strings "$W/Strings.scr" -o "$W/out.pkg" \
  2>/dev/null
[ $? -eq 1 ] || fail "versioned make without --to-version: exit code"
"$PACK" make --new "$W/v2" 2>/dev/null
[ $? -eq 2 ] || fail "make without --old: exit code"
"$PACK" frobnicate 2>/dev/null
[ $? -eq 2 ] || fail "unknown command: exit code"
"$PACK" list "$W/Strings.scr" 2>/dev/null && fail "list of a non-package"
for c in make init-strings list extract cat verify apply; do
  # Not a pipe into grep -q: under pipefail its early exit fails the writer.
  grep -q "^usage: upkeep-pack $c" <("$PACK" "$c" --help) || fail "$c --help"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
