#!/usr/bin/env bash
# A chain made by upkeep-pack for any installed version, run by the updater:
# a folder the game dropped keeps the player's saves, the bank files the
# updater deletes come back with the update, a run on a version the chain does
# not know stops before changing anything (bank files included), and a second
# run finds the game up to date.
source "$SRC/tests/e2e/lib/e2e.bash"

T=$WORK/chain
for v in 0 1 2; do mkdir -p "$T/v$v/Data/Levels" "$T/v$v/Saves"; done
make_game_exe "$T/v0/game.exe" "1.0.0.0en" "1.0" &&
  make_game_exe "$T/v1/game.exe" "1.0.1.0en" "1.0.1" &&
  make_game_exe "$T/v2/game.exe" "1.0.2.0en" "1.0.2" &&
  make_game_exe "$T/unknown.exe" "0.9.0.0en" "0.9" || {
  echo "cannot build the sample game" >&2
  exit 1
}
deterministic_bytes "$T/v0/Data/Levels/bank1.bnk" 5000 21
cp "$T/v0/Data/Levels/bank1.bnk" "$T/v1/Data/Levels/bank1.bnk"
cp "$T/v0/Data/Levels/bank1.bnk" "$T/v2/Data/Levels/bank1.bnk"
deterministic_bytes "$T/v2/Data/Levels/bank2.bnk" 3000 22
printf 'slot' >"$T/v0/Saves/slots.idx"
cp "$T/v0/Saves/slots.idx" "$T/v1/Saves/slots.idx"
rm -rf "$T/v2/Saves"
# Compressed files that change on the way: a zip-style archive of deflated
# members (one edited per version, the rest as they were; the newest adds a
# long one, whose new content is packed the quicker way) and a gzip file.
python3 - "$T" <<'PY' || exit 1
import random, sys, zipfile
rng = random.Random(7)
words = ["".join(rng.choice("abcdefghij") for _ in range(rng.randint(2, 8))) for _ in range(500)]
text = [" ".join(rng.choice(words) for _ in range(4000)).encode() for _ in range(8)]
lines = [b"release %d: %s\n" % (n, rng.choice(text)[n:n + 60]) for n in range(2100)]
long_text = bytes(rng.randrange(32, 96) for _ in range(400000))
for v in range(3):
    if v:
        text[v * 3] = text[v * 3].replace(b" ", b" %d " % v, 40)
    with zipfile.ZipFile("%s/v%d/Data/assets.pak" % (sys.argv[1], v), "w") as z:
        for i, t in enumerate(text + ([long_text] if v == 2 else [])):
            z.writestr(zipfile.ZipInfo("a/%d.txt" % i, (2024, 1, 1, 0, 0, 0)), t,
                       zipfile.ZIP_DEFLATED, 6 if i % 2 else 9)
    open("%s/v%d/Data/changes" % (sys.argv[1], v), "wb").write(b"".join(lines[:2000 + 50 * v]))
PY
for v in 0 1 2; do gzip -9n "$T/v$v/Data/changes" || exit 1; done
printf 'one\r\n' >"$T/v0/ReadMe.txt"
printf 'two\r\n' >"$T/v1/ReadMe.txt"
printf 'three\r\n' >"$T/v2/ReadMe.txt"

strings_with "$WORK/Strings.scr" "REG_KEY=$GAME_KEY" 'REG_DESTINATION=InstallPath' \
  'PROGRAM_NAME=Sample Game' 'PROGRAM_NAME_OLD=Sample Game' 'SRC_EXE=game.exe' \
  'GAME_VERSION=' 'LANG_VERSION=en' 'SHOW_README=0' || exit 1
"$BIN/upkeep-pack" make --old "1.0.0.0=$T/v0" --old "1.0.1.0=$T/v1" --new "$T/v2" \
  --to-version 1.0.2.0 --strings "$WORK/Strings.scr" --stub "$BIN/upkeep" \
  --delta-format redeflate -o "$WORK/update" >"$WORK/make.log" 2>&1 || {
  cat "$WORK/make.log" >&2
  exit 1
}
grep -q 'kept folder Saves' "$WORK/make.log" || fail "make does not list the kept folder"
# The executables are patched with the extended form, the compressed files
# with the deflated-view one, which the checker accepts; forcing the basic form
# leaves neither.
"$BIN/upkeep-pack" list "$WORK/update" >"$WORK/list.txt"
grep -q '\.DELTAX' "$WORK/list.txt" || fail "no extended delta made"
[ "$(grep -c '\.DELTAZ' "$WORK/list.txt")" = 4 ] || fail "not every compressed file has a deflated-view delta"
[ "$(grep '\.DELTAZ' "$WORK/list.txt" | grep -c 'deflated-view delta$')" = 4 ] ||
  fail "list does not tell the deflated-view deltas"
"$BIN/upkeep-pack" verify "$WORK/update" >/dev/null || fail "the made package does not verify"
"$BIN/upkeep-pack" make --old "1.0.0.0=$T/v0" --old "1.0.1.0=$T/v1" --new "$T/v2" \
  --to-version 1.0.2.0 --strings "$WORK/Strings.scr" --delta-format basic \
  -o "$WORK/basic" >/dev/null 2>&1 || fail "make --delta-format basic"
"$BIN/upkeep-pack" list "$WORK/basic" | grep -q '\.DELTA[XZ]' && fail "--delta-format basic made another form"
grep -q 'warning: .*bank2.bnk: .* writes it again' "$WORK/make.log" ||
  fail "make does not warn about the new tree's bank files"

install_from() {
  install_game
  rm -rf "${GAME:?}"/*
  cp -r "$1/." "$GAME/"
}
expect_newest() {
  local f
  for f in game.exe ReadMe.txt Data/Levels/bank1.bnk Data/Levels/bank2.bnk Data/assets.pak \
    Data/changes.gz; do
    expect_file_same "$GAME/$f" "$T/v2/$f"
  done
}

# From the oldest version: the player's save in the dropped folder stays.
install_from "$T/v0"
printf 'my game' >"$GAME/Saves/save1.sav"
run_updater "$WORK/update" -force </dev/null
expect_rc 0 "chain from the oldest version"
expect_newest
expect_absent "$GAME/Saves/slots.idx"
[ "$(cat "$GAME/Saves/save1.sav" 2>/dev/null)" = "my game" ] || fail "the player's save is gone"
grep -q 'Deleted file: .*Saves\\slots.idx' "$GAME/patch.log" || fail "deletion not logged"
grep -q 'Updated file: .*game.exe' "$GAME/patch.log" || fail "game.exe not patched"

# Again on the updated game: it is up to date, nothing changes (the bank
# files the game made since stay as they are), success.
printf 'remade by the game' >"$GAME/Data/Levels/bank1.bnk"
run_updater "$WORK/update" -force </dev/null
expect_rc 0 "second run"
expect_out "Sample Game is already installed: the game is up to date. Nothing was changed."
expect_no_out "$SUCCESS_TEXT"
[ "$(cat "$GAME/Data/Levels/bank1.bnk")" = "remade by the game" ] || fail "the second run rewrote a bank file"
cp "$T/v2/Data/Levels/bank1.bnk" "$GAME/Data/Levels/bank1.bnk"
expect_newest

# A version the chain does not know: stopped before anything changed.
install_from "$T/v0"
cp "$T/unknown.exe" "$GAME/game.exe"
run_updater "$WORK/update" -force </dev/null
expect_rc 1 "unknown version"
expect_no_out "$SUCCESS_TEXT"
expect_file_same "$GAME/ReadMe.txt" "$T/v0/ReadMe.txt"
expect_file_same "$GAME/Saves/slots.idx" "$T/v0/Saves/slots.idx"
# Stopped at a check, it changed nothing: the bank files are still there.
expect_file_same "$GAME/Data/Levels/bank1.bnk" "$T/v0/Data/Levels/bank1.bnk"

finish
