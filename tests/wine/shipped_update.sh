#!/usr/bin/env bash
# The Windows updater as a publisher ships it, under Wine and Xvfb: made with
# upkeep-pack from the real upkeep.exe, branded with the publisher's names and
# icon, signed with osslsigncode, run against an installed game; and damaged
# or missing packages. Env: BIN (Windows bin folder), LINUX_BIN, SRC.
set -uo pipefail
: "${BIN:?}" "${LINUX_BIN:?}" "${SRC:?}"
for f in upkeep.exe upkeep_ui.exe upkeep_tests.exe; do
  [ -f "$BIN/$f" ] || { echo "missing $BIN/$f"; exit 1; }
done

work=$(mktemp -d /tmp/upkeep-shipped.XXXXXX)
source "$SRC/tests/wine/lib/desktop.bash"
start_desktop 141 190

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
start() {  # start EXE [ARGS]: $app is its pid
  (cd "$(dirname "$1")" && exec wine "$@") >/dev/null 2>&1 &
  app=$!
}
finish() {  # waits for the updater; $rc is its exit code
  local waited=0
  while kill -0 "$app" 2>/dev/null && [ $waited -lt 300 ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  if kill -0 "$app" 2>/dev/null; then
    kill -9 "$app" 2>/dev/null
    wait "$app" 2>/dev/null
    rc=timeout
    return
  fi
  wait "$app" 2>/dev/null
  rc=$?
}

last=$(x86_64-w64-mingw32-objdump -h "$BIN/upkeep.exe" | awk '$1 ~ /^[0-9]+$/ { s = $2 } END { print s }')
[ "$last" = .rsrc ] || fail "the stub's last section is $last, not .rsrc"

# The sample game of the whole-update tests, installed in the prefix.
WORK=$work
source "$SRC/tests/e2e/lib/game.bash"
make_game_trees "$work/trees" || { echo "cannot build the sample game"; exit 1; }
game="$WINEPREFIX/drive_c/Games/Sample Game"
install() {
  rm -rf "$game"
  mkdir -p "$game"
  cp -r "$work/trees/old/." "$game/"
}
wine reg add 'HKLM\Software\Sample Studio\Sample Game' /v InstallPath /t REG_SZ \
  /d 'C:\Games\Sample Game' /f >/dev/null 2>&1 || fail "registry entry"
BIN=$LINUX_BIN strings_with "$work/Strings.scr" 'REG_KEY=Software\Sample Studio\Sample Game' \
  'REG_DESTINATION=InstallPath' 'PROGRAM_NAME=Sample Game' 'PROGRAM_NAME_OLD=Sample Game' \
  'SRC_EXE=game.exe' 'GAME_VERSION=1.0.0.0' 'PATCH_VERSION=1.0.1' 'LANG_VERSION=en' \
  'SHOW_README=0' 'IDS_TITLE=%1 Updater' 'UPDATE_TITLE=Update of %s' || fail "string table"
convert -size 48x48 xc:'#c03020' -define icon:auto-resize=16,32,48 "$work/brand.ico" ||
  fail "icon"

# A branded update, then signed.
dist=$work/dist
mkdir -p "$dist"
unsigned=$dist/SampleGame-1.0.1.exe
"$LINUX_BIN/upkeep-pack" make --old "$work/trees/old" --new "$work/trees/new" \
  --strings "$work/Strings.scr" --stub "$BIN/upkeep.exe" --company "Rivet Works" \
  --copyright "(c) 2026 Rivet Works" --icon "$work/brand.ico" -o "$unsigned" \
  >"$work/make.txt" 2>&1 || fail "make: $(cat "$work/make.txt")"
grep -q 'left as they are' "$work/make.txt" && fail "the stub was not branded: $(cat "$work/make.txt")"
osslsigncode verify -in "$unsigned" 2>&1 | grep -q 'invalid PE checksum' && fail "PE checksum"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=Rivet Works" -addext "extendedKeyUsage=codeSigning" >/dev/null 2>&1 ||
  fail "certificate"
signed=$work/signed/SampleGame-1.0.1.exe
mkdir -p "$(dirname "$signed")"
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "Sample Game 1.0.1" \
  -in "$unsigned" -out "$signed" >/dev/null 2>&1 || fail "sign"
osslsigncode verify -CAfile "$work/cert.pem" -in "$signed" >/dev/null 2>&1 || fail "verify"

echo "== version resource: the system's answers and the portable reader's"
for exe in "$unsigned" "$signed"; do
  # Wine's Z: drive is the root: the path needs no winepath (one more Wine
  # process that may fail on a loaded machine and leave the path empty).
  win_exe="Z:${exe//\//\\}"
  UPKEEP_BRANDED_UPDATER=$win_exe wine "$BIN/upkeep_tests.exe" \
    --gtest_filter='BrandingCross.*' 2>&1 | tr -d '\r' >"$work/cross.txt"
  grep -q '^\[  PASSED  \] 1 test' "$work/cross.txt" && ! grep -q SKIPPED "$work/cross.txt" ||
    fail "Wine version cross-check of $win_exe ($(stat -c %s "$exe") bytes):
$(grep -v '^\[' "$work/cross.txt" | head -40)"
  UPKEEP_BRANDED_UPDATER=$exe "$LINUX_BIN/upkeep_tests" --gtest_filter='BrandingCross.*' \
    >"$work/cross.txt" 2>&1
  grep -q '^\[  PASSED  \] 1 test' "$work/cross.txt" && ! grep -q SKIPPED "$work/cross.txt" ||
    fail "portable version check of $exe: $(grep -v '^\[' "$work/cross.txt" | head -40)"
done

# forced_run EXE: a -force run whose final box is confirmed and whose dialog
# is closed; leaves the box's text in $box.
forced_run() {
  start "$1" -force
  ui wait "Sample Game Updater" 60000 >/dev/null || fail "$1: no final box"
  box=$(ui dump "Sample Game Updater")
  ui click "Sample Game Updater" 1 >/dev/null
  ui gone "Sample Game Updater" >/dev/null
  # Close is enabled once the dialog has taken the outcome in.
  local i
  for i in $(seq 100); do
    ui click "Update of Sample Game" 2 >/dev/null && break
    sleep 0.2
  done
  finish
  [ "$rc" = 255 ] || fail "$1: Close ended with $rc"
}

echo "== the signed updater updates the game as the unsigned one does"
install
forced_run "$unsigned"
grep -q 'successfully' <<<"$box" || fail "unsigned run: $box"
cp "$game/patch.log" "$work/unsigned.log" 2>/dev/null || fail "unsigned run wrote no log"
install
forced_run "$signed"
grep -q 'successfully' <<<"$box" || fail "signed run: $box"
cmp -s "$game/patch.log" "$work/unsigned.log" || fail "the signed run's patch.log differs"
cmp -s "$game/game.exe" "$work/trees/new/game.exe" || fail "the signed run did not update the game"

# damaged_run EXE NAME: the built-in message, exit code 3, the game untouched.
damaged_run() {
  install
  start "$1" -force
  if ui wait "$2" 30000 >/dev/null; then
    box=$(ui dump "$2")
    grep -qF 'This update file is damaged or incomplete' <<<"$box" || fail "$2: box says $box"
    ui click "$2" 1 >/dev/null
  else
    fail "$2: no message box"
  fi
  finish
  [ "$rc" = 3 ] || fail "$2: exit code $rc, expected 3"
  [ ! -e "$game/patch.log" ] || fail "$2: a log was written"
  cmp -s "$game/game.exe" "$work/trees/old/game.exe" || fail "$2: the game was changed"
}

echo "== data appended after the signature is refused"
mkdir -p "$work/appended"
{ cat "$signed"; cat "$unsigned"; } >"$work/appended/appended.exe"
damaged_run "$work/appended/appended.exe" appended.exe

echo "== a truncated download, and the stub alone beside a planted update"
mkdir -p "$work/truncated" "$work/downloads"
head -c -4096 "$signed" >"$work/truncated/truncated.exe"
damaged_run "$work/truncated/truncated.exe" truncated.exe
"$LINUX_BIN/upkeep-pack" extract "$unsigned" "$work/downloads" >/dev/null || fail "extract"
cp "$work/Strings.scr" "$work/downloads/Strings.scr"
cp "$BIN/upkeep.exe" "$work/downloads/update.exe"
damaged_run "$work/downloads/update.exe" update.exe

echo
if [ "$failures" -ne 0 ]; then
  echo "shipped update: $failures check(s) failed"
  exit 1
fi
echo "shipped update: all checks passed"
