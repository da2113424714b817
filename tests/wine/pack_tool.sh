#!/usr/bin/env bash
# upkeep-pack.exe, the Windows build of the authoring tool, under Wine: game
# trees below a folder with Japanese and Polish names and a path longer than
# MAX_PATH, a UTF-8 string table with Polish texts, a Polish file name in the
# trees. It must make the same package, byte for byte, as the Linux tool on
# the same trees (given on the command line, in a project file and in a
# response file), check and apply it, sign it with a command, and refuse what
# cannot work as the Linux tool does.
# BIN is the Windows bin folder, LINUX_BIN the Linux one, SRC the source tree.
set -uo pipefail
: "${BIN:?}" "${SRC:?}" "${LINUX_BIN:?}"
win_bin=$BIN
work=$(mktemp -d /tmp/upkeep-wine-pack.XXXXXX)
cleanup() {
  WINEPREFIX=$work/prefix wineserver -k >/dev/null 2>&1
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# Wine hands a program its arguments from UTF-8; its ANSI code page stays
# 1252, which holds none of the Japanese names: they can only arrive wide.
export LC_ALL=C.UTF-8
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d"
wineboot -i >/dev/null 2>&1

# win PATH: the path as Windows spells it (Wine's Z: is the root).
win() { printf 'Z:%s' "${1//\//\\}"; }
# pack_win ARGS: the Windows tool; RC its exit code, OUT what it printed (no CRs).
OUT=$work/out.txt
pack_win() {
  timeout 300 wine "$win_bin/upkeep-pack.exe" "$@" >"$OUT.raw" 2>&1
  RC=$?
  tr -d '\r' <"$OUT.raw" >"$OUT"
}
expect() {  # expect CODE TEXT WHAT
  [ "$RC" -eq "$1" ] || fail "$3: exit code $RC, not $1: $(head -5 "$OUT")"
  [ -z "$2" ] || grep -qF -- "$2" "$OUT" || fail "$3: no '$2' in: $(head -5 "$OUT")"
}

WORK=$work BIN=$LINUX_BIN
# shellcheck source=../e2e/lib/game.bash
source "$SRC/tests/e2e/lib/game.bash"
make_game_trees "$work/trees" || { echo "cannot build the sample game" >&2; exit 1; }

# The trees below a folder whose path is over MAX_PATH long, with Japanese
# and Polish names on the way, and a Polish name inside.
deep="$work/リリース żółw"
for i in 1 2 3 4 5 6; do deep=$deep/$(printf 'folder-%d-%040d' "$i" 0); done
mkdir -p "$deep"
cp -r "$work/trees/old" "$deep/ゲーム 1.0"
cp -r "$work/trees/new" "$deep/ゲーム 1.1"
deterministic_bytes "$deep/ゲーム 1.0/Zażółć gęślą.dat" 40000 21
{ head -c 30000 "$deep/ゲーム 1.0/Zażółć gęślą.dat"; printf 'zmiana'; } >"$deep/ゲーム 1.1/Zażółć gęślą.dat"
old="$deep/ゲーム 1.0"
new="$deep/ゲーム 1.1"
[ "${#new}" -gt 300 ] || fail "the trees' path is not long: ${#new}"
# The string table in UTF-8, as editors on Windows save it; its Polish texts
# fit its Locale's code page.
strings_with "$deep/Strings żółw.scr" 'REG_KEY=Software\Sample Studio\Sample Game' \
  'REG_DESTINATION=InstallPath' 'PROGRAM_NAME=Gra przykładowa' 'PROGRAM_NAME_OLD=Gra' \
  'SRC_EXE=game.exe' 'GAME_VERSION=1.0.0.0' 'PATCH_VERSION=1.0.0.1' 'LANG_VERSION=en' \
  'IDS_UPDATE_SUCCESSFUL=Aktualizacja zakończona.' 'LOCALE=Polish' || exit 1
stub=$win_bin/upkeep.exe

echo "== the same package from both builds"
mkdir -p "$work/linux" "$deep/windows"
start=$(date +%s%N)
"$LINUX_BIN/upkeep-pack" make --old "$old" --new "$new" --strings "$deep/Strings żółw.scr" \
  --stub "$stub" --company 'Studio Żółw' -o "$work/linux/Gra 1.1.exe" >"$work/linux.out" 2>&1 ||
  fail "the Linux tool: $(cat "$work/linux.out")"
linux_ms=$((($(date +%s%N) - start) / 1000000))
start=$(date +%s%N)
pack_win make --old "$(win "$old")" --new "$(win "$new")" --strings "$(win "$deep/Strings żółw.scr")" \
  --stub "$(win "$stub")" --company 'Studio Żółw' -o "$(win "$deep/windows/Gra 1.1.exe")"
windows_ms=$((($(date +%s%N) - start) / 1000000))
expect 0 "converted to code page 1250" "make"
echo "make: Linux ${linux_ms} ms, Windows under Wine ${windows_ms} ms"
# Its messages are UTF-8, names outside ASCII included.
grep -qF "wrote $(win "$deep/windows/Gra 1.1.exe"): " "$OUT" ||
  fail "the summary: $(grep wrote "$OUT")"
cmp "$work/linux/Gra 1.1.exe" "$deep/windows/Gra 1.1.exe" >&2 ||
  fail "the Windows tool made another package"

# The same from a project file beside the trees (relative paths) and from a
# response file; run from another folder.
printf '\xEF\xBB\xBF# Gra 1.1\r\nold = ゲーム 1.0\r\nnew = ゲーム 1.1\r\nstrings = Strings żółw.scr\r\n' \
  >"$deep/gra.upkeep"
printf 'stub = %s\r\ncompany = Studio Żółw\r\noutput = projekt/Gra 1.1.exe\r\n' "$(win "$stub")" \
  >>"$deep/gra.upkeep"
mkdir -p "$deep/projekt" "$work/rsp"
(cd "$work" && pack_win make "$(win "$deep/gra.upkeep")" -q)
expect 0 "" "make PROJECT"
cmp -s "$work/linux/Gra 1.1.exe" "$deep/projekt/Gra 1.1.exe" || fail "the project made another package"
printf -- '--old "%s"\r\n--new "%s" --strings "%s"\r\n--stub %s --company "Studio Żółw"\r\n' \
  "$(win "$old")" "$(win "$new")" "$(win "$deep/Strings żółw.scr")" "$(win "$stub")" \
  >"$work/rsp/args żółw.rsp"
pack_win make "@$(win "$work/rsp/args żółw.rsp")" -o "$(win "$work/rsp/Gra 1.1.exe")"
expect 0 "" "make @FILE"
cmp -s "$work/linux/Gra 1.1.exe" "$work/rsp/Gra 1.1.exe" || fail "the response file made another package"

echo "== checked and applied by the Windows tool"
pkg=$(win "$deep/windows/Gra 1.1.exe")
pack_win verify "$pkg"
expect 0 "0 fault(s)" "verify"
pack_win list "$pkg"
expect 0 "00000001.DELTA" "list"
# (A game folder within the updater's path lengths, as players have them.)
cp -r "$old" "$work/Gra żółw"
pack_win apply "$pkg" --dir "$(win "$work/Gra żółw")" --dry-run
expect 0 "change file  Zażółć gęślą.dat (40000 -> 30006 bytes)" "apply --dry-run"
diff -r "$work/Gra żółw" "$old" >/dev/null || fail "the dry run changed the folder"
pack_win apply "$pkg" --dir "$(win "$work/Gra żółw")"
expect 0 "Updated file: $(win "$work/Gra żółw")\\Zażółć gęślą.dat" "apply"
diff -r "$work/Gra żółw" "$new" >&2 || fail "apply: the folder is not the new tree"

echo "== signed by a command"
# cmd.exe's copy stands in for a signing tool: {in} to {out}. (cmd.exe itself
# takes no long paths.)
mkdir -p "$work/dist żółw"
pack_win make --old "$(win "$old")" --new "$(win "$new")" --strings "$(win "$deep/Strings żółw.scr")" \
  --stub "$(win "$stub")" --sign 'copy /b "{in}" "{out}"' -o "$(win "$work/dist żółw/Podpisana.exe")"
expect 0 "wrote $(win "$work/dist żółw/Podpisana.exe")" "make --sign"
[ -e "$work/dist żółw/Podpisana-unsigned.exe" ] && fail "the unsigned update was left behind"
grep -qa 'P.o.d.p.i.s.a.n.a...e.x.e' "$work/dist żółw/Podpisana.exe" ||
  fail "OriginalFilename is not the signed file's name"
pack_win make --old "$(win "$old")" --new "$(win "$new")" --strings "$(win "$deep/Strings żółw.scr")" \
  --sign 'exit 3' -o "$(win "$work/dist żółw/Nie.exe")"
expect 1 "the signing command failed (exit code 3); the unsigned update is kept" "a failed signing"
[ -e "$work/dist żółw/Nie.exe" ] && fail "a failed signing wrote the output"
[ -e "$work/dist żółw/Nie-unsigned.exe" ] || fail "a failed signing lost the unsigned update"

echo "== refusals, as the Linux tool makes them"
T=(--old "$(win "$old")" --new "$(win "$new")")
S=(--strings "$(win "$deep/Strings żółw.scr")")
mkdir -p "$work/no-program" "$work/same"
printf 'x' >"$work/no-program/a.txt"
pack_win make --old "$(win "$work/no-program")" --new "$(win "$new")" "${S[@]}" -o "$(win "$work/x")"
expect 1 "names no program of the old tree" "an old tree without the program"
pack_win make "${T[@]}" "${S[@]}" --stub "$pkg" -o "$(win "$work/x")"
expect 1 "already carries a package" "last release's update as the stub"
pack_win make --old "$(win "$old")" --new "$(win "$old")" "${S[@]}" -o "$(win "$work/x")"
expect 1 "hold the same files" "identical trees"
"$LINUX_BIN/upkeep-pack" init-strings -o "$work/example.scr" || fail "init-strings"
pack_win make "${T[@]}" --strings "$(win "$work/example.scr")" -o "$(win "$work/x")"
expect 1 "REG_KEY still holds init-strings' example" "the example table"
strings_with "$work/ja.scr" 'REG_KEY=Software\Sample Studio\Sample Game' \
  'REG_DESTINATION=InstallPath' 'PROGRAM_NAME=ゲーム' 'SRC_EXE=game.exe' 'GAME_VERSION=' \
  'LANG_VERSION=' || exit 1
pack_win make "${T[@]}" --strings "$(win "$work/ja.scr")" -o "$(win "$work/x")"
expect 1 "ゲ' (U+30B2) is not in code page 1252" "a UTF-8 table its code page cannot hold"
strings_with "$work/any.scr" 'REG_KEY=Software\Sample Studio\Sample Game' \
  'REG_DESTINATION=InstallPath' 'PROGRAM_NAME=Sample Game' 'SRC_EXE=game.exe' 'GAME_VERSION=' \
  'LANG_VERSION=' || exit 1
pack_win make --old "$(win "$new")" --new "$(win "$old")" --strings "$(win "$work/any.scr")" \
  -o "$(win "$work/x")"
expect 1 "look swapped" "a downgrade"
# A Japanese name in a tree: the updater's code page cannot name it.
cp -r "$new" "$work/ja-new"
printf 'x' >"$work/ja-new/説明.txt"
pack_win make "--old=$(win "$old")" "--new=$(win "$work/ja-new")" "${S[@]}" -o "$(win "$work/x")"
expect 1 "説明.txt cannot be written in code page 1250" "a Japanese file name"
[ -e "$work/x" ] && fail "a refused make wrote its output"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
