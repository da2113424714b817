#!/usr/bin/env bash
# An update spanned over data volumes (make --volume-size), run by the console
# updater; then what a damaged download does: a volume missing, cut short or
# with one byte flipped, a flipped byte in the last payload or in patch.scr.
# Each leaves the game as it was and says which file is damaged.
source "$SRC/tests/e2e/lib/e2e.bash"

PACK=$BIN/upkeep-pack
make_spanned() { # OUT [make options...]
  local out=$1
  shift
  strings_with "$WORK/Strings.scr" "REG_KEY=$GAME_KEY" 'REG_DESTINATION=InstallPath' \
    'PROGRAM_NAME=Sample Game 1.0.1' 'PROGRAM_NAME_OLD=Sample Game' 'SRC_EXE=game.exe' \
    'GAME_VERSION=1.0.0.0' 'PATCH_VERSION=1.0.0.1' 'LANG_VERSION=en' 'SHOW_README=0' || return 1
  "$PACK" make --old "$WORK/trees/old" --new "$WORK/trees/new" --strings "$WORK/Strings.scr" \
    --stub "$BIN/upkeep" -o "$out" -f "$@" >"$WORK/make.log" 2>&1 || {
    cat "$WORK/make.log" >&2
    return 1
  }
}

D=$WORK/dl
mkdir -p "$D/set"
make_spanned "$D/set/update" --volume-size 8K || exit 1
grep -q 'with [0-9]* data volumes (update-1.upkd to update-[0-9]*.upkd)' "$WORK/make.log" ||
  fail "make does not tell of its volumes: $(cat "$WORK/make.log")"
volumes=$(ls "$D/set" | grep -c '^update-[0-9]*\.upkd$')
[ "$volumes" -ge 2 ] || fail "only $volumes volume(s) written"
for v in "$D"/set/update-*.upkd; do
  [ "$(stat -c %s "$v")" -le 8192 ] || fail "$v is over the volume size"
done
"$PACK" list "$D/set/update" >"$WORK/list.txt" || fail "list of the spanned package"
grep -q 'in the data volumes at' "$WORK/list.txt" || fail "list shows no entry in the volumes"
grep -q "manifest: SHA-256 of every entry; $volumes data volume(s)" "$WORK/list.txt" ||
  fail "list shows no volumes: $(cat "$WORK/list.txt")"
"$PACK" verify "$D/set/update" >"$WORK/verify.txt" || fail "verify: $(cat "$WORK/verify.txt")"

# fresh NAME: a copy of the package set in $D/NAME.
fresh() {
  rm -rf "${D:?}/$1"
  cp -r "$D/set" "$D/$1"
}

# The whole update, reading the volumes.
fresh ok
install_game
run_updater "$D/ok/update" -silent </dev/null
expect_rc 0 "spanned update"
expect_new_game
# Saved under another name, the download still finds its volumes.
fresh renamed
mv "$D/renamed/update" "$D/renamed/Sample Game update (1)"
install_game
run_updater "$D/renamed/Sample Game update (1)" -silent </dev/null
expect_rc 0 "renamed download"
expect_new_game
# upkeep-pack apply reads them too.
install_game
"$PACK" apply "$D/ok/update" --dir "$GAME" --version 1.0.0.0 >"$WORK/apply.txt" 2>&1 ||
  fail "apply of the spanned package: $(cat "$WORK/apply.txt")"
expect_new_game

# damaged NAME HOW: the update run with -force on a fresh game; it must
# change nothing and name the file.
damaged_run() {
  install_game
  run_updater "$1" -force </dev/null
  expect_rc 3 "$2"
  expect_old_game
  expect_absent "$GAME/upkeep.journal"
}

fresh missing
rm "$D/missing/update-2.upkd"
damaged_run "$D/missing/update" "a volume missing"
expect_out "data file update-2.upkd is missing"
expect_absent "$GAME/patch.log"

fresh short
truncate -s -1 "$D/short/update-1.upkd"
damaged_run "$D/short/update" "a volume cut short"
expect_out "data file update-1.upkd is damaged or incomplete"

# flip FILE OFFSET [MASK]: the byte at OFFSET of FILE xor MASK (0x40).
flip() {
  perl -e 'my ($f, $at, $mask) = @ARGV; open(my $h, "+<:raw", $f) or die "$f: $!";
    seek($h, $at, 0); read($h, my $b, 1) == 1 or die; seek($h, $at, 0);
    print $h chr(ord($b) ^ $mask); close($h) or die' "$1" "$2" "${3:-64}"
}

fresh flipped
flip "$D/flipped/update-2.upkd" 100
damaged_run "$D/flipped/update" "a byte flipped in a volume"
expect_out "The update's file update-2.upkd is damaged or incomplete"
expect_exists "$GAME/patch.log"
grep -q "ERROR" "$GAME/patch.log" && fail "a damaged download ran commands"
grep -q "Run the update again" "$OUT" && fail "a damaged download is told to run again"
"$PACK" verify "$D/flipped/update" >"$WORK/verify.txt"
[ $? -eq 1 ] || fail "verify passed a damaged volume"
grep -q "FAULT: the package's data is damaged: .*update-2.upkd" "$WORK/verify.txt" ||
  fail "verify does not name the damaged volume: $(cat "$WORK/verify.txt")"

# Without volumes: a flipped byte in the last payload, which lies right
# before the manifest; and in patch.scr, a script that would still parse.
mkdir -p "$D/whole"
make_spanned "$D/whole/update" || exit 1
last=$("$PACK" list "$D/whole/update" | awk '$2 ~ /\.(FILE|DELTA)/ { n = $2 } END { print n }')
"$PACK" list "$D/whole/update" >"$WORK/list.txt"
cp "$D/whole/update" "$D/whole/payload"
# The entry's last byte: its offset is the sum of the stored sizes before it.
end=$(awk -v e="$last" '$1 ~ /^[0-9]+$/ { at += $4; if ($2 == e) { print at; exit } }' "$WORK/list.txt")
flip "$D/whole/payload" $((end - 1))
damaged_run "$D/whole/payload" "a byte flipped in the last payload"
expect_out "The update's file payload is damaged or incomplete"

cp "$D/whole/update" "$D/whole/script"
at=$(grep -abo 'FreeSpace(' "$D/whole/script" | tail -1 | cut -d: -f1)
# A digit for another: the script still parses, it only asks for other space.
flip "$D/whole/script" $((at + 10)) 1
damaged_run "$D/whole/script" "a byte flipped in patch.scr"
expect_out "This update file is damaged or incomplete"
expect_absent "$GAME/patch.log"

finish
