#!/usr/bin/env bash
# upkeep-pack's command-line conventions, one row per argument form: exit
# code and what it must say (make's refusals of updates that cannot work,
# project and response files among them); then -o/-f, --stub, verify's
# required keys and --version on the updater.
set -uo pipefail
: "${BIN:?BIN must name the bin folder}"
: "${SRC:?SRC must name the source tree}"
# shellcheck source=lib/game.bash
source "$SRC/tests/e2e/lib/game.bash"
PACK=$BIN/upkeep-pack
W=$(mktemp -d /tmp/upkeep-pack-conv.XXXXXX)
trap 'rm -rf "$W"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

mkdir -p "$W/old" "$W/new" "$W/no-program" "$W/proj"
printf 'one' >"$W/old/a.txt"
printf 'two' >"$W/new/a.txt"
printf 'MZ' | tee "$W/old/game.exe" >"$W/new/game.exe"
printf 'one' >"$W/no-program/a.txt"
"$PACK" init-strings -o "$W/init.scr" || fail "init-strings"
pack_strings "$W/S.scr" || fail "a table for the sample"
grep -v '"SRC_EXE"' "$W/S.scr" >"$W/no-exe.scr"
grep -v '"IDS_TITLE"' "$W/S.scr" >"$W/no-title.scr"
# A table saved as UTF-8: what code page 1252 holds is converted, the rest refused.
pack_strings "$W/utf8.scr" 'IDS_UPDATE_SUCCESSFUL=Fertig, schön' || fail "a UTF-8 table"
pack_strings "$W/utf8-pl.scr" 'IDS_UPDATE_SUCCESSFUL=Gotowe, gra zaktualizowana: żółw' ||
  fail "a UTF-8 table"
printf 'not a program' >"$W/fake.exe"
cp "$PACK" "$W/tool-as-stub"
"$PACK" make --old "$W/old" --new "$W/new" --strings "$W/S.scr" --stub "$BIN/upkeep" \
  -o "$W/last-update" 2>/dev/null || fail "an update to give as the stub"
echo keep >"$W/taken"
T="--old $W/old --new $W/new"
# The same make as a project file (paths relative to it) and a response file.
{
  printf '# the sample update\r\n'
  printf 'old = ../old\r\nnew = %s\r\n' "$W/new"
  printf 'strings = ../S.scr\r\n\r\nlevel = 3\r\nremove-folders\r\noutput = out\r\n'
} >"$W/proj/sample.upkeep"
printf 'strange = 1\n' >"$W/proj/bad.upkeep"
printf -- '--old "%s" --new %s\n--strings=%s -o %s/out\n' "$W/old" "$W/new" "$W/S.scr" "$W" \
  >"$W/args.rsp"

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
2|cannot read the project file stray|make $T --strings $W/S.scr stray -o $W/out
1|exists; not replaced|make $T --strings $W/S.scr -o $W/taken
1|not an updater program|make $T --strings $W/S.scr --stub $W/fake.exe -o $W/out
1|not an updater program|make $T --strings $W/S.scr --stub=$W/tool-as-stub -o $W/out
1|cannot read the stub|make $T --strings $W/S.scr --stub $W/none -o $W/out
0||make $T --strings $W/S.scr --stub $BIN/upkeep -o $W/out
1|already carries a package|make $T --strings $W/S.scr --stub $W/last-update -o $W/out
1|names no program of the old tree|make --old $W/no-program --new $W/new --strings $W/S.scr -o $W/out
1|REG_KEY still holds init-strings' example|make $T --strings $W/init.scr -o $W/out
1|lacks SRC_EXE, which the updater cannot do without|make $T --strings $W/no-exe.scr -o $W/out
1|lacks IDS_TITLE, which the updater cannot do without|make $T --strings $W/no-title.scr -o $W/out
1|hold the same files|make --old $W/old --new $W/old --strings $W/S.scr -o $W/out
1|is not in code page 1252|make $T --strings $W/utf8-pl.scr -o $W/out
0|converted to code page 1252|make $T --strings $W/utf8.scr -o $W/out
0||make $T --strings $W/S.scr --force-downgrade -o $W/out
0|wrote $W/proj/out|make $W/proj/sample.upkeep
2|proj/bad.upkeep:1: unknown option 'strange'|make $W/proj/bad.upkeep
2|unexpected argument: $W/S.scr|make $W/proj/sample.upkeep $W/S.scr
0|wrote $W/out|make @$W/args.rsp
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
cmp -s "$W/init.scr" "$W/S2.scr" || fail "init-strings -f wrote something else"

# The project file's package is the command line's.
"$PACK" make $T --strings "$W/S.scr" --level 3 --remove-folders -f -o "$W/out" 2>/dev/null
cmp -s "$W/out" "$W/proj/out" || fail "the project file made another package"

# verify, of a package made elsewhere (its table edited in place, as it is
# stored): a key the updater cannot do without, missing or left at
# init-strings' example, is a fault (exit 1), while an ordinary missing text
# stays a warning.
pack_strings "$W/near.scr" 'REG_KEY=SOFTWARE\Exampel Studio\Example Game' || fail "table"
"$PACK" make $T --strings "$W/near.scr" -o "$W/near.pkg" 2>/dev/null || fail "make"
for s in 'SRC_EXE",:SRC_EXX",:lacks SRC_EXE,' 'IDS_TITLE",:IDS_TITLX",:lacks IDS_TITLE,' \
  'Exampel:Example:REG_KEY still holds init-strings'"'"' example'; do
  IFS=: read -r from to why <<<"$s"
  python3 - "$W/near.pkg" "$W/edited.pkg" "$from" "$to" <<'PY'
import sys
d = open(sys.argv[1], 'rb').read()
open(sys.argv[2], 'wb').write(d.replace(sys.argv[3].encode(), sys.argv[4].encode()))
PY
  "$PACK" verify "$W/edited.pkg" >"$W/verify.txt"
  [ $? -eq 1 ] || fail "verify ($why): exit code"
  grep -q "^FAULT: Strings.scr: .*$why" "$W/verify.txt" || fail "verify: $why: $(grep FAULT "$W/verify.txt")"
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
