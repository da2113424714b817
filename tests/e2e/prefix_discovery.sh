#!/usr/bin/env bash
# Finding the game's prefix without WINEPREFIX, in a home laid out as players
# have it: a Steam root (reached through ~/.steam/steam) with a second library,
# Proton prefixes in both, flatpak Steam with a library of its own, a Lutris
# prefix. One match is used and named, several are listed (refused with
# -force, chosen otherwise), none names where it looked; --prefix takes one
# folder, whatever its name holds.
source "$SRC/tests/e2e/lib/e2e.bash"

FAKE=$WORK/home
steam=$FAKE/.local/share/Steam
lib2=$WORK/mnt/games/SteamLibrary
flat=$FAKE/.var/app/com.valvesoftware.Steam
mkdir -p "$FAKE/.steam" "$steam/steamapps/compatdata/1002" "$lib2" "$flat/.local/share/Steam/steamapps"
ln -s ../.local/share/Steam "$FAKE/.steam/steam"
# As Steam writes it; the first library is the root itself.
cat >"$steam/steamapps/libraryfolders.vdf" <<VDF
"libraryfolders"
{
	"0"
	{
		"path"		"$steam"
		"label"		""
		"contentid"		"4911475409836491233"
		"apps"
		{
			"1001"		"2048"
		}
	}
	"1"
	{
		"path"		"$lib2"
		"label"		"Games disk"
		"apps"
		{
			"2001"		"9000"
			"2002"		"100"
		}
	}
}
VDF
# Flatpak Steam's older file names its library as seen inside its sandbox,
# where the home is its own folder.
cat >"$flat/.local/share/Steam/steamapps/libraryfolders.vdf" <<VDF
"LibraryFolders"
{
	// written by an older client
	"TimeNextStatsReport"		"1700000000"
	"ContentStatsID"		"-1"
	"1"		"$FAKE/FlatLib"
}
VDF

# other_prefix DIR: a prefix where some other game is installed.
other_prefix() {
  make_prefix "$1"
  write_system_reg "$1" 'Software\Other Maker\Other Game' InstallPath 'C:\Games\Other'
}
# game_prefix DIR: a prefix with the sample game 1.0 installed; GAME is its folder.
game_prefix() {
  make_prefix "$1"
  GAME=$1/drive_c/Games/Sample\ Game
  rm -rf "$GAME"
  mkdir -p "$GAME"
  cp -r "$WORK/trees/old/." "$GAME/"
  write_system_reg "$1" "$GAME_KEY" InstallPath "$GAME_DIR_WIN"
}
other_prefix "$steam/steamapps/compatdata/1001/pfx"
other_prefix "$lib2/steamapps/compatdata/2002/pfx"
other_prefix "$flat/.local/share/Steam/steamapps/compatdata/3002/pfx"
other_prefix "$flat/FlatLib/steamapps/compatdata/3001/pfx"
other_prefix "$FAKE/Games/other-game"
proton=$lib2/steamapps/compatdata/2001/pfx
game_prefix "$proton"
proton_game=$GAME

make_updater "$WORK/update"
# run_home ARGS... < input: the updater in the fake home, no WINEPREFIX.
run_home() {
  OUT=$WORK/out.txt
  (unset WINEPREFIX; HOME=$FAKE DISPLAY= WAYLAND_DISPLAY= timeout 60 "$WORK/update" "$@") \
    >"$OUT" 2>&1
  RC=$?
}
# expect_text TEXT: OUT holds TEXT, line breaks and all.
expect_text() {
  [[ "$(cat "$OUT")" == *"$1"* ]] || fail "output lacks: $1"
}
expect_first_lines() {  # PREFIX HOW
  local c
  c=$(realpath "$1/drive_c")
  [ "$(head -n 2 "$OUT")" = "Wine prefix: $1 ($2)
C: drive: $c" ] || fail "first lines: $(head -n 2 "$OUT")"
}
# The same after the line that says what is searched, which comes first.
expect_searched_then() {  # PREFIX HOW
  local c
  c=$(realpath "$1/drive_c")
  head -n 1 "$OUT" | grep -q '^Looking for Sample Game 1.0.1 in .* and in the prefixes of Steam' ||
    fail "the search is not said first: $(head -n 1 "$OUT")"
  [ "$(sed -n 2,3p "$OUT")" = "Wine prefix: $1 ($2)
C: drive: $c" ] || fail "lines after the search: $(sed -n 2,3p "$OUT")"
}

# One prefix holds the game: it is used, and a game running there is seen.
hold_game
run_home -force </dev/null
release_game
expect_rc 1 "running game in the Proton prefix"
expect_searched_then "$proton" "the game's prefix, found in Steam library"
expect_out "error: Sample Game is running."
expect_old_game
rm "$GAME/patch.log"

# The game is in a Lutris prefix too: -force refuses and lists both.
game_prefix "$FAKE/Games/sample-game"
lutris_game=$GAME
run_home -force </dev/null
expect_rc 2 "several prefixes, forced"
expect_text "The game is installed in several Wine prefixes:
  1. $proton (Steam library)
  2. $FAKE/Games/sample-game (Lutris)"
expect_out "Name one with --prefix DIR."
expect_no_out "Wine prefix:"
expect_absent "$lutris_game/patch.log"
expect_absent "$proton_game/patch.log"

# Asked, the player picks the Lutris one, after an answer it does not take;
# each prefix is offered once, as a choice.
ANSWERS=(7 2 1 y "")
OUT=$WORK/out.txt
slow_lines "${ANSWERS[@]}" |
  (unset WINEPREFIX; HOME=$FAKE DISPLAY= WAYLAND_DISPLAY= timeout 60 \
    script -qefc "exec $(printf '%q ' "$WORK/update")" /dev/null) >"$OUT" 2>&1
RC=${PIPESTATUS[1]}
tr -d '\r' <"$OUT" >"$OUT.plain" && mv "$OUT.plain" "$OUT"
expect_rc 255 "chosen prefix, closed after the run"
expect_out "Wine prefix: $FAKE/Games/sample-game (chosen, Lutris)"
[ "$(grep -c "$FAKE/Games/sample-game" "$OUT")" -ge 1 ] &&
  [ "$(grep -c "sample-game (Lutris)" "$OUT")" -eq 1 ] || fail "the Lutris prefix is not offered once"
expect_out "  [1] $proton (Steam library)"
expect_out "Type a number from 1 to 3 and press Enter."
expect_new_game
GAME=$proton_game
expect_old_game

# Back to one match: a forced run updates the Proton copy.
rm "$FAKE/Games/sample-game/system.reg"
run_home -force </dev/null
expect_rc 0 "one prefix"
expect_searched_then "$proton" "the game's prefix, found in Steam library"
expect_out "$SUCCESS_TEXT"
expect_new_game

# --prefix takes the folder after it as a whole: "-force" in its name does
# not force the run, so without a terminal it asks for one.
named="$WORK/saves -force copy"
game_prefix "$named"
run_home --prefix "$named" </dev/null
expect_rc 2 "--prefix with -force in its folder"
expect_out "none is there to answer them"
expect_old_game
run_home --prefix "$named" -force </dev/null
expect_rc 0 "--prefix, forced"
expect_first_lines "$named" "given with --prefix"
run_home -force --prefix </dev/null
expect_rc 2 "--prefix without a folder"
expect_out "--prefix needs the folder of a Wine prefix."

# The usual mistakes with --prefix are read as what was meant: a compatdata
# folder without /pfx, the game's folder below steamapps/common (its app
# manifest names the app), a ~ the shell left alone, a prefix's drive_c.
mkdir -p "$lib2/steamapps/common/Sample Game"
cat >"$lib2/steamapps/appmanifest_2001.acf" <<ACF
"AppState"
{
	"appid"		"2001"
	"name"		"Sample Game"
	"installdir"		"Sample Game"
}
ACF
for given in "$lib2/steamapps/compatdata/2001" "$lib2/steamapps/common/Sample Game" \
  "$proton/drive_c"; do
  run_home --prefix "$given" -force </dev/null
  expect_rc 0 "--prefix $given"
  expect_out "Wine prefix: $proton (given with --prefix)"
  expect_out "$given: "
  expect_new_game
  GAME=$proton_game
  cp -r "$WORK/trees/old/." "$GAME/"
done
ln -s "$WORK/mnt" "$FAKE/mnt"
run_home "--prefix=~/mnt/games/SteamLibrary/steamapps/compatdata/2001/pfx" -force </dev/null
expect_rc 0 "--prefix=~/..."
expect_out "Wine prefix: $FAKE/mnt/games/SteamLibrary/steamapps/compatdata/2001/pfx (given with --prefix, ~ read as your home)"
cp -r "$WORK/trees/old/." "$GAME/"

# A WINEPREFIX that names an empty prefix does not stop the search.
mkdir -p "$WORK/empty-prefix"
OUT=$WORK/out.txt
(HOME=$FAKE WINEPREFIX=$WORK/empty-prefix DISPLAY= timeout 60 "$WORK/update" -force) </dev/null \
  >"$OUT" 2>&1
RC=$?
expect_rc 0 "WINEPREFIX naming an empty prefix"
expect_out "Wine prefix: $proton (the game's prefix, found in Steam library)"
expect_out "WINEPREFIX names $WORK/empty-prefix, which does not hold the game."
cp -r "$WORK/trees/old/." "$GAME/"

# Heroic's, winetricks' and a Lutris game's "prefix" folder are searched too;
# a named pipe in place of a libraryfolders.vdf is not waited for.
other_prefix "$proton"
for p in "$FAKE/Games/Heroic/Prefixes/default/Sample" "$FAKE/.local/share/wineprefixes/sample" \
  "$FAKE/Games/sample-lutris/prefix"; do
  game_prefix "$p"
  run_home -force </dev/null
  expect_rc 0 "found in $p"
  expect_out "Wine prefix: $p (the game's prefix, found in"
  other_prefix "$p"
done
mkfifo "$flat/.local/share/Steam/steamapps/libraryfolders.vdf.pipe"
mv "$flat/.local/share/Steam/steamapps/libraryfolders.vdf.pipe" "$steam/steamapps/libraryfolders.vdf"
run_home -force </dev/null
[ "$RC" -ne 124 ] || fail "a named pipe held the search"

# No prefix holds the game: the places looked at, how to name the prefix,
# then not installed.
run_home -force </dev/null
expect_rc 3 "no prefix holds the game"
expect_text "The game was not found in $FAKE/.wine nor in the prefixes of:
  Steam library $FAKE/.steam/steam (1 prefix)
  Steam library $flat/.local/share/Steam (1 prefix)
  Steam library $flat/FlatLib (1 prefix)
  Lutris $FAKE/Games (2 prefixes)
  Heroic $FAKE/Games/Heroic/Prefixes (0 prefixes)
  Heroic $FAKE/Games/Heroic/Prefixes/default (1 prefix)
  winetricks $FAKE/.local/share/wineprefixes (1 prefix)"
expect_text "Wine prefix: $FAKE/.wine (the default prefix)
C: drive: none, $FAKE/.wine/dosdevices/c: is missing
The game was not found"
expect_out "If the game is installed in another Wine prefix, name it:"
expect_out "--prefix FOLDER"
expect_out "steamapps/compatdata/<app id>/pfx"
expect_out "error: Sample Game is not installed on this computer."

finish
