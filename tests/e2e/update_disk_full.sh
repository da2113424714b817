#!/usr/bin/env bash
# A disk that fills up during the update: the game on a small tmpfs with only
# so much room left that the update runs out of it while patching a file,
# while writing a file anew over an old one, and while creating a new file.
# Nothing is lost (every file old or new, no temporary file left), the run
# ends with the disk-space message and code, and once there is room again
# the same update finishes; the same for a disk out of file entries.
# Mounting needs root: skipped otherwise.
source "$SRC/tests/e2e/lib/e2e.bash"
source "$SRC/tests/e2e/lib/interrupt.bash"

MIB=1048576
D=$WORK/disk
make_game_trees "$D" || exit 1
mkdir -p "$D/new/Data/Extra"
random_file "$D/old/Data/a_patched.dat" $((1 * MIB)) 400 || exit 1
cp "$D/old/Data/a_patched.dat" "$D/new/Data/a_patched.dat"
scatter "$D/new/Data/a_patched.dat" 401 20 || exit 1
random_file "$D/old/Data/b_rewritten.dat" $((2 * MIB)) 402 || exit 1
random_file "$D/new/Data/b_rewritten.dat" $((2 * MIB)) 403 || exit 1
random_file "$D/new/Data/Extra/c_new.dat" $((3 * MIB)) 404 || exit 1

make_interrupt_update "$D/old" "$D/new" "$GAME_KEY" "$BIN/upkeep" "$WORK/update" || exit 1
# The three writes come in this order, each larger than the one before, so
# that the room left decides which of them finds the disk full.
"$BIN/upkeep-pack" extract "$WORK/update" "$WORK/x" >/dev/null || fail "extract"
order=$(grep -oE '(PatchFile|CreateFile)\("[^"]*(a_patched|b_rewritten|c_new)' "$WORK/x/PATCH.SCR" |
  sed 's/("Data.*\\/ /' | tr '\n' ' ')
[ "$order" = "PatchFile a_patched CreateFile b_rewritten CreateFile c_new " ] ||
  fail "the script writes the files otherwise than this test needs: $order"

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: a tmpfs can be mounted only by root"
  exit 0
fi
install_game
# The whole of drive C:, since the script's free-space check looks at the
# drive the game is on.
DRIVE=$PREFIX/drive_c
trap 'umount "$DRIVE" 2>/dev/null; e2e_cleanup' EXIT
if ! mount -t tmpfs -o size=16m upkeep-disk-full "$DRIVE" 2>"$WORK/mount.txt"; then
  echo "skipped: no tmpfs could be mounted ($(head -1 "$WORK/mount.txt"))"
  exit 0
fi

# fill_to KB: the old game on the disk and a filler that leaves KB KiB free.
fill_to() {
  find "$DRIVE" -mindepth 1 -delete
  mkdir -p "$GAME"
  cp -r "$D/old/." "$GAME/"
  local bytes=$((($(df -k --output=avail "$DRIVE" | tail -1) - $1) * 1024))
  fallocate -l "$bytes" "$DRIVE/filler" 2>/dev/null ||
    head -c "$bytes" /dev/zero >"$DRIVE/filler" || fail "cannot fill the disk"
}

SPACE_TEXT='There is not enough free disk space for the update.'
# The free-space check of the script stops a run before it changes anything;
# so does a disk too full for even the log, which the player is told.
fill_to 512
run_updater "$WORK/update" -silent </dev/null
expect_rc 3 "free-space check"
grep -qF "$SPACE_TEXT" "$GAME/patch.log" || fail "free-space check: no disk-space message"
rm -f "$DRIVE/filler" "$GAME/patch.log"
same_tree "$GAME" "$D/old" || fail "the free-space check changed the game"
fill_to 0
run_updater "$WORK/update" -force </dev/null
expect_rc 3 "disk full from the start"
expect_out "error: $SPACE_TEXT" "disk full from the start"
rm -f "$DRIVE/filler" "$GAME/patch.log"
same_tree "$GAME" "$D/old" || fail "a run on a full disk changed the game"

# Past that check (-skipspacecheck), as when something else eats the room
# while the update runs: KiB left, and the file that finds the disk full.
for point in 512:a_patched 1536:b_rewritten 2560:c_new; do
  kb=${point%%:*} file=${point#*:}
  fill_to "$kb"
  run_updater "$WORK/update" -silent -skipspacecheck </dev/null
  expect_rc 3 "full at $file"
  grep -qF "$SPACE_TEXT" "$GAME/patch.log" || fail "full at $file: no disk-space message"
  grep -q "^ERROR: .*$file" "$GAME/patch.log" || fail "full at $file: no error line names it"
  n=$(count_damaged "$GAME" "$D/old" "$D/new")
  [ "$n" -eq 0 ] || fail "full at $file: $n damaged file(s)"
  [ -z "$(find "$GAME" -name '*.~up' -print -quit)" ] || fail "full at $file: new content left"
  rm -f "$DRIVE/filler"
  run_updater "$WORK/update" -silent </dev/null
  expect_rc 0 "after room was made at $file"
  same_tree "$GAME" "$D/new" || fail "after room was made at $file: not the new tree"
done

# A disk out of file entries with bytes to spare is as full: for the log and
# the journal (nothing changes), or for the update's first new name (the
# folder it makes).
umount "$DRIVE"
mount -t tmpfs -o size=16m,nr_inodes=400 upkeep-disk-full "$DRIVE" || fail "tmpfs with few entries"
for left in 0 2; do
  find "$DRIVE" -mindepth 1 -delete
  mkdir -p "$GAME" "$DRIVE/fill"
  cp -r "$D/old/." "$GAME/"
  n=0
  while : 2>/dev/null >"$DRIVE/fill/$n"; do n=$((n + 1)); done
  for ((i = 1; i <= left; i++)); do rm -f "$DRIVE/fill/$((n - i))"; done
  run_updater "$WORK/update" -force </dev/null
  expect_rc 3 "$left entries left"
  expect_out "error: $SPACE_TEXT" "$left entries left"
  n=$(count_damaged "$GAME" "$D/old" "$D/new")
  [ "$n" -eq 0 ] || fail "$left entries left: $n damaged file(s)"
  rm -rf "$DRIVE/fill"
  run_updater "$WORK/update" -silent </dev/null
  expect_rc 0 "after entries were freed ($left left)"
  same_tree "$GAME" "$D/new" || fail "after entries were freed ($left left): not the new tree"
done
finish
