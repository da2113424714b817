# Games for updates that are cut short (killed, out of disk space): a tree
# whose update patches many large files, and checks that a game left behind
# holds every file either as it was or as the update makes it. Source it
# after game.bash; works below $WORK.

# make_interrupt_update OLD NEW KEY STUB OUT [MAKE OPTIONS...]: the package
# from OLD to NEW for the game registered under KEY, on STUB. The basic delta
# form: the quickest to make, and the write path is the same; files from
# 16 MB on take the forms for files of any size (blocks, block matches).
# $BIN must hold upkeep-pack.
make_interrupt_update() {
  strings_with "$WORK/Strings.scr" "REG_KEY=$3" 'REG_DESTINATION=InstallPath' \
    'PROGRAM_NAME=Sample Game 1.0.1' 'PROGRAM_NAME_OLD=Sample Game' 'SRC_EXE=game.exe' \
    'GAME_VERSION=1.0.0.0' 'PATCH_VERSION=1.0.0.1' 'LANG_VERSION=en' 'SHOW_README=0' || return 1
  "$BIN/upkeep-pack" make --old "$1" --new "$2" --strings "$WORK/Strings.scr" \
    --stub "$4" --delta-format basic --large-from 16M -o "$5" "${@:6}" >"$WORK/make.log" 2>&1 || {
    cat "$WORK/make.log" >&2
    return 1
  }
}

# random_file OUT SIZE SEED: SIZE bytes, the same for the same SEED.
random_file() {
  # openssl fails once head has what it needs: the size tells success.
  openssl enc -aes-128-ctr -nosalt -K "$(printf '%032x' "$3")" -iv 0 -in /dev/zero 2>/dev/null |
    head -c "$2" >"$1"
  [ "$(stat -c %s "$1")" -eq "$2" ]
}

# scatter FILE SEED COUNT: COUNT small changes spread over FILE, overwriting,
# inserting and cutting bytes, so its delta copies from shifted places.
scatter() {
  perl -e '
    my ($file, $seed, $n) = @ARGV;
    srand($seed);
    open my $f, "<:raw", $file or die "$file: $!";
    local $/;
    my $d = <$f>;
    close $f;
    for (1 .. $n) {
      my $at = int(rand(length($d) - 4096));
      my $len = 1 + int(rand(2048));
      my $bytes = pack("C*", map { int(rand(256)) } 1 .. $len);
      my $op = int(rand(4));
      if ($op == 0) { substr($d, $at, 0) = $bytes }
      elsif ($op == 1) { substr($d, $at, $len) = "" }
      else { substr($d, $at, $len) = $bytes }
    }
    open $f, ">:raw", $file or die "$file: $!";
    print $f $d;
    close $f or die "$file: $!";' "$@"
}

# make_heavy_trees DIR [COUNT] [SIZE_KB]: DIR/old and DIR/new of the sample
# game plus COUNT data files of about SIZE_KB KiB with scattered changes, one
# file written anew, files created, deleted, moved, and moved and changed.
# PATCHED lists the data files' names, for waiting on their new content.
make_heavy_trees() {
  local dir=$1 count=${2:-14} kb=${3:-3072} i name
  make_game_trees "$dir" || return 1
  mkdir -p "$dir/old/Data/Packs" "$dir/new/Data/Packs" "$dir/old/Music" "$dir/new/Music" \
    "$dir/old/Video" "$dir/new/Video/Cuts" "$dir/new/Data/Extra"
  PATCHED=()
  for ((i = 0; i < count; i++)); do
    name=Data/Packs/pack$(printf '%02d' "$i").dat
    # Sizes differ so that files cannot stand in for each other.
    random_file "$dir/old/$name" $(((kb + i * 97) * 1024)) $((100 + i)) || return 1
    cp "$dir/old/$name" "$dir/new/$name"
    scatter "$dir/new/$name" $((200 + i)) 30 || return 1
    PATCHED+=("$name")
  done
  # A large archive, patched with block matches read through windows.
  if [ -n "${LARGE_MB:-}" ]; then
    name=Data/Packs/large.pak
    random_file "$dir/old/$name" $((LARGE_MB * 1024 * 1024)) 99 || return 1
    cp "$dir/old/$name" "$dir/new/$name"
    scatter "$dir/new/$name" 199 40 || return 1
    PATCHED+=("$name")
  fi
  random_file "$dir/old/Data/rewritten.dat" 700000 300
  random_file "$dir/new/Data/rewritten.dat" 650000 301
  for i in 0 1 2; do
    random_file "$dir/new/Data/Extra/extra$i.dat" $((400000 + i * 1000)) $((310 + i))
  done
  random_file "$dir/old/Data/gone0.dat" 300000 320
  random_file "$dir/old/Data/gone1.dat" 200000 321
  random_file "$dir/old/Music/track1.ogg" 900000 330
  cp "$dir/old/Music/track1.ogg" "$dir/new/Music/theme.ogg"
  random_file "$dir/old/Video/intro.bik" 1500000 340
  cp "$dir/old/Video/intro.bik" "$dir/new/Video/Cuts/opening.bik"
  scatter "$dir/new/Video/Cuts/opening.bik" 341 10
}

# tree_paths DIR...: every file path below the DIRs, relative, once each.
tree_paths() {
  local d
  for d in "$@"; do (cd "$d" && find . -type f | sed 's|^\./||'); done | sort -u
}

# count_damaged GAME OLD NEW: prints how many files of GAME are neither their
# OLD nor their NEW version (a file absent from one version may be absent),
# names them on stderr, and counts a moved file that is in neither place as
# damaged too. Extra files in GAME are not looked at here.
count_damaged() {
  local game=$1 old=$2 new=$3 path damaged=0
  while IFS= read -r path; do
    if [ -f "$game/$path" ]; then
      cmp -s "$game/$path" "$old/$path" 2>/dev/null && continue
      cmp -s "$game/$path" "$new/$path" 2>/dev/null && continue
    elif [ ! -f "$old/$path" ] || [ ! -f "$new/$path" ]; then
      continue
    fi
    echo "  damaged: $path" >&2
    damaged=$((damaged + 1))
  done < <(tree_paths "$old" "$new")
  local from to from_to
  for from_to in Music/track1.ogg:Music/theme.ogg Video/intro.bik:Video/Cuts/opening.bik; do
    from=${from_to%%:*} to=${from_to#*:}
    if [ -f "$old/$from" ] && [ ! -f "$game/$from" ] && [ ! -f "$game/$to" ]; then
      echo "  lost in a move: $from" >&2
      damaged=$((damaged + 1))
    fi
  done
  echo "$damaged"
}

# same_tree GAME TREE: GAME is TREE file for file, with patch.log and
# nothing else beside it (no temporary file, nothing of an earlier run).
same_tree() {
  local game=$1 tree=$2 ok=0 path
  while IFS= read -r path; do
    if [ "$path" = patch.log ]; then continue; fi
    if [ ! -f "$tree/$path" ]; then
      echo "  left over: $path" >&2
      ok=1
    elif ! cmp -s "$game/$path" "$tree/$path"; then
      echo "  differs: $path" >&2
      ok=1
    fi
  done < <(tree_paths "$game")
  while IFS= read -r path; do
    [ -f "$game/$path" ] || {
      echo "  missing: $path" >&2
      ok=1
    }
  done < <(tree_paths "$tree")
  return $ok
}

# The kill rounds. The caller defines fresh_old (the old tree in GAME),
# start_updater (the update, unattended, in the background; PID its pid),
# run_again (a whole run in the foreground; RC its exit code) and fail; H
# holds the trees. Totals: KILLS, DURING_WRITE, DAMAGED, FINISHED, and
# ALREADY_NEW (kills after the update was complete).
KILLS=0 DURING_WRITE=0 DAMAGED=0 FINISHED=0 ALREADY_NEW=0

now_ms() { echo $(($(date +%s%N) / 1000000)); }
# pause_ms MS: waits MS milliseconds without starting a process, whose start
# would take about as long as a file's write.
exec {PAUSE_FD}<> <(:)
pause_ms() {
  local t
  printf -v t '%d.%03d' $(($1 / 1000)) $(($1 % 1000))
  read -r -t "$t" -u "$PAUSE_FD"
}

# wait_for FILE: until FILE exists, while the updater runs (at most 60 s).
wait_for() {
  local limit=$((SECONDS + 60))
  while [ ! -e "$1" ] && kill -0 "$PID" 2>/dev/null && [ "$SECONDS" -lt "$limit" ]; do :; done
}

# yardstick: one whole run, timed: RUN_MS its length, WRITE_MS how long new
# content stays beside a data file; it must make the new tree.
yardstick() {
  local start seen watched
  fresh_old
  start=$(now_ms)
  start_updater
  watched=$GAME/${PATCHED[${#PATCHED[@]} / 2]}.~up
  wait_for "$watched"
  seen=$(now_ms)
  while [ -e "$watched" ]; do :; done
  WRITE_MS=$(($(now_ms) - seen + 1))
  wait "$PID"
  RC=$?
  RUN_MS=$(($(now_ms) - start))
  [ "$RC" -eq 0 ] || fail "uninterrupted run: exit code $RC"
  same_tree "$GAME" "$H/new" || fail "the uninterrupted run did not make the new tree"
  echo "one run: $RUN_MS ms, new content of a data file beside it for $WRITE_MS ms"
}

# kill_round [KILLER]: one run stopped by the command KILLER (default:
# SIGKILL of PID), mostly while new content of a data file is being written,
# flushed, checked or put in place, one in four at any moment; then the
# checks and a run again. Returns 1 when the run ended before the kill
# (nothing counted).
kill_round() {
  local killer=${1:-kill -9 \"\$PID\"} rc n
  fresh_old
  start_updater
  if [ $((RANDOM % 4)) -ne 0 ]; then
    wait_for "$GAME/${PATCHED[RANDOM % ${#PATCHED[@]}]}.~up"
    pause_ms $((RANDOM % (WRITE_MS * 3 / 4 + 1)))
  else
    pause_ms $((RANDOM % RUN_MS))
  fi
  local alive=0
  kill -0 "$PID" 2>/dev/null && alive=1
  eval "$killer" >/dev/null 2>&1
  wait "$PID" 2>/dev/null
  rc=$?
  # SIGKILL of the updater is certain by its status; a Wine process whose
  # server is killed ends with 0 instead, so it counts if it was still there.
  if [ $# -eq 0 ]; then
    [ "$rc" -eq 137 ] || return 1
  else
    [ "$alive" -eq 1 ] || return 1
  fi
  KILLS=$((KILLS + 1))
  if [ -n "$(find "$GAME" -name '*.~up' -print -quit)" ]; then DURING_WRITE=$((DURING_WRITE + 1)); fi
  n=$(count_damaged "$GAME" "$H/old" "$H/new")
  if [ "$n" -ne 0 ]; then
    fail "kill $KILLS left $n damaged file(s)"
    DAMAGED=$((DAMAGED + n))
  fi
  # A kill after the update's last step finds the game new and no journal:
  # the run again then meets a version it no longer applies to and changes
  # nothing (code 1).
  local done_before=1
  same_tree "$GAME" "$H/new" 2>/dev/null || done_before=0
  [ "$done_before" -eq 0 ] || ALREADY_NEW=$((ALREADY_NEW + 1))
  run_again
  if { [ "$RC" -eq 0 ] || { [ "$done_before" -eq 1 ] && [ "$RC" -eq 1 ]; }; } &&
    same_tree "$GAME" "$H/new"; then
    FINISHED=$((FINISHED + 1))
  else
    fail "kill $KILLS: the run after it ended with $RC and not the new tree"
    tail -4 "$GAME/patch.log" 2>/dev/null | tr -d '\r' >&2
  fi
  return 0
}

kill_summary() {
  echo "kills: $KILLS, during a write: $DURING_WRITE, damaged files: $DAMAGED," \
    "re-runs finished: $FINISHED (update already complete at $ALREADY_NEW kills)"
}
