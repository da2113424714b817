#!/usr/bin/env bash
# A Polish update (its string table in code page 1250, Locale "Polish") on a
# Western Windows (code page 1252): the Windows build under Wine, worked by
# upkeep_ui, and then the Linux build on the same start. Both must name the
# same files, folders and shortcuts (names, and targets as the shell reads
# them), the dialogs and boxes must show the Polish texts, and patch.log must
# hold the same bytes, in 1250. BIN is the Windows bin folder, LINUX_BIN the
# Linux one, SRC the source tree.
set -uo pipefail
: "${BIN:?}" "${SRC:?}" "${LINUX_BIN:?}"
win_bin=$BIN
work=$(mktemp -d /tmp/upkeep-wine-cp.XXXXXX)
# Wine links the desktop into the home: a home of the test's own.
export HOME=$work/home
mkdir -p "$HOME"
{ export LC_ALL=C.UTF-8; } 2>/dev/null
export WINEDLLOVERRIDES="winemenubuilder.exe=d"
source "$SRC/tests/wine/lib/desktop.bash"
start_desktop 141 190
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# The sample game's two versions, its delta and payloads, made with ASCII
# names by upkeep-pack; the script then gets the Polish names and shortcuts.
WORK=$work BIN=$LINUX_BIN
# shellcheck source=../e2e/lib/game.bash
source "$SRC/tests/e2e/lib/game.bash"
make_game_trees "$work/trees" || { echo "cannot build the sample game" >&2; exit 1; }
strings_with "$work/plain.scr" 'REG_KEY=Software\Gry\Żółw' 'REG_DESTINATION=Katalog' \
  'PROGRAM_NAME=Żółw' 'PROGRAM_NAME_OLD=Żółw' 'SRC_EXE=game.exe' 'GAME_VERSION=1.0.0.0' \
  'PATCH_VERSION=1.0.0.1' 'LANG_VERSION=en' 'SHOW_README=0' 'LOCALE=Polish' \
  'UPDATE_TITLE=%s: aktualizacja %s do %s' 'IDS_TITLE=Aktualizacja gry %1' \
  'IDS_UPDATE_SUCCESSFUL=Aktualizacja zakończona pomyślnie.' \
  'IDS_INFO_SUCCES=Gra %1 została zaktualizowana.' || exit 1
iconv -f UTF-8 -t CP1250 "$work/plain.scr" >"$work/Strings.scr" || exit 1
"$LINUX_BIN/upkeep-pack" make --delta-format basic --old "$work/trees/old" \
  --new "$work/trees/new" --strings "$work/Strings.scr" -o "$work/ascii.bin" >/dev/null || exit 1
"$LINUX_BIN/upkeep-pack" extract "$work/ascii.bin" "$work/entries" >/dev/null || exit 1
sed -e 's/Data\\\\maps\\\\island.map/Źródła\\\\Mapy świata\\\\wyspa.map/' \
  -e 's/Data\\\\maps/Źródła\\\\Mapy świata/' -e 's/Data\\\\levels.dat/Źródła\\\\Łódź.dat/' \
  -e 's/intro.txt/usuń.txt/g' \
  -e '0,/^}/s/^}/  RenameFile("ćma.txt", "Ćma nowa.txt")\r\n  AddStartMenuLink("Żółw – graj.lnk", "game.exe", "", "game.exe", 0)\r\n  AddDesktopLink("Łódź mapa.lnk", "Źródła\\\\Mapy świata\\\\wyspa.map", "", "", 0)\r\n}/' \
  "$work/entries/PATCH.SCR" | iconv -f UTF-8 -t CP1250 >"$work/patch.scr" || exit 1
grep -q 'AddDesktopLink("' "$work/patch.scr" || { echo "script not rewritten" >&2; exit 1; }
BIN=$win_bin  # the window tool's folder again

# This machine's code page is Western.
cat >"$work/acp.c" <<'C'
#include <windows.h>
#include <stdio.h>
int main(void) { printf("%u\n", GetACP()); return 0; }
C
x86_64-w64-mingw32-gcc -O1 -s "$work/acp.c" -o "$work/acp.exe" || exit 1
[ "$(wine "$work/acp.exe" | tr -d '\r')" = 1252 ] || { echo "not a 1252 prefix" >&2; exit 1; }

# The game as its installer left it, names stored as Wine stores them (UTF-8),
# its registry entry and the shell's folders (with Polish names too), and a
# desktop shortcut to the game made by the shell itself.
G='C:\Gry\Żółw'
game=$WINEPREFIX/drive_c/Gry/Żółw
mkdir -p "$game/Źródła" "$game/Stare śmieci/Głębia" "$WINEPREFIX/drive_c/Menu Żółw" \
  "$WINEPREFIX/drive_c/Pulpit Żółw"
cp "$work/trees/old/game.exe" "$work/trees/old/ReadMe.txt" "$game/"
cp "$work/trees/old/intro.txt" "$game/usuń.txt"
cp "$work/trees/old/intro.txt" "$game/ćma.txt"
cp "$work/trees/old/Data/levels.dat" "$game/Źródła/Łódź.dat"
cp "$work/trees/old/intro.txt" "$game/Stare śmieci/Głębia/ślad.txt"
wine reg add 'HKLM\Software\Gry\Żółw' /v Katalog /t REG_SZ /d "$G\\" /f >/dev/null 2>&1 ||
  fail "wine reg add"
folders='Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders'
wine reg add "HKLM\\$folders" /v 'Common Start Menu' /t REG_SZ /d 'C:\Menu Żółw' /f \
  >/dev/null 2>&1 || fail "start menu folder"
wine reg add "HKCU\\$folders" /v Desktop /t REG_SZ /d 'C:\Pulpit Żółw' /f >/dev/null 2>&1 ||
  fail "desktop folder"
# The shell rewrites "Shell Folders" from "User Shell Folders" whenever it
# looks a folder up, as Windows does: the desktop is moved there too.
wine reg add "HKCU\\${folders/Shell Folders/User Shell Folders}" /v Desktop /t REG_EXPAND_SZ \
  /d 'C:\Pulpit Żółw' /f >/dev/null 2>&1 || fail "desktop folder (user shell folders)"
ui link 'C:\Pulpit Żółw\Żółw.lnk' "$G\\game.exe" || fail "desktop shortcut"
wineserver -w
cp -a "$game" "$work/fresh"
cp -a "$WINEPREFIX/drive_c/Menu Żółw" "$work/fresh-menu"
cp -a "$WINEPREFIX/drive_c/Pulpit Żółw" "$work/fresh-desk"

pack() {
  local e=$work/entries
  ui pack "$(winepath -w "$1")" "$(winepath -w "$2")" \
    --raw STRINGS.SCR "$(winepath -w "$work/Strings.scr")" \
    --raw PATCH.SCR "$(winepath -w "$work/patch.scr")" \
    --raw 00000001.DELTA "$(winepath -w "$e/00000001.DELTA")" \
    --raw 00000002.DELTA "$(winepath -w "$e/00000002.DELTA")" \
    --raw 00000003.DELTA "$(winepath -w "$e/00000003.DELTA")" \
    --raw 00000004.FILE "$(winepath -w "$e/00000004.FILE")" >/dev/null || fail "pack $1"
}
pack "$work/update.exe" "$win_bin/upkeep.exe"
pack "$work/update" "$LINUX_BIN/upkeep"
chmod +x "$work/update"

# results NAME: the game folder and both shell folders, kept as NAME.
results() {
  mv "$game" "$work/$1"
  mv "$WINEPREFIX/drive_c/Menu Żółw" "$work/$1-menu"
  mv "$WINEPREFIX/drive_c/Pulpit Żółw" "$work/$1-desk"
  cp -a "$work/fresh" "$game"
  cp -a "$work/fresh-menu" "$WINEPREFIX/drive_c/Menu Żółw"
  cp -a "$work/fresh-desk" "$WINEPREFIX/drive_c/Pulpit Żółw"
}

echo "== the Windows build under Wine"
(cd "$work" && exec wine update.exe -force) >/dev/null 2>&1 &
app=$!
main='Żółw: aktualizacja 1.0.0.0 do 1.0.0.1'
box='Aktualizacja gry Żółw'
ui wait "$main" 30000 || fail "no main dialog named in Polish: $(ui nowindow 10)"
ui watch "$main" "$box" 60000 >/dev/null || fail "no final box named in Polish"
grep -qF 'text="Aktualizacja zakończona pomyślnie."' <(ui dump "$box") || fail "the box's text"
ui click "$box" 1
ui gone "$box" 10000
sleep 0.3
grep -qF 'text="Gra Żółw została zaktualizowana."' <(ui dump "$main") ||
  fail "the information page's text"
ui click "$main" 2
for _ in $(seq 300); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
kill "$app" 2>/dev/null
wait "$app" 2>/dev/null
# The shell reads the shortcuts the update made as it made them.
win_menu=$(ui link 'C:\Menu Żółw\Żółw – graj.lnk')
win_desk=$(ui link 'C:\Pulpit Żółw\Łódź mapa.lnk')
wineserver -w
results by-windows

echo "== the Linux build on the same start"
"$work/update" -force </dev/null >"$work/linux.out" 2>&1
rc=$?
[ "$rc" -eq 0 ] || fail "Linux build: exit code $rc: $(tail -5 "$work/linux.out")"
linux_menu=$(ui link 'C:\Menu Żółw\Żółw – graj.lnk')
linux_desk=$(ui link 'C:\Pulpit Żółw\Łódź mapa.lnk')
results by-linux

echo "== the same result"
cmp -s "$work/by-windows/patch.log" "$work/by-linux/patch.log" || {
  fail "patch.log differs"
  diff <(iconv -f CP1250 -t UTF-8 "$work/by-windows/patch.log") \
    <(iconv -f CP1250 -t UTF-8 "$work/by-linux/patch.log") | head -20 >&2
}
diff -r "$work/by-windows" "$work/by-linux" >&2 || fail "the game folders differ"
for f in menu desk; do
  [ "$(cd "$work/by-windows-$f" && ls)" = "$(cd "$work/by-linux-$f" && ls)" ] ||
    fail "the $f folders name different shortcuts: $(ls "$work/by-windows-$f") / $(ls "$work/by-linux-$f")"
done
[ -f "$work/by-windows-menu/Żółw – graj.lnk" ] || fail "the start menu shortcut's name"
[ -f "$work/by-windows-desk/Łódź mapa.lnk" ] || fail "the desktop shortcut's name"
[ "$(tr -d '\r' <<<"$win_menu")" = "$G\\game.exe" ] || fail "Windows start menu target: $win_menu"
[ "$(tr -d '\r' <<<"$win_desk")" = "$G\\Źródła\\Mapy świata\\wyspa.map" ] ||
  fail "Windows desktop target: $win_desk"
[ "$win_menu" = "$linux_menu" ] && [ "$win_desk" = "$linux_desk" ] ||
  fail "the targets differ: $linux_menu / $linux_desk"
want="Created dir: $G\\Źródła\\Mapy świata
Updated file: $G\\Źródła\\Łódź.dat
Updated file: $G\\game.exe
Updated file: $G\\ReadMe.txt
Created file: $G\\Źródła\\Mapy świata\\wyspa.map
Deleted file: $G\\usuń.txt
Renamed file: ćma.txt to Ćma nowa.txt
Added shortcut: C:\\Menu Żółw\\Żółw – graj.lnk
Added shortcut: C:\\Pulpit Żółw\\Łódź mapa.lnk

Final update state:
Aktualizacja zakończona pomyślnie."
[ "$(iconv -f CP1250 -t UTF-8 "$work/by-windows/patch.log" | tr -d '\r')" = "$want" ] ||
  fail "log: $(iconv -f CP1250 -t UTF-8 "$work/by-windows/patch.log")"
cmp -s "$work/by-windows/Źródła/Łódź.dat" "$work/trees/new/Data/levels.dat" || fail "Łódź.dat not patched"
[ -f "$work/by-windows/Ćma nowa.txt" ] && [ ! -e "$work/by-windows/usuń.txt" ] || fail "names on disk"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
