#!/usr/bin/env bash
# upkeep-pack make against what the updater will see: versions read from the
# trees' programs (a ProductVersion of 7 characters is no version, "1.2.10.0"
# is version "1.2.10." of language "0"), moved files renamed and patched, and
# names Windows or the code page cannot hold refused before any work.
source "$SRC/tests/e2e/lib/e2e.bash"

T=$WORK/t
PACK=$BIN/upkeep-pack
mkdir -p "$T/short" "$T/v0/Data/Maps" "$T/v0/Music" "$T/v1/Maps" "$T/v1/Audio"
make_game_exe "$T/short/game.exe" "1.0.0.0" &&
  make_game_exe "$T/v0/game.exe" "1.2.10.0" &&
  make_game_exe "$T/v1/game.exe" "1.2.11.0" || {
  echo "cannot build the sample game" >&2
  exit 1
}
deterministic_bytes "$T/v0/Data/Maps/level1.map" 200000 31
deterministic_bytes "$T/v0/Music/theme.ogg" 50000 32
printf 'old\r\n' >"$T/v0/ReadMe.txt"
cp -r "$T/v0/." "$T/short/"
rm "$T/short/game.exe" && make_game_exe "$T/short/game.exe" "1.0.0.0"
{ head -c 1000 "$T/v0/Data/Maps/level1.map"; printf 'CHANGED'; tail -c +1001 "$T/v0/Data/Maps/level1.map"; } \
  >"$T/v1/Maps/level1.map"
cp "$T/v0/Music/theme.ogg" "$T/v1/Audio/theme-main.ogg"
printf 'new\r\n' >"$T/v1/ReadMe.txt"
printf 'menu' >"$T/v1/Café.txt"
mkdir -p "$T/v1/Data/Maps"  # the folder stays, emptied

common=("REG_KEY=$GAME_KEY" 'REG_DESTINATION=InstallPath' 'SHOW_README=0' 'PROGRAM_NAME=Sample Game')

# A ProductVersion of 7 characters: the updater sees no version at all.
strings_with "$WORK/short.scr" "${common[@]}" 'SRC_EXE=game.exe' 'GAME_VERSION=1.0.0.0' \
  'LANG_VERSION=' || exit 1
"$PACK" make --old "$T/short" --new "$T/v1" --strings "$WORK/short.scr" -o "$WORK/u1" \
  >"$WORK/make.log" 2>&1
[ $? -eq 1 ] || fail "make accepted a GAME_VERSION no installation can have"
grep -q 'ProductVersion "1.0.0.0": the updater sees no version' "$WORK/make.log" ||
  fail "make does not say what the updater sees"
grep -q 'GAME_VERSION "1.0.0.0" does not list the version ""' "$WORK/make.log" ||
  fail "make does not say why it refuses"
[ -e "$WORK/u1" ] && fail "a refused make wrote its output"
"$PACK" make --old "$T/short" --new "$T/v1" --strings "$WORK/short.scr" -o "$WORK/u1" \
  --allow-any-version >/dev/null 2>&1 || fail "--allow-any-version"
"$PACK" apply "$WORK/u1" --dir "$T/short" --check-version >"$WORK/check.txt" 2>&1
[ $? -eq 1 ] || fail "apply --check-version passed a game the updater refuses"
grep -q '^refused: GAME_VERSION' "$WORK/check.txt" || fail "apply --check-version: no reason"

# The table taken from the trees matches them: the installed version from the
# old one, the version it brings from the new one; and a Version section that
# names the full ProductVersion's prefix wrongly is refused.
"$PACK" init-strings --from "$T/v0" --to "$T/v1" -o "$WORK/init.scr" 2>"$WORK/init.log" ||
  fail "init-strings --from --to"
grep -q 'String("GAME_VERSION", "1.2.10.")' "$WORK/init.scr" || fail "init-strings: GAME_VERSION"
grep -q 'String("LANG_VERSION", "0")' "$WORK/init.scr" || fail "init-strings: LANG_VERSION"
grep -q 'String("SRC_EXE", "game.exe")' "$WORK/init.scr" || fail "init-strings: SRC_EXE"
grep -q 'String("PROGRAM_NAME", "Sample Game")' "$WORK/init.scr" || fail "init-strings: PROGRAM_NAME"
grep -q 'String("PATCH_VERSION", "1.2.11.")' "$WORK/init.scr" || fail "init-strings: PATCH_VERSION"
# A chain lists every old version; without --to the new version stays to set.
"$PACK" init-strings --from "$T/short" --from "$T/v0" 2>"$WORK/init.log" >"$WORK/chain.scr" ||
  fail "init-strings of a chain"
grep -q 'String("PATCH_VERSION", "1.0.1.0")' "$WORK/chain.scr" || fail "init-strings: no --to"
grep -q 'PATCH_VERSION keeps its example' "$WORK/init.log" || fail "init-strings: no --to note"
# Only the registry entry is left to the author.
sed -e "s/SOFTWARE.*Example Game/${GAME_KEY//\\/\\\\\\\\}/" -e 's/ExampleInstallPath/InstallPath/' \
  "$WORK/init.scr" >"$WORK/from.scr"
"$PACK" make --old "1.2.11.=$T/v0" --new "$T/v1" --to-version 1.2.11. --strings "$WORK/from.scr" \
  -o "$WORK/u2" >"$WORK/make.log" 2>&1
[ $? -eq 1 ] || fail "make accepted a Version section its tree never matches"
grep -q 'Version("1.2.11.") never runs' "$WORK/make.log" || fail "no reason for the Version refusal"

# Renames, a move with a change, a name outside ASCII: a whole run.
strings_with "$WORK/good.scr" "${common[@]}" 'SRC_EXE=game.exe' 'GAME_VERSION=1.2.10.' \
  'LANG_VERSION=0' 'PROGRAM_NAME=Sample Game' 'PROGRAM_NAME_OLD=Sample Game' || exit 1
"$PACK" make --old "$T/v0" --new "$T/v1" --strings "$WORK/good.scr" --stub "$BIN/upkeep" \
  -o "$WORK/update" >"$WORK/make.log" 2>&1 || {
  cat "$WORK/make.log" >&2
  exit 1
}
grep -q 'old .*game.exe, ProductVersion "1.2.10.0": the updater sees version "1.2.10.", language "0"' \
  "$WORK/make.log" || fail "make does not show the old tree's version"
"$PACK" cat "$WORK/update" patch.scr >"$WORK/patch.scr"
grep -q 'RenameFile("Music\\\\theme.ogg", "Audio\\\\theme-main.ogg")' "$WORK/patch.scr" ||
  fail "a moved file is not renamed"
grep -A1 'RenameFile("Data\\\\Maps\\\\level1.map", "Maps\\\\level1.map")' "$WORK/patch.scr" |
  grep -q 'PatchFile("Maps\\\\level1.map"' || fail "a moved, changed file is not renamed, then patched"
grep -q 'DeleteFile("Music\\\\theme.ogg"' "$WORK/patch.scr" && fail "a renamed file is also deleted"
grep -q $'Caf\xe9.txt' "$WORK/patch.scr" || fail "a name is not in code page 1252"

install_game
rm -rf "${GAME:?}"/*
cp -r "$T/v0/." "$GAME/"
run_updater "$WORK/update" -force </dev/null
expect_rc 0 "rename and patch"
for f in game.exe ReadMe.txt Maps/level1.map Audio/theme-main.ogg Café.txt; do
  expect_file_same "$GAME/$f" "$T/v1/$f"
done
expect_absent "$GAME/Music/theme.ogg"
expect_absent "$GAME/Data/Maps/level1.map"
grep -q 'Renamed file: Music\\theme.ogg to Audio\\theme-main.ogg' "$GAME/patch.log" ||
  fail "the rename is not logged"

# A rename that cannot happen (the file is gone) ends in the closing check.
install_game
rm -rf "${GAME:?}"/*
cp -r "$T/v0/." "$GAME/"
mkdir -p "$GAME/Audio/theme-main.ogg"  # a folder in the way of the rename
run_updater "$WORK/update" -force </dev/null
expect_rc 3 "a failed rename"
expect_no_out "$SUCCESS_TEXT"

# Names: refused before anything is read whole.
for bad in "aux.txt" "Com3" "trailing." "space " 'Zażółć.txt'; do
  rm -rf "$T/bad" && cp -r "$T/v1" "$T/bad" && printf 'x' >"$T/bad/$bad"
  "$PACK" make --old "$T/v0" --new "$T/bad" --strings "$WORK/good.scr" -o "$WORK/bad" \
    >"$WORK/make.log" 2>&1
  [ $? -eq 1 ] || fail "make accepted the name '$bad'"
  grep -q "name not usable in an update: .*$bad" "$WORK/make.log" || fail "no reason for '$bad'"
done
# The same name is fine in the table's code page.
strings_with "$WORK/pl.scr" LOCALE=Polish "${common[@]}" 'SRC_EXE=game.exe' \
  'GAME_VERSION=1.2.10.' 'LANG_VERSION=0' || exit 1
"$PACK" make --old "$T/v0" --new "$T/bad" --strings "$WORK/pl.scr" -o "$WORK/pl" \
  >"$WORK/make.log" 2>&1 || fail "a Polish name under a Polish Locale: $(cat "$WORK/make.log")"
# apply finds and writes that name as the updater does (the script names it
# in code page 1250, the disk in UTF-8).
cp -r "$T/v0" "$WORK/pl-game"
"$PACK" apply "$WORK/pl" --dir "$WORK/pl-game" >"$WORK/apply.log" 2>&1 ||
  fail "apply of a Polish name: $(tail -3 "$WORK/apply.log")"
grep -qx 'Created file: Zażółć.txt' "$WORK/apply.log" || fail "apply does not show the Polish name"
rmdir "$WORK/pl-game/Music" || fail "apply did not keep the folder the new tree lacks"
diff -r "$WORK/pl-game" "$T/bad" >/dev/null || fail "apply of a Polish name: trees differ"

# A file of 4 GiB + 1 byte (sparse) goes in whole, in blocks, read as a
# stream: make's memory stays far below the file's size.
rm -rf "$T/big" && cp -r "$T/v1" "$T/big" && truncate -s $((4 * 1024 * 1024 * 1024 + 1)) "$T/big/huge.dat"
/usr/bin/time -f '%M' -o "$WORK/make.rss" "$PACK" make --old "$T/v0" --new "$T/big" \
  --strings "$WORK/good.scr" -o "$WORK/big" >"$WORK/make.log" 2>&1 ||
  fail "make refused a 4 GiB + 1 file: $(cat "$WORK/make.log")"
[ "$(cat "$WORK/make.rss")" -lt $((256 * 1024)) ] ||
  fail "make of a 4 GiB file took $(cat "$WORK/make.rss") KiB"
"$PACK" list "$WORK/big" >"$WORK/list.txt" || fail "list of the package with a 4 GiB file"
grep -q '\.FILEX .*blocks of 4294967297 bytes' "$WORK/list.txt" ||
  fail "the 4 GiB file is not in blocks: $(cat "$WORK/list.txt")"

finish
