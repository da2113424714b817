#!/usr/bin/env bash
# The console updater against a tampered game folder (real symbolic links):
# links planted where it makes its own files, linked folders a script removes,
# names that climb out of the game folder, a forged journal. Nothing outside
# the game folder may change.
source "$SRC/tests/e2e/lib/e2e.bash"
source "$SRC/tests/e2e/lib/containment.bash"

install_game
make_updater "$WORK/update"
UPDATE=$WORK/update
STUB=$BIN/upkeep
REPACK=$BIN/upkeep-test-repack
OUTSIDE=$PREFIX/drive_c/Games/Other
DIR_LINKS_GO=1
fresh_game() {
  rm -rf "$GAME"
  mkdir -p "$GAME"
  cp -r "$WORK/trees/old/." "$GAME/"
}
run_update() { run_updater "$1" -silent </dev/null; }
GAME_WIN=$GAME_DIR_WIN

contain_setup
contain_planted_links
contain_linked_folders
contain_dot_dot
contain_forged_journal
finish
