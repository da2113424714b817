#!/usr/bin/env bash
# upkeep-pack's command-line conventions, one row per argument form: exit
# code and what it must say; then -o/-f, --stub, verify's required keys and
# --version on the updater.
set -uo pipefail
: "${BIN:?BIN must name the bin folder}"
PACK=$BIN/upkeep-pack
W=$(mktemp -d /tmp/upkeep-pack-conv.XXXXXX)
trap 'rm -rf "$W"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

mkdir -p "$W/old" "$W/new"
printf 'one' >"$W/old/a.txt"
printf 'two' >"$W/new/a.txt"
"$PACK" init-strings -o "$W/S.scr" || fail "init-strings"
grep -v '"SRC_EXE"' "$W/S.scr" >"$W/no-exe.scr"
grep -v '"IDS_TITLE"' "$W/S.scr" >"$W/no-title.scr"
printf 'not a program' >"$W/fake.exe"
cp "$PACK" "$W/tool-as-stub"
echo keep >"$W/taken"
T="--old $W/old --new $W/new"

# EXPECTED-CODE|TEXT THE OUTPUT MUST HOLD (or empty)|ARGUMENTS
while IFS='|' read -r code text args; do
  [ -z "$code" ] && continue
  rm -f "$W/out"
  # shellcheck disable=SC2086
  "$PACK" $args >"$W/run.txt" 2>&1
  rc=$?
  [ "$rc" -eq "$code" ] || fail "upkeep-pack $args: exit code $rc, not $code"
  [ -z "$text" ] || grep -qF -- "$text" "$W/run.txt" ||
    fail "upkeep-pack $args: no '$text' in: $(head -3 "$W/run.txt")"
done <<ROWS
0|upkeep-pack 1.|--version
0|usage: upkeep-pack make|make --help
0||make $T --strings $W/S.scr -o $W/out
0||make $T --strings=$W/S.scr --output=$W/out
0||make --old=$W/old --new=$W/new --strings $W/S.scr -o $W/out --level=3
0||make $T --strings $W/S.scr --level 1 --remove-folders -o $W/out
2|--level takes 1 to 9|make $T --strings $W/S.scr --level=0 -o $W/out
2|--level takes 1 to 9|make $T --strings $W/S.scr --level 5x -o $W/out
2|--remove-folders takes no value|make $T --strings $W/S.scr --remove-folders=yes -o $W/out
2|unknown option: --strange|make $T --strings $W/S.scr --strange=1 -o $W/out
2|-o needs a value|make $T --strings $W/S.scr -o
2|unexpected argument: stray|make $T --strings $W/S.scr stray -o $W/out
1|exists; not replaced|make $T --strings $W/S.scr -o $W/taken
1|not an updater program|make $T --strings $W/S.scr --stub $W/fake.exe -o $W/out
1|not an updater program|make $T --strings $W/S.scr --stub=$W/tool-as-stub -o $W/out
1|cannot read the stub|make $T --strings $W/S.scr --stub $W/none -o $W/out
0||make $T --strings $W/S.scr --stub $BIN/upkeep -o $W/out
1|exists; not replaced|init-strings -o $W/taken
1|exists; not replaced|init-strings --output=$W/taken
2|unknown option: -x|list -x $W/taken
2|--inflate takes no value|cat $W/taken patch.scr --inflate=1
2|--dir needs a value|apply $W/taken --dir
2|unknown command|--frobnicate
ROWS
[ "$(cat "$W/taken")" = keep ] || fail "a refused -o changed the file"

# -f replaces, and what it writes is a whole package.
"$PACK" make $T --strings "$W/S.scr" -o "$W/taken" -f 2>/dev/null || fail "make -f"
"$PACK" verify "$W/taken" >/dev/null || fail "verify of the package made with -f"
"$PACK" init-strings --force -o "$W/S2.scr" && "$PACK" init-strings -f -o "$W/S2.scr" ||
  fail "init-strings -f"
cmp -s "$W/S.scr" "$W/S2.scr" || fail "init-strings -f wrote something else"

# verify: a missing key the updater cannot do without is a fault (exit 1),
# while an ordinary missing text stays a warning.
for s in no-exe:SRC_EXE no-title:IDS_TITLE; do
  "$PACK" make $T --strings "$W/${s%%:*}.scr" -o "$W/${s%%:*}.pkg" 2>/dev/null ||
    fail "make with ${s%%:*}"
  "$PACK" verify "$W/${s%%:*}.pkg" >"$W/verify.txt"
  [ $? -eq 1 ] || fail "verify without ${s#*:}: exit code"
  grep -q "^FAULT: Strings.scr lacks ${s#*:}," "$W/verify.txt" || fail "verify without ${s#*:}"
done
grep -v '"IDS_PROGRESS_CREATING_FILE"' "$W/S.scr" >"$W/no-text.scr"
"$PACK" make $T --strings "$W/no-text.scr" -o "$W/no-text.pkg" 2>/dev/null
"$PACK" verify "$W/no-text.pkg" >"$W/verify.txt" || fail "verify of a missing ordinary text"
grep -q '^warning: Strings.scr lacks IDS_PROGRESS_CREATING_FILE' "$W/verify.txt" ||
  fail "verify does not warn about an ordinary text"

# The updater's --version, with or without a package and beside other
# options, runs nothing; inside a file name of -log it is no option.
"$PACK" make $T --strings "$W/S.scr" --stub "$BIN/upkeep" -o "$W/update" 2>/dev/null
for exe in "$BIN/upkeep" "$W/update"; do
  out=$("$exe" --version -force </dev/null 2>&1)
  [ $? -eq 0 ] && [ "$out" = "$("$BIN/upkeep" --version)" ] || fail "$exe --version: $out"
done
case "$("$BIN/upkeep" --version)" in "upkeep 1."*) ;; *) fail "updater version text" ;; esac

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
