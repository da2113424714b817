# Whole updates against a game folder someone has tampered with: links planted
# where the updater makes its own files, linked folders a script removes, a
# script whose names climb out of the game folder, and a forged journal. Each
# case checks that nothing outside the game folder changed. Source it after
# game.bash; the caller sets
#   GAME, GAME_WIN  the game folder (Unix path, and as the updater sees it)
#   OUTSIDE         a folder beside the game folder, "Other": another game's
#   UPDATE          the sample update (made by make_game_trees' trees)
#   STUB, REPACK    the updater program and upkeep-test-repack, for edited scripts
#   DIR_LINKS_GO    1 when the system can remove a link to a folder as a link
# and defines fresh_game (the old tree in GAME), run_update UPDATER (RC and
# OUT: its exit code and output) and fail.

# contain_setup: the sample update's entries in $WORK/contain/x.
contain_setup() {
  rm -rf "$WORK/contain"
  mkdir -p "$WORK/contain"
  "$BIN/upkeep-pack" extract "$UPDATE" "$WORK/contain/x" >/dev/null || fail "extract"
  ISLAND_CRC=$(grep -oE 'island\.map", "00000004\.FILE", "[0-9A-F]{8}' "$WORK/contain/x/PATCH.SCR" |
    sed 's/.*"//')
  [ -n "$ISLAND_CRC" ] || fail "the sample script creates no island.map"
}

# edited_update OUT LINE...: the sample update with LINEs added at the end of
# its first section.
edited_update() {
  local out=$1 dir=$WORK/contain/edit
  shift
  rm -rf "$dir"
  cp -r "$WORK/contain/x" "$dir"
  printf '  %s\r\n' "$@" >"$WORK/contain/lines"
  awk -v lines="$WORK/contain/lines" '
    !done && /^}/ { while ((getline l < lines) > 0) print l; done = 1 }
    { print }' "$WORK/contain/x/PATCH.SCR" >"$dir/PATCH.SCR"
  "$REPACK" "$STUB" "$dir" "$out" || fail "repack"
}

fresh_outside() {
  rm -rf "$OUTSIDE"
  mkdir -p "$OUTSIDE"
}

# same_outside: OUTSIDE is exactly as outside_snapshot left it (names,
# contents, modes, link targets).
outside_snapshot() { (cd "$OUTSIDE" && find . -printf '%p %m %l\n' -type f -exec md5sum {} + | sort) >"$WORK/contain/outside"; }
same_outside() {
  (cd "$OUTSIDE" && find . -printf '%p %m %l\n' -type f -exec md5sum {} + | sort) >"$WORK/contain/outside.now"
  if ! cmp -s "$WORK/contain/outside" "$WORK/contain/outside.now"; then
    fail "$1: the folder outside the game changed"
    diff "$WORK/contain/outside" "$WORK/contain/outside.now" | head -10 >&2
  fi
}

expect_regular() {
  [ -f "$1" ] && [ ! -L "$1" ] || fail "$2: $1 is not a plain file"
}

# The updater's own files and a deleted game file are links to files outside.
contain_planted_links() {
  fresh_game
  fresh_outside
  local v
  for v in fresh journal log; do printf 'victim %s\n' "$v" >"$OUTSIDE/$v.dat"; done
  chmod 444 "$OUTSIDE/journal.dat"
  ln -s "$OUTSIDE/fresh.dat" "$GAME/Data/levels.dat.~up"
  ln -s "$OUTSIDE/journal.dat" "$GAME/upkeep.journal"
  ln -s "$OUTSIDE/log.dat" "$GAME/patch.log"
  ln -s "$OUTSIDE/nothing.dat" "$GAME/game.exe.~up"
  # The game's own intro.txt, kept elsewhere: the update deletes it.
  mv "$GAME/intro.txt" "$OUTSIDE/intro.txt"
  chmod 444 "$OUTSIDE/intro.txt"
  ln -s "$OUTSIDE/intro.txt" "$GAME/intro.txt"
  outside_snapshot
  run_update "$UPDATE"
  [ "$RC" -eq 0 ] || fail "planted links: exit code $RC"
  same_outside "planted links"
  expect_regular "$GAME/Data/levels.dat" "planted links"
  cmp -s "$GAME/Data/levels.dat" "$WORK/trees/new/Data/levels.dat" || fail "planted links: levels.dat"
  cmp -s "$GAME/game.exe" "$WORK/trees/new/game.exe" || fail "planted links: game.exe"
  expect_regular "$GAME/patch.log" "planted links"
  grep -q 'Final update state' "$GAME/patch.log" 2>/dev/null || fail "planted links: no log"
  [ ! -e "$GAME/intro.txt" ] && [ ! -L "$GAME/intro.txt" ] || fail "planted links: intro.txt kept"
  for v in upkeep.journal Data/levels.dat.~up game.exe.~up; do
    [ ! -L "$GAME/$v" ] || fail "planted links: the link $v is still there"
  done
}

# DeleteDir of a link to a folder, and of a folder holding links.
contain_linked_folders() {
  fresh_game
  fresh_outside
  mkdir -p "$OUTSIDE/shared/sub" "$OUTSIDE/kept"
  printf 'a\n' >"$OUTSIDE/shared/a.txt"
  printf 'b\n' >"$OUTSIDE/shared/sub/b.txt"
  printf 'c\n' >"$OUTSIDE/kept/c.txt"
  printf 'd\n' >"$OUTSIDE/d.txt"
  chmod 444 "$OUTSIDE/d.txt"
  ln -s "$OUTSIDE/shared" "$GAME/OldDir"
  mkdir -p "$GAME/Old2"
  printf 'own\n' >"$GAME/Old2/own.txt"
  ln -s "$OUTSIDE/kept" "$GAME/Old2/inner"
  ln -s "$OUTSIDE/d.txt" "$GAME/Old2/d.txt"
  outside_snapshot
  edited_update "$WORK/contain/update" 'DeleteDir("OldDir")' 'DeleteDir("Old2")'
  run_update "$WORK/contain/update"
  [ "$RC" -eq 0 ] || fail "linked folders: exit code $RC"
  same_outside "linked folders"
  [ ! -e "$GAME/Old2/own.txt" ] || fail "linked folders: Old2's own file kept"
  [ ! -L "$GAME/Old2/d.txt" ] || fail "linked folders: the link to a file kept"
  if [ "$DIR_LINKS_GO" = 1 ]; then
    [ ! -L "$GAME/OldDir" ] || fail "linked folders: the link OldDir kept"
    [ ! -e "$GAME/Old2" ] || fail "linked folders: Old2 kept"
  else
    grep -qF "ERROR: couldn't remove dir: $GAME_WIN\\OldDir !" "$GAME/patch.log" ||
      fail "linked folders: no line says OldDir stays"
  fi
}

# Names that climb out of the game folder, and one that climbs and comes back.
contain_dot_dot() {
  fresh_game
  fresh_outside
  mkdir -p "$OUTSIDE/Saves"
  printf 'save\n' >"$OUTSIDE/save.dat"
  printf 'slot\n' >"$OUTSIDE/Saves/slot1.dat"
  printf 'keep\n' >"$OUTSIDE/keep.dat"
  outside_snapshot
  local other='..\\Other'
  edited_update "$WORK/contain/update" \
    "CreateFile(\"Data\\\\..\\\\inside.txt\", \"00000004.FILE\", \"$ISLAND_CRC\")" \
    "DeleteFile(\"$other\\\\save.dat\", \"\")" "DeleteDir(\"$other\\\\Saves\")" \
    "DeleteDir(\"Data\\\\..\\\\..\\\\Other\")" "RenameFile(\"$other\\\\keep.dat\", \"stolen.dat\")" \
    "RenameFile(\"ReadMe.txt\", \"$other\\\\ReadMe.txt\")" "DeleteDir(\".\")" \
    "CreateFile(\"$other\\\\planted.txt\", \"00000004.FILE\", \"$ISLAND_CRC\")"
  run_update "$WORK/contain/update"
  [ "$RC" -ne 0 ] || fail "climbing names: the run succeeded"
  same_outside "climbing names"
  cmp -s "$GAME/inside.txt" "$WORK/trees/new/Data/maps/island.map" ||
    fail "climbing names: a name that stays inside was refused"
  [ -f "$GAME/game.exe" ] || fail "climbing names: the game folder went"
  local out="$GAME_WIN\\..\\Other"
  for line in "ERROR: couldn't remove file $out\\save.dat !" \
    "ERROR: couldn't remove dir: $out\\Saves !" \
    "ERROR: couldn't remove dir: $GAME_WIN\\Data\\..\\..\\Other !" \
    "Couldn't rename file: ..\\Other\\keep.dat" "Couldn't rename file: ReadMe.txt" \
    "ERROR: couldn't remove dir: $GAME_WIN\\. !" \
    "ERROR: couldn' create file $out\\planted.txt - reason 2!"; do
    grep -qF -- "$line" "$GAME/patch.log" || fail "climbing names: the log lacks: $line"
  done
}

# journal_line FIELDS...: one record, tab-separated, with its checksum.
journal_line() {
  local IFS=$'\t'
  perl -MCompress::Zlib -e 'printf "%s\t%08X\n", $ARGV[0], crc32($ARGV[0])' "$*"
}

# A journal of the same package whose temporary names lead through a linked
# folder to files outside.
contain_forged_journal() {
  fresh_game
  fresh_outside
  mkdir -p "$OUTSIDE/Documents"
  printf 'mine\n' >"$OUTSIDE/Documents/notes.~up"
  printf 'mine too\n' >"$OUTSIDE/Documents/old.~up"
  ln -s "$OUTSIDE/Documents" "$GAME/Documents"
  printf 'left by a crash\n' >"$GAME/Data/levels.dat.~up"
  outside_snapshot
  local crc
  crc=$(perl -MCompress::Zlib -e 'local $/; open my $f, "<:raw", $ARGV[0] or die;
    printf "%08X", crc32(<$f>)' "$WORK/contain/x/PATCH.SCR")
  {
    journal_line upkeep-journal 1 "$crc" 1.0.0.0 en "Sample Game 1.0.1" 1.0.0.1
    journal_line change
    journal_line temp 6 "$GAME_WIN\\Documents\\notes.~up"
    journal_line temp 7 "$GAME_WIN\\Data\\..\\Documents\\old.~up"
    journal_line temp 6 "$GAME_WIN\\Data\\levels.dat.~up"
  } >"$GAME/upkeep.journal"
  run_update "$UPDATE"
  [ "$RC" -eq 0 ] || fail "forged journal: exit code $RC"
  same_outside "forged journal"
  grep -q '^Resuming' "$GAME/patch.log" || fail "forged journal: the journal was not taken up"
  [ ! -e "$GAME/Data/levels.dat.~up" ] || fail "forged journal: the game's own leftover kept"
}
