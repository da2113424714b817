#!/usr/bin/env bash
# The real upkeep.exe under Wine and Xvfb, worked from outside by upkeep_ui.exe:
# the terms dialog, the main dialog and its pages, the question, the message
# boxes, the outcomes, the exit codes, the single-instance refusal and DLL
# planting. Env: BIN (Windows bin folder), SRC (source tree). With SHOTS set to
# a folder, screenshots of the dialogs are written there.
set -uo pipefail

BIN=${BIN:?BIN is the Windows bin folder}
SRC=${SRC:?SRC is the source tree}
for f in upkeep.exe upkeep_ui.exe planted.dll; do
  [ -f "$BIN/$f" ] || { echo "missing $BIN/$f"; exit 1; }
done

work=$(mktemp -d /tmp/upkeep-dialogs.XXXXXX)
source "$SRC/tests/wine/lib/desktop.bash"
start_desktop 90 140

failures=0
checks=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  checks=$((checks + 1))
  if "$@"; then echo "ok: $what"; else fail "$what"; fi
}

winpath() { printf 'Z:%s' "${1//\//\\}"; }
# dump CAPTION: the dialog's controls into $dumped.
dumped=
dump() { dumped=$(ui dump "$1"); }
has() { grep -qF -- "$1" <<<"$dumped"; }
crc() { gzip -c <"$1" | tail -c8 | head -c4 | od -An -tx4 | tr -d ' \n' | tr a-f A-F; }

game="$WINEPREFIX/drive_c/Games/TestGame"
wine reg add 'HKLM\Software\UpkeepTest\Game' /v Path /t REG_SZ /d 'C:\Games\TestGame\' /f \
  >/dev/null 2>&1 || fail "registry entry"

MAIN="Test Game update to 1.1"
BOX="Test Game Updater"
TERMS="Test Game Licence"
OLD="Test Game Classic"

strings_file() {  # strings_file OUT GAME_VERSION
  cat >"$1" <<EOF
!String(s,s)
String("PROGRAM_NAME", "Test Game")
String("PROGRAM_NAME_OLD", "$OLD")
String("REG_KEY", "Software\\\\UpkeepTest\\\\Game")
String("REG_DESTINATION", "Path")
String("SRC_EXE", "game.exe")
String("GAME_VERSION", "$2")
String("LANG_VERSION", "")
String("PATCH_VERSION", "1.1")
String("SHOW_README", "0")
String("UPDATE_TITLE", "%s %s to %s")
String("UPDATE_TITLE_NO_VER", "%s update to %s")
String("IDS_TITLE", "%1 Updater")
String("IDS_UPDATE", "Bring your game up to date now?")
String("IDS_INFO_BEGIN", "Notes: this update is for %1.")
String("IDS_INFO_SUCCES", "%1 is now up to date.")
String("IDS_INFO_FAILED", "%1 could not be updated by %2.")
String("IDS_INFO_SKIP", "%1 was left as it was; you may try again.")
String("IDS_BTN_CLOSE", "Leave")
String("IDS_BTN_UPDATE", "Go")
String("IDS_TITLE_LICENCE", "$TERMS")
String("IDS_BTN_ACCEPT", "I agree")
String("IDS_BTN_DECLINE", "No thanks")
String("IDS_UPDATE_ALREADY_RUNNING", "%1 is already being updated.")
String("IDS_UPDATE_SUCCESSFUL", "The update worked.")
String("IDS_ERR_GENERIC", "The update failed.")
String("IDS_ERR_WRONG_CRC", "A game file is not the expected one.")
String("IDS_ERR_NO_REG_KEY", "%1 is not installed.")
String("IDS_PROGRESS_INIT", "Looking for the game")
String("IDS_PROGRESS_INIT_DONE", "Game found")
String("IDS_PROGRESS_UPDATING_DATA", "Updating")
String("IDS_PROGRESS_UPDATE_DONE", "Done")
String("IDS_PROGRESS_STORING_UPDATE_INFO", "Finishing")
String("IDS_PROGRESS_CREATING_FILE", "Creating a file")
String("IDS_PROGRESS_VERYFING_CREATED_FILE", "Checking the new file")
String("IDS_PROGRESS_VERYFING_SOURCE_FILE", "Checking a file")
EOF
}

src="$work/src"
mkdir -p "$src"
printf 'good data\r\n' >"$src/data_good.txt"
printf 'old data\r\n' >"$src/data_old.txt"
# Large enough that creating it lasts several of the page's repaint periods,
# so a watcher sees the bars part way and a Cancel lands while it is made.
head -c 96000000 /dev/urandom >"$src/new.bin"
# Created behind a long folder name: large enough too that the page, which
# shows the latest report at its own pace, shows its path.
head -c 48000000 /dev/urandom >"$src/more.txt"
{
  printf 'Terms of use.\r\nLine two.\r\n'
  for i in $(seq 1 40); do printf 'Clause %d of the terms.\r\n' "$i"; done
  printf 'Last line, then a line break.\r\n'
} >"$src/umowa.txt"
strings_file "$src/Strings.scr" ""
strings_file "$src/Strings_versions.scr" "1.0.0.0;1.0.0.1"
sed 's/"SHOW_README", "0"/"SHOW_README", "1"/' "$src/Strings.scr" >"$src/Strings_readme.scr"
long_name="Test Game: The Complete Collector's Edition With Every Expansion Ever Made"
sed "s/\"PROGRAM_NAME\", \"Test Game\"/\"PROGRAM_NAME\", \"$long_name\"/" \
  "$src/Strings_versions.scr" >"$src/Strings_long.scr"

# Two sections, the second with its own free-space check, so the lower bar
# has a section boundary to cross; a folder name too long for the file label.
long_dir="A folder whose name is far too long for the one line of the progress page"
cat >"$src/patch_ok.scr" <<EOF
!all()
!CheckFile(s,s)
!CreateFile(s,s,s)
!IsOKDir(s)
!FreeSpace(n)
all()
{
CheckFile("data.txt", "$(crc "$src/data_good.txt")")
CreateFile("new.bin", "00000001.FILE", "$(crc "$src/new.bin")")
}
all()
{
FreeSpace(1)
IsOKDir("$long_dir")
CreateFile("$long_dir\\\\more.txt", "00000002.FILE", "$(crc "$src/more.txt")")
}
EOF
cat >"$src/patch_fail.scr" <<EOF
!all()
!CreateFile(s,s,s)
all()
{
CreateFile("missing.txt", "00000009.FILE", "00000000")
}
EOF

# pack NAME STRINGS PATCH [terms]: an updater with its package, in its own folder.
pack() {
  local dir="$work/run/$1"
  mkdir -p "$dir"
  local args=(--raw Strings.scr "$(winpath "$src/$2")" --raw patch.scr "$(winpath "$src/$3")"
    --payload 00000001.FILE "$(winpath "$src/new.bin")"
    --payload 00000002.FILE "$(winpath "$src/more.txt")")
  [ "${4:-}" = terms ] && args+=(--raw umowa.txt "$(winpath "$src/umowa.txt")")
  ui pack "$(winpath "$dir/update.exe")" "$(winpath "$BIN/upkeep.exe")" "${args[@]}" ||
    fail "pack $1"
  exe="$dir/update.exe"
}

reset_game() {  # reset_game good|old
  rm -rf "$game"
  mkdir -p "$game"
  printf 'MZ game\r\n' >"$game/game.exe"
  cp "$src/data_$1.txt" "$game/data.txt"
}

# start EXE [ARGS]: runs it in the background; $app is its pid.
start() {
  (cd "$(dirname "$1")" && exec wine "$@") >/dev/null 2>&1 &
  app=$!
}
# finish: waits for the updater and leaves its exit code in $rc.
finish() {
  rc=
  local waited=0
  while kill -0 "$app" 2>/dev/null && [ $waited -lt 200 ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  if kill -0 "$app" 2>/dev/null; then
    rc=timeout
    kill "$app" 2>/dev/null
  fi
  wait "$app" 2>/dev/null
  local code=$?
  [ "${rc:-}" = timeout ] || rc=$code
}
alive() { sleep "${1:-0.5}"; kill -0 "$app" 2>/dev/null; }

shot() {  # shot CAPTION NAME [now]
  [ -n "${SHOTS:-}" ] || return 0
  local r
  if [ "${3:-}" != now ]; then
    ui activate "$1"
    sleep 0.3
  fi
  r=$(ui rect "$1") || return 0
  set -- $r "$2"
  mkdir -p "$SHOTS"
  xwd -root -silent -display "$DISPLAY" | /usr/bin/convert xwd:- -crop "${3}x${4}+${1}+${2}" +repage \
    "$SHOTS/$5.png" && echo "screenshot $SHOTS/$5.png"
}

# painted CAPTION: the window's own picture (its X window) is drawn, not one
# flat colour. Taken from the window itself rather than from the screen: with
# no window manager, Wine leaves a box shown over its owner beneath the owner's
# X window, where the screen shows the owner's unpainted hole instead.
painted() {
  local id colours i
  for i in $(seq 20); do
    # Wine may keep an X window of an earlier box with the same caption.
    for id in $(xwininfo -root -tree -display "$DISPLAY" | grep -F "\"$1\": (" | awk '{print $1}'); do
      colours=$(xwd -id "$id" -silent -display "$DISPLAY" 2>/dev/null |
        /usr/bin/convert xwd:- -format %k info: 2>/dev/null)
      [ "${colours:-0}" -ge 4 ] && return 0
    done
    sleep 0.2
  done
  echo "\"$1\" shows ${colours:-no} colours"
  return 1
}

# x_icon CAPTION: the icon Wine gives the window's X window (_NET_WM_ICON,
# width, height, then the pixels), from the window's WM_SETICON; a window
# with none gets the system's default. Read there because Wine answers
# WM_GETICON from another process with nothing.
x_icon() {
  local id
  id=$(xwininfo -root -tree -display "$DISPLAY" | grep -F "\"$1\": (" | awk '{print $1}' | tail -1)
  [ -n "$id" ] && xprop -display "$DISPLAY" -id "$id" -notype 32c _NET_WM_ICON 2>/dev/null |
    grep -F ' = '
}

log_text() { tr -d '\r' <"$game/patch.log" 2>/dev/null; }

echo "== Update answered No, then Close"
pack plain Strings.scr patch_ok.scr
reset_game good
start "$exe"
check "main dialog appears" ui wait "$MAIN" 20000
dump "$MAIN"
check "caption without versions" has "dialog caption=\"$MAIN\""
check "notes on the information page" has "id=1007 class=Static visible=1 enabled=1 focus=0 text=\"Notes: this update is for $OLD.\""
check "Close labelled from the string table, enabled" has 'id=2 class=Button visible=1 enabled=1'
check "Close label" has 'text="Leave"'
check "Update labelled from the string table, enabled, with the focus (Enter means Update)" has 'id=1001 class=Button visible=1 enabled=1 focus=1 text="Go"'
check "no progress page before a run" bash -c "! grep -q 'id=1002' <<<\"\$0\"" "$dumped"
check "the main dialog has a minimize box" has 'minbox=1'
check "no Show log and no Cancel before a run" bash -c 'grep -q "id=1009 class=Button visible=0" <<<"$0" && grep -q "id=1010 class=Button visible=0" <<<"$0"' "$dumped"
check "main dialog painted" painted "$MAIN"
shot "$MAIN" main-dialog
ui click "$MAIN" 1001
check "question asked" ui wait "$BOX"
dump "$BOX"
check "question text" has 'text="Bring your game up to date now?"'
check "question box owned by the dialog" has 'owned=1'
# A box has no icon of its own: Wine gives it the system's default one.
main_icon=$(x_icon "$MAIN")
check "the main dialog has the program's icon, not the default a box gets" \
  bash -c '[ -n "$0" ] && [ -n "$1" ] && [ "$0" != "$1" ]' "$main_icon" "$(x_icon "$BOX")"
check "question box painted" painted "$BOX"
ui click "$BOX" 7
check "question box closes on No" ui gone "$BOX"
dump "$MAIN"
check "after No: notes still shown" has "visible=1 enabled=1 focus=0 text=\"Notes: this update is for $OLD.\""
check "after No: Update still enabled" has 'id=1001 class=Button visible=1 enabled=1'
check "after No: Close still enabled" has 'id=2 class=Button visible=1 enabled=1'
check "after No: nothing written" test ! -e "$game/patch.log"
ui click "$MAIN" 2
finish
check "Close ends with -1 (got $rc)" test "$rc" = 255

echo "== Esc and the close box end with -1; the accept command"
start "$exe"
ui wait "$MAIN" 20000 >/dev/null
ui key "$MAIN" esc
finish
check "Esc ends with -1 (got $rc)" test "$rc" = 255
start "$exe"
ui wait "$MAIN" 20000 >/dev/null
ui sysclose "$MAIN"
finish
check "close box ends with -1 (got $rc)" test "$rc" = 255
# Enter presses Update, the default button: the question, not the end.
start "$exe"
ui wait "$MAIN" 20000 >/dev/null
ui key "$MAIN" enter
check "Enter asks the Update question" ui wait "$BOX"
ui click "$BOX" 7
ui gone "$BOX" >/dev/null
check "Enter, then No: still running" alive 0.3
# The accept command outside a run ends the dialog the ordinary way: start-up's
# exit code for a dialog that ran no update.
ui command "$MAIN" 1
finish
check "accept command before any run ends with 2 (got $rc)" test "$rc" = 2

echo "== Caption with versions"
pack versions Strings_versions.scr patch_ok.scr
start "$exe"
check "caption lists the versions with \", \"" ui wait "Test Game 1.0.0.0, 1.0.0.1 to 1.1" 20000
ui click "Test Game 1.0.0.0, 1.0.0.1 to 1.1" 2
finish

echo "== A long game name gives way to the versions in the caption"
pack long Strings_long.scr patch_ok.scr
start "$exe"
check "the caption keeps the versions" ui wait "~1.0.0.0, 1.0.0.1 to 1.1" 20000
dump "~1.0.0.0, 1.0.0.1 to 1.1"
check "the name is shortened" grep -qE '^dialog caption="Test Game: The.*\.\.\. 1\.0\.0\.0, 1\.0\.0\.1 to 1\.1"' <<<"$dumped"
ui click "~1.0.0.0, 1.0.0.1 to 1.1" 2
finish

echo "== A successful run, with a planted DLL under the name of every DLL it loads"
# The read-me is opened: the shell and what it pulls in are loaded too.
pack planted Strings_readme.scr patch_ok.scr
planted_dir=$(dirname "$exe")
check "static imports are KnownDLLs that pull in only KnownDLLs" bash -c '
  objdump=x86_64-w64-mingw32-objdump
  command -v $objdump >/dev/null || exit 1
  ! $objdump -p "$0" | sed -n "s/^[[:space:]]*DLL Name: //p" | tr A-Z a-z |
    grep -vxE "kernel32.dll|user32.dll|gdi32.dll|advapi32.dll|msvcrt.dll|api-ms-win-.*"' \
  "$BIN/upkeep.exe"
# DependentLoadFlags is the u16 at offset 78 of the 64-bit directory: 0x800.
check "a load configuration that keeps the imports of DLLs in the system directory" bash -c '
  objdump=x86_64-w64-mingw32-objdump
  entry=$($objdump -p "$0" | sed -n "s/^Entry a \([0-9a-f]*\) \([0-9a-f]*\) Load Configuration Directory/\1 \2/p")
  set -- $entry
  [ -n "${1:-}" ] && [ "$((0x$2))" -ge 80 ] || exit 1
  base=$($objdump -p "$0" | sed -n "s/^ImageBase[[:space:]]*//p")
  flags=$($objdump -s -j .rdata --start-address=$((0x$base + 0x$1 + 78)) \
    --stop-address=$((0x$base + 0x$1 + 80)) "$0" | sed -n "s/^ [0-9a-f]* \([0-9a-f]\{4\}\).*/\1/p")
  [ "$flags" = 0008 ]' "$BIN/upkeep.exe"
# Which DLLs a whole run loads, as Wine reports them: a forced run first.
reset_game good
printf 'Read me\r\n' >"$game/ReadMe.txt"
(cd "$planted_dir" && WINEDEBUG=+loaddll exec wine "$exe" -force) >"$work/loaddll.txt" 2>&1 &
app=$!
ui wait "$MAIN" 20000 >/dev/null
ui watch "$MAIN" "$BOX" 30000 >/dev/null
ui click "$BOX" 1
ui gone "$BOX" >/dev/null
ui click "$MAIN" 2
finish
wine taskkill /f /im notepad.exe >/dev/null 2>&1
planted_names=$(sed -n 's/.*Loaded L"\([^"]*\)".*/\1/p' "$work/loaddll.txt" | sed 's/.*\\//' |
  tr A-Z a-z | grep '\.dll$' | sort -u)
echo "planted:" $planted_names
check "the shell and its helpers were among the DLLs loaded" \
  bash -c 'grep -qx shell32.dll <<<"$0" && grep -qx shlwapi.dll <<<"$0"' "$planted_names"
for n in $planted_names; do cp "$BIN/planted.dll" "$planted_dir/$n"; done
# Windows takes any DLL beside the program that is not a KnownDLL: native
# first for the names the updater itself loads after start. Not for what
# Wine's own user32 imports (version.dll and the like): overriding those would
# load them before any program code runs, in every program.
export WINEDLLOVERRIDES="comctl32,uxtheme,dwmapi,winmm,propsys=n,b"
# The control: a program that loads a DLL the naive way takes the planted one.
cp "$BIN/upkeep_ui.exe" "$planted_dir/naive.exe"
(cd "$planted_dir" && wine naive.exe loadlib uxtheme.dll >/dev/null 2>&1)
check "control: a naive load takes the planted uxtheme.dll" test -e "$planted_dir/uxtheme.dll.loaded"
rm -f "$planted_dir"/*.loaded "$planted_dir/naive.exe"
reset_game good
printf 'Read me\r\n' >"$game/ReadMe.txt"
start "$exe"
ui wait "$MAIN" 20000 >/dev/null
ui click "$MAIN" 1001
ui wait "$BOX" >/dev/null
# Watching from before Yes, so the first half second of the run is seen too.
ui watch "$MAIN" "$BOX" 30000 >"$work/bars" &
watcher=$!
# Esc in the pause with both bars full, when no message box is up.
(ui waitop "$MAIN" Done 30000 && ui key "$MAIN" esc) &
presser=$!
sleep 1.5
ui click "$BOX" 6
wait "$watcher"
wait "$presser"
check "Esc while the bars are full: still running" alive 0.1
bars=$(cat "$work/bars")
# Esc, Enter, a cancel command and the close box during the run.
ui key "$MAIN" esc
ui key "$MAIN" enter
ui command "$MAIN" 2
ui command "$MAIN" 1
ui sysclose "$MAIN"
check "cancel and accept during a run leave the process alive" alive 1
echo "$bars" | head -20
# Position 0 shows as 1: the bars' range starts at 1.
check "bars empty while looking for the game" grep -q 'step=1 overall=1 operation="Looking for the game"' <<<"$bars"
check "both bars seen full" grep -q 'step=100 overall=100 operation="Done"' <<<"$bars"
check "storing text with the upper bar empty" grep -q 'step=1 overall=100 operation="Finishing"' <<<"$bars"
check "bars seen moving (at least 3 states)" test "$(grep -c '^bars' <<<"$bars")" -ge 3
check "the lower bar only moves forward" awk -F'overall=' '/^bars/ { split($2, v, " "); if (v[1] + 0 < last) bad = 1; last = v[1] + 0 } END { exit bad }' <<<"$bars"
check "every step names what it does" bash -c '! grep -q "operation=\"\"" <<<"$0"' "$bars"
check "a long path keeps its file name, its middle shortened" grep -qE 'file="C:\\\\Games\\\\.*\.\.\..*\\\\more\.txt"' <<<"$bars"
check "lower bar seen part way" grep -qE 'overall=([2-9]|[1-9][0-9]) ' <<<"$bars"
check "file label shows the file being created" grep -qF 'file="C:\\Games\\TestGame\\new.bin"' <<<"$bars"
dump "$MAIN"
check "progress page visible during the final box" has 'id=1003 class=msctls_progress32 visible=1'
check "progress bar range 1..100" has 'range=1..100'
check "both bars keep their plain border" test "$(grep -c 'msctls_progress32 .* border=1' <<<"$dumped")" = 2
check "Update gives its place to Cancel during the run" has 'id=1001 class=Button visible=0 enabled=0'
check "Cancel offered during the run" has 'id=1010 class=Button visible=1 enabled=1'
check "Close disabled during the run" has 'id=2 class=Button visible=1 enabled=0'
dump "$BOX"
check "success box text" has 'text="The update worked."'
ui click "$BOX" 1
ui gone "$BOX" >/dev/null
sleep 0.3
dump "$MAIN"
check "success: the focus on Close" has 'id=2 class=Button visible=1 enabled=1 focus=1'
check "success text on the information page" has "text=\"$OLD is now up to date.\""
check "success: Update disabled" has 'id=1001 class=Button visible=1 enabled=0'
check "success: Close enabled" has 'id=2 class=Button visible=1 enabled=1'
check "success: progress page gone" bash -c "! grep -q 'id=1002' <<<\"\$0\"" "$dumped"
shot "$MAIN" outcome-success
check "log ends with the final state" bash -c 'tail -n 3 <<<"$0" | tr "\n" "|" | grep -qF "|Final update state:|The update worked.|"' "$(log_text)"
check "files created" cmp -s "$game/new.bin" "$src/new.bin"
ui click "$MAIN" 2
finish
wine taskkill /f /im notepad.exe >/dev/null 2>&1
check "no planted DLL was loaded" bash -c "! ls '$planted_dir'/*.loaded >/dev/null 2>&1"
ls "$planted_dir"/*.loaded 2>/dev/null
check "Close after success ends with -1 (got $rc)" test "$rc" = 255
unset WINEDLLOVERRIDES

echo "== A failed run"
pack failed Strings.scr patch_fail.scr
reset_game good
start "$exe"
ui wait "$MAIN" 20000 >/dev/null
ui click "$MAIN" 1001
ui wait "$BOX" >/dev/null
ui click "$BOX" 6
ui gone "$BOX" >/dev/null
ui key "$MAIN" esc
ui command "$MAIN" 2
ui watch "$MAIN" "$BOX" 30000 >/dev/null
check "Esc early in the run leaves it running" alive 0.1
dump "$BOX"
check "failure box text" has 'text="The update failed."'
check "failure box painted" painted "$BOX"
ui click "$BOX" 1
ui gone "$BOX" >/dev/null
sleep 0.3
dump "$MAIN"
check "failure text names both programs" has "text=\"$OLD could not be updated by Test Game.\""
check "failure: Update disabled" has 'id=1001 class=Button visible=1 enabled=0'
check "failure: Close enabled" has 'id=2 class=Button visible=1 enabled=1'
check "failure: log ends with the final state" grep -qF 'The update failed.' <<<"$(log_text)"
check "failure: Show log offered" has 'id=1009 class=Button visible=1 enabled=1'
shot "$MAIN" outcome-failed
ui click "$MAIN" 1009
check "Show log opens patch.log" ui waitwin "~patch.log" 20000
wine taskkill /f /im notepad.exe >/dev/null 2>&1
ui key "$MAIN" esc
finish
check "Esc after failure ends with -1 (got $rc)" test "$rc" = 255

echo "== The game is running: Cancel is an interruption"
pack running Strings.scr patch_ok.scr
reset_game good
ui hold "$(winpath "$game/game.exe")" 60000 >"$work/held" &
holder=$!
for _ in $(seq 100); do grep -q held "$work/held" 2>/dev/null && break; sleep 0.1; done
start "$exe" -force
ui wait "$MAIN" 20000 >/dev/null
check "the running game is asked about" ui wait "$BOX" 20000
dump "$BOX"
check "it offers Retry" has 'id=4 class=Button'
ui click "$BOX" 2
ui gone "$BOX" >/dev/null
check "then the last word" ui wait "$BOX" 20000
dump "$BOX"
check "the last word says the game still runs" has 'still running, so the update did not start'
check "and offers no Retry" bash -c '! grep -q "id=4 class=Button" <<<"$0"' "$dumped"
ui click "$BOX" 1
ui gone "$BOX" >/dev/null
sleep 0.3
dump "$MAIN"
check "running: the interrupted text" has "text=\"$OLD was left as it was; you may try again.\""
check "running: Update enabled again" has 'id=1001 class=Button visible=1 enabled=1'
kill "$holder" 2>/dev/null
wait "$holder" 2>/dev/null
ui click "$MAIN" 2
finish

echo "== Cancel while the update runs"
pack cancel Strings.scr patch_ok.scr
reset_game good
start "$exe"
ui wait "$MAIN" 20000 >/dev/null
ui click "$MAIN" 1001
ui wait "$BOX" >/dev/null
ui click "$BOX" 6
ui gone "$BOX" >/dev/null
ui click "$MAIN" 1010
check "Cancel asks first" ui wait "$BOX" 20000
dump "$BOX"
check "the question says what stopping does" has 'Stop the update?'
ui click "$BOX" 6
ui gone "$BOX" >/dev/null
check "the run ends" ui wait "$BOX" 30000
dump "$BOX"
box_text=$dumped
ui click "$BOX" 1
ui gone "$BOX" >/dev/null
sleep 0.3
dump "$MAIN"
# It stops between two steps: before the first change (nothing changed, the
# update may run again), or after it (not complete; running it again
# finishes it).
if [ -e "$game/new.bin" ]; then
  check "stopped after a change: not complete" grep -qF 'not complete' <<<"$box_text"
  check "stopped after a change: the journal stays" test -e "$game/upkeep.journal"
else
  check "stopped before a change: may run again" has 'id=1001 class=Button visible=1 enabled=1'
fi
check "stopped: the rest not done" test ! -e "$game/$long_dir/more.txt"
check "stopped: the log says so" grep -qF 'Update stopped on request.' <<<"$(log_text)"
check "Cancel gone after the run" has 'id=1010 class=Button visible=0'
ui click "$MAIN" 2
finish

echo "== An interrupted run, then a second run"
pack interrupted Strings.scr patch_ok.scr
reset_game old
start "$exe"
ui wait "$MAIN" 20000 >/dev/null
ui click "$MAIN" 1001
ui wait "$BOX" >/dev/null
ui click "$BOX" 6
ui watch "$MAIN" "$BOX" 30000 >/dev/null
dump "$BOX"
check "checksum box text" has 'text="A game file is not the expected one."'
ui click "$BOX" 1
ui gone "$BOX" >/dev/null
sleep 0.3
dump "$MAIN"
check "interrupted text" has "text=\"$OLD was left as it was; you may try again.\""
check "interrupted: Update enabled, with the focus" has 'id=1001 class=Button visible=1 enabled=1 focus=1'
check "interrupted: Close enabled" has 'id=2 class=Button visible=1 enabled=1'
check "interrupted: nothing created" test ! -e "$game/new.bin"
cp "$src/data_good.txt" "$game/data.txt"
ui click "$MAIN" 1001
check "the second run asks again" ui wait "$BOX"
dump "$BOX"
check "second question text" has 'text="Bring your game up to date now?"'
ui click "$BOX" 6
ui watch "$MAIN" "$BOX" 30000 >/dev/null
dump "$BOX"
check "second run succeeds" has 'text="The update worked."'
ui click "$BOX" 1
ui gone "$BOX" >/dev/null
check "log of the second run only" bash -c '! grep -q "not the expected" <<<"$0" && grep -q "The update worked." <<<"$0"' "$(log_text)"
ui click "$MAIN" 2
finish
check "Close ends with -1 (got $rc)" test "$rc" = 255

echo "== Terms: shown, declined, closed with Esc, accepted"
pack terms Strings.scr patch_ok.scr terms
reset_game good
start "$exe"
check "terms dialog appears" ui wait "$TERMS" 20000
dump "$TERMS"
check "accept label" has 'id=1 class=Button visible=1 enabled=1 focus=0 text="I agree"'
check "decline label" has 'id=2 class=Button visible=1 enabled=1 focus=0 text="No thanks"'
check "terms text whole and read-only, with the focus" has 'id=1008 class=Edit visible=1 enabled=1 focus=1'
check "terms text whole and read-only" has 'readonly=1 text="Terms of use.\r\nLine two.\r\n'
check "terms text unselected, opened at its top" has 'sel=0..0 top=0 '
check "the licence has the program's icon, as the main dialog does" \
  bash -c '[ -n "$0" ] && [ "$0" = "$1" ]' "$main_icon" "$(x_icon "$TERMS")"
shot "$TERMS" licence-dialog
ui key "$TERMS" tab
ui key "$TERMS" tab
ui key "$TERMS" tab
sleep 0.3
dump "$TERMS"
check "tabbing back into the text leaves it unselected, where it was" has 'focus=1 sel=0..0 top=0 '
ui click "$TERMS" 2
finish
check "declined: exit code 0 (got $rc)" test "$rc" = 0
check "declined: no main dialog, nothing written" test ! -e "$game/patch.log"
start "$exe"
ui wait "$TERMS" 20000 >/dev/null
ui key "$TERMS" esc
finish
check "Esc on the terms: exit code 0 (got $rc)" test "$rc" = 0
start "$exe"
ui wait "$TERMS" 20000 >/dev/null
ui sysclose "$TERMS"
finish
check "close box on the terms: exit code 0 (got $rc)" test "$rc" = 0
start "$exe"
ui wait "$TERMS" 20000 >/dev/null
ui click "$TERMS" 1
check "accepted: the main dialog follows" ui wait "$MAIN" 20000
first=$app

echo "== A second instance is refused"
start "$exe"
check "the second instance shows the terms first" ui wait "$TERMS" 20000
ui click "$TERMS" 1
check "then the refusal" ui wait "$BOX" 20000
dump "$BOX"
check "refusal text" has 'text="Test Game is already being updated."'
check "refusal box not owned by the dialog" has 'owned=0'
check "refusal box painted" painted "$BOX"
ui click "$BOX" 1
finish
check "refused instance exits with 0 (got $rc)" test "$rc" = 0
# Unattended, the refusal is the interrupted code and shows nothing.
start "$exe" -silent
finish
check "a silent second instance: 1, no box (got $rc)" test "$rc" = 1
app=$first
check "the first instance is unaffected" ui wait "$MAIN"
ui click "$MAIN" 2
finish
check "first instance Close: -1 (got $rc)" test "$rc" = 255

echo "== -force: no terms, no question, the progress page first"
reset_game good
start "$exe" -force
check "forced: main dialog appears" ui wait "$MAIN" 20000
dump "$MAIN"
check "forced: the progress page is shown first" has 'id=1002 class=msctls_progress32 visible=1'
check "forced: notes hidden" has 'id=1007 class=Static visible=0'
check "forced: no terms dialog" bash -c "! wine '$BIN/upkeep_ui.exe' wait '$TERMS' 300 >/dev/null 2>&1"
ui watch "$MAIN" "$BOX" 30000 >/dev/null
dump "$BOX"
check "forced: the first box is the outcome, no question" has 'text="The update worked."'
check "success box painted" painted "$BOX"
ui click "$BOX" 1
ui gone "$BOX" >/dev/null
sleep 0.3
dump "$MAIN"
check "forced: success state" has "text=\"$OLD is now up to date.\""
ui click "$MAIN" 2
finish
check "forced: Close ends with -1 (got $rc)" test "$rc" = 255

echo "== -silent, -log, -help"
pack silent Strings_readme.scr patch_ok.scr terms
reset_game good
printf 'Read me\r\n' >"$game/ReadMe.txt"
ui nowindow 8000 >"$work/nowindow" &
watcher=$!
start "$exe" -silent -log "$(winpath "$work/silent.log")"
finish
check "silent success: exit code 0 (got $rc)" test "$rc" = 0
wait "$watcher"
check "silent: no licence, dialog, box or read-me $(cat "$work/nowindow")" test "$?" = 0
check "silent: files created" cmp -s "$game/new.bin" "$src/new.bin"
check "silent: the copy of the log is patch.log" cmp -s "$work/silent.log" "$game/patch.log"
reset_game old
start "$exe" -silent
finish
check "silent, a source file not as expected: 1 (got $rc)" test "$rc" = 1
check "silent, interrupted: nothing created" test ! -e "$game/new.bin"
pack silent_fail Strings.scr patch_fail.scr
reset_game good
start "$exe" -silent
finish
check "silent failure: 3 (got $rc)" test "$rc" = 3
start "$exe" -log "$(winpath "$work/no such folder/x.log")"
check "a log that cannot be made is said" ui wait "$BOX"
dump "$BOX"
check "the box names the file" has 'cannot be written'
ui click "$BOX" 1
finish
check "a log that cannot be made: 3 (got $rc)" test "$rc" = 3
reset_game good
start "$exe" '-?'
check "-? shows the options" ui wait "$BOX"
dump "$BOX"
check "the options listed" bash -c 'grep -qF -- "-silent" <<<"$0" && grep -qF -- "-log FILE" <<<"$0"' "$dumped"
ui click "$BOX" 1
finish
check "-? ends with 0 (got $rc)" test "$rc" = 0
check "-? changes nothing" test ! -e "$game/patch.log"

if [ -n "${SHOTS:-}" ]; then
  echo "== Progress page screenshot"
  reset_game good
  pack shots Strings.scr patch_ok.scr
  start "$exe" -force
  ui wait "$MAIN" 20000 >/dev/null
  # The one-second pause with both bars full after the script has run.
  ui waitop "$MAIN" Done 20000
  shot "$MAIN" progress-page now
  ui watch "$MAIN" "$BOX" 30000 >/dev/null
  ui click "$BOX" 1
  ui gone "$BOX" >/dev/null
  ui click "$MAIN" 2
  finish
fi

echo
echo "dialogs: $((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
