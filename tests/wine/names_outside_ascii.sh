#!/usr/bin/env bash
# A game under C:\Gry\Żółw with Polish names everywhere, made by Wine itself: a
# MinGW program creates the folders and files through the ANSI API in code
# page 1250, and the registry entry comes from Wine's reg tool. The same
# package then updates it twice from the same start: the Windows build under
# Wine (its dialogs worked by upkeep_ui) and the Linux build natively, in a
# prefix made here by wineboot. Both must find, patch, create, rename and
# delete the same files, and write the same patch.log byte for byte.
# BIN is the Windows bin folder, LINUX_BIN the Linux one, SRC the source tree.
set -uo pipefail
: "${BIN:?}" "${SRC:?}" "${LINUX_BIN:?}"
win_bin=$BIN
work=$(mktemp -d /tmp/upkeep-wine-names.XXXXXX)
xvfb_pid=
cleanup() {
  WINEPREFIX=$work/prefix wineserver -k >/dev/null 2>&1
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Wine takes its ANSI code page from the locale: Polish gives 1250. The locale
# is compiled here, so the machine needs no generated locales.
mkdir -p "$work/locale"
localedef -i pl_PL -f UTF-8 "$work/locale/pl_PL.UTF-8" 2>/dev/null
[ -e "$work/locale/pl_PL.UTF-8/LC_CTYPE" ] || { echo "cannot compile the pl_PL locale" >&2; exit 1; }
export LOCPATH=$work/locale
# (the shell itself cannot load it: it read LOCPATH before it was set)
{ export LC_ALL=pl_PL.UTF-8; } 2>/dev/null
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d"
wineboot -i >/dev/null 2>&1

# The sample game's two versions, its delta and payloads, made with ASCII
# names by upkeep-pack; the script then gets the Polish names.
WORK=$work BIN=$LINUX_BIN
# shellcheck source=../e2e/lib/game.bash
source "$SRC/tests/e2e/lib/game.bash"
make_game_trees "$work/trees" || { echo "cannot build the sample game" >&2; exit 1; }
strings_with "$work/plain.scr" 'REG_KEY=Software\Gry\Żółw' 'REG_DESTINATION=Katalog' \
  'PROGRAM_NAME=Sample Game 1.0.1' 'PROGRAM_NAME_OLD=Sample Game' 'SRC_EXE=game.exe' \
  'GAME_VERSION=1.0.0.0' 'PATCH_VERSION=1.0.0.1' 'LANG_VERSION=en' 'SHOW_README=0' \
  'LOCALE=Polish' || exit 1
iconv -f UTF-8 -t CP1250 "$work/plain.scr" >"$work/Strings.scr" || exit 1
# The basic form throughout, so that the entries repacked below keep their names.
"$LINUX_BIN/upkeep-pack" make --delta-format basic --old "$work/trees/old" \
  --new "$work/trees/new" --strings "$work/Strings.scr" -o "$work/ascii.bin" >/dev/null || exit 1
"$LINUX_BIN/upkeep-pack" extract "$work/ascii.bin" "$work/entries" >/dev/null || exit 1
# Polish names for the sample's, a rename and a whole tree removed; in 1250.
sed -e 's/Data\\\\maps\\\\island.map/Źródła\\\\Mapy świata\\\\wyspa.map/' \
  -e 's/Data\\\\maps/Źródła\\\\Mapy świata/' -e 's/Data\\\\levels.dat/Źródła\\\\Łódź.dat/' \
  -e 's/intro.txt/usuń.txt/g' \
  -e '0,/^}/s/^}/  RenameFile("ćma.txt", "Ćma nowa.txt")\r\n  DeleteDir("Stare śmieci")\r\n}/' \
  "$work/entries/PATCH.SCR" | iconv -f UTF-8 -t CP1250 >"$work/patch.scr" || exit 1
grep -q 'RenameFile("' "$work/patch.scr" || { echo "script not rewritten" >&2; exit 1; }

# The creator: folders and copies through the ANSI API, names from its
# command line (which Wine hands over in 1250).
cat >"$work/mkfiles.c" <<'C'
#include <windows.h>
#include <stdio.h>
#include <string.h>
/* "+DIR" creates a folder; "SRC>DST" copies a file; "wait" stays a minute. */
int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "wait") == 0) Sleep(60000);
    char* arrow = strchr(argv[i], '>');
    if (argv[i][0] == '+') {
      if (!CreateDirectoryA(argv[i] + 1, NULL)) return 10 + i;
    } else if (arrow != NULL) {
      *arrow = 0;
      if (!CopyFileA(argv[i], arrow + 1, FALSE)) return 50 + i;
    }
  }
  printf("code page %u\n", GetACP());
  return 0;
}
C
x86_64-w64-mingw32-gcc -O1 -s "$work/mkfiles.c" -o "$work/mkfiles.exe" || exit 1
old=$(winepath -w "$work/trees/old")
G='C:\Gry\Żółw'
created=$(wine "$work/mkfiles.exe" '+C:\Gry' "+$G" "+$G\\Źródła" "+$G\\Stare śmieci" \
  "+$G\\Stare śmieci\\Głębia" "$old\\game.exe>$G\\game.exe" "$old\\ReadMe.txt>$G\\ReadMe.txt" \
  "$old\\intro.txt>$G\\usuń.txt" "$old\\Data\\levels.dat>$G\\Źródła\\Łódź.dat" \
  "$old\\intro.txt>$G\\ćma.txt" "$old\\intro.txt>$G\\Stare śmieci\\Głębia\\ślad.txt" 2>&1)
[ "$(tr -d '\r' <<<"$created")" = "code page 1250" ] || { echo "creator: $created" >&2; exit 1; }
wine reg add 'HKLM\Software\Gry\Żółw' /v Katalog /t REG_SZ /d "$G\\" /f >/dev/null 2>&1 ||
  fail "wine reg add"
wineserver -w
game=$WINEPREFIX/drive_c/Gry/Żółw
[ -f "$game/Źródła/Łódź.dat" ] || fail "Wine did not store the names as UTF-8"
grep -q 'Software\\\\Gry\\\\\\x17b\\xf3\\x142w' "$WINEPREFIX/system.reg" ||
  fail "the key is not escaped in system.reg"
cp -a "$game" "$work/fresh"

# pack OUT STUB: the package behind a stub.
pack() {
  local e=$work/entries
  wine "$win_bin/upkeep_ui.exe" pack "$(winepath -w "$1")" "$(winepath -w "$2")" \
    --raw STRINGS.SCR "$(winepath -w "$work/Strings.scr")" \
    --raw PATCH.SCR "$(winepath -w "$work/patch.scr")" \
    --raw 00000001.DELTA "$(winepath -w "$e/00000001.DELTA")" \
    --raw 00000002.DELTA "$(winepath -w "$e/00000002.DELTA")" \
    --raw 00000003.DELTA "$(winepath -w "$e/00000003.DELTA")" \
    --raw 00000004.FILE "$(winepath -w "$e/00000004.FILE")" >/dev/null 2>&1 || fail "pack $1"
}
pack "$work/update.exe" "$win_bin/upkeep.exe"
pack "$work/update" "$LINUX_BIN/upkeep"
chmod +x "$work/update"

echo "== the Windows build under Wine"
for n in $(seq 90 140); do
  [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=$n; break; }
done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
ui() { DISPLAY=":$display" wine "$win_bin/upkeep_ui.exe" "$@" >/dev/null 2>&1; }
(cd "$work" && DISPLAY=":$display" exec wine update.exe -force) >/dev/null 2>&1 &
app=$!
main='Sample Game 1.0.1 update 1.0.0.0 -> 1.0.0.1'
box='Sample Game 1.0.1 update'
ui wait "$main" 30000 || fail "no main dialog"
ui watch "$main" "$box" 60000 || fail "no final box"
ui click "$box" 1
ui gone "$box" 10000
ui click "$main" 2
for _ in $(seq 300); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
kill "$app" 2>/dev/null
wait "$app" 2>/dev/null
mv "$game" "$work/by-windows"
cp -a "$work/fresh" "$game"

echo "== the Linux build on the same start"
"$work/update" -force </dev/null >"$work/linux.out" 2>&1
rc=$?
[ "$rc" -eq 0 ] || fail "Linux build: exit code $rc: $(tail -5 "$work/linux.out")"
head -n 1 "$work/linux.out" | grep -qF "Wine prefix: $WINEPREFIX (from WINEPREFIX)" ||
  fail "the prefix is not named first"

echo "== the same result"
cmp -s "$work/by-windows/patch.log" "$game/patch.log" || {
  fail "patch.log differs"
  diff <(iconv -f CP1250 -t UTF-8 "$work/by-windows/patch.log") \
    <(iconv -f CP1250 -t UTF-8 "$game/patch.log") | head -20 >&2
}
diff -r "$work/by-windows" "$game" >&2 || fail "the trees differ"
want="Created dir: $G\\Źródła\\Mapy świata
Updated file: $G\\Źródła\\Łódź.dat
Updated file: $G\\game.exe
Updated file: $G\\ReadMe.txt
Created file: $G\\Źródła\\Mapy świata\\wyspa.map
Deleted file: $G\\usuń.txt
Renamed file: ćma.txt to Ćma nowa.txt
Removed dir: $G\\Stare śmieci

Final update state:
The update was installed successfully."
[ "$(iconv -f CP1250 -t UTF-8 "$game/patch.log" | tr -d '\r')" = "$want" ] ||
  fail "log: $(iconv -f CP1250 -t UTF-8 "$game/patch.log")"
cmp -s "$game/Źródła/Łódź.dat" "$work/trees/new/Data/levels.dat" || fail "Łódź.dat not patched"
cmp -s "$game/Źródła/Mapy świata/wyspa.map" "$work/trees/new/Data/maps/island.map" ||
  fail "wyspa.map not created"
[ -f "$game/Ćma nowa.txt" ] && [ ! -e "$game/ćma.txt" ] || fail "ćma.txt not renamed"
[ ! -e "$game/usuń.txt" ] && [ ! -e "$game/Stare śmieci" ] || fail "not deleted"

echo "== a game Wine runs in the prefix is seen running"
cp "$work/mkfiles.exe" "$game/game.exe"
wine "$G\\game.exe" wait >/dev/null 2>&1 &
runner=$!
# Until Wine's server holds the program open, as it does while it runs.
for _ in $(seq 150); do
  for p in $(pgrep -x 'wineserver|wineserver64'); do readlink /proc/"$p"/fd/*; done 2>/dev/null |
    grep -qF "$game/game.exe" && break
  sleep 0.1
done
"$work/update" -force </dev/null >"$work/running.out" 2>&1
rc=$?
kill "$runner" 2>/dev/null
wait "$runner" 2>/dev/null
# Nothing changed: an interruption (1), the game named as running.
[ "$rc" -eq 1 ] && grep -qF 'error: Sample Game is running.' "$work/running.out" ||
  fail "the running game was not seen (exit code $rc): $(pgrep -af game.exe)"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
