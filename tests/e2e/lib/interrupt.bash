# Games for updates that are cut short (killed, out of disk space): a tree
# whose update patches many large files, and checks that a game left behind
# holds every file either as it was or as the update makes it. Source it
# after game.bash; works below $WORK.

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
    if [ ! -f "$game/$from" ] && [ ! -f "$game/$to" ]; then
      echo "  lost in a move: $from" >&2
      damaged=$((damaged + 1))
    fi
  done
  echo "$damaged"
}

# exactly_new GAME NEW: GAME is the NEW tree file for file, with patch.log and
# nothing else beside it (no temporary file, nothing of an earlier run).
exactly_new() {
  local game=$1 new=$2 ok=0 path
  while IFS= read -r path; do
    if [ "$path" = patch.log ]; then continue; fi
    if [ ! -f "$new/$path" ]; then
      echo "  left over: $path" >&2
      ok=1
    elif ! cmp -s "$game/$path" "$new/$path"; then
      echo "  not new: $path" >&2
      ok=1
    fi
  done < <(tree_paths "$game")
  while IFS= read -r path; do
    [ -f "$game/$path" ] || {
      echo "  missing: $path" >&2
      ok=1
    }
  done < <(tree_paths "$new")
  return $ok
}
