# Sample games and Wine-style prefixes for the whole-update tests and the
# sample script. Source it; every function works below $WORK.

# make_game_exe OUT PRODUCT_VERSION [MESSAGE]: a small real PE program whose
# version resource carries PRODUCT_VERSION (version and language glued).
make_game_exe() {
  local out=$1 product=$2 message=${3:-$2}
  local tmp
  tmp=$(mktemp -d "$WORK/exe.XXXXXX")
  cat >"$tmp/main.c" <<C
#include <stdio.h>
int main(void) { puts("Sample game $message"); return 0; }
C
  cat >"$tmp/version.rc" <<RC
1 VERSIONINFO
FILEVERSION 1,0,0,0
PRODUCTVERSION 1,0,0,0
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "040904E4"
    BEGIN
      VALUE "ProductName", "Sample Game"
      VALUE "FileVersion", "$product"
      VALUE "ProductVersion", "$product"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x409, 1252
  END
END
RC
  x86_64-w64-mingw32-windres -O coff "$tmp/version.rc" -o "$tmp/version.o" &&
    x86_64-w64-mingw32-gcc -s -O1 "$tmp/main.c" "$tmp/version.o" -o "$out" || return 1
  rm -rf "$tmp"
}

# deterministic_bytes OUT SIZE SEED: the same bytes for the same number SEED.
deterministic_bytes() {
  perl -e 'srand($ARGV[1]); print pack("C*", map { int(rand(256)) } 1 .. $ARGV[0])' "$2" "$3" >"$1"
}

# make_game_trees DIR: DIR/old and DIR/new, two versions of the sample game.
make_game_trees() {
  local dir=$1
  mkdir -p "$dir/old/Data" "$dir/new/Data/maps"
  make_game_exe "$dir/old/game.exe" "1.0.0.0en" "1.0" || return 1
  make_game_exe "$dir/new/game.exe" "1.0.0.1en" "1.0.1" || return 1
  deterministic_bytes "$dir/old/Data/levels.dat" 262144 11
  cp "$dir/old/Data/levels.dat" "$dir/new/Data/levels.dat"
  # A changed stretch in the middle: a delta, not a whole file.
  deterministic_bytes "$dir/patch.bin" 4096 12
  dd if="$dir/patch.bin" of="$dir/new/Data/levels.dat" bs=4096 seek=20 conv=notrunc status=none
  deterministic_bytes "$dir/new/Data/maps/island.map" 20000 13
  printf 'Welcome to the sample game.\r\n' >"$dir/old/ReadMe.txt"
  printf 'Welcome to the sample game, version 1.0.1.\r\n' >"$dir/new/ReadMe.txt"
  printf 'old intro\r\n' >"$dir/old/intro.txt"
  rm -f "$dir/patch.bin"
}

# make_prefix PREFIX: an empty Wine-style prefix whose C: is PREFIX/drive_c.
make_prefix() {
  mkdir -p "$1/drive_c" "$1/dosdevices"
  ln -sfn ../drive_c "$1/dosdevices/c:"
}

# write_system_reg PREFIX 'KEY\PATH' VALUE 'C:\DIR': one string value in the
# local machine hive, in the format Wine keeps it.
write_system_reg() {
  local prefix=$1 key=${2//\\/\\\\} value=$3 data=${4//\\/\\\\}
  {
    printf 'WINE REGISTRY Version 2\n'
    printf ';; All keys relative to \\\\Machine\n\n'
    printf '#arch=win64\n\n'
    printf '[%s] 1700000000\n' "$key"
    printf '#time=1da0000000000000\n'
    printf '"%s"="%s"\n\n' "$value" "$data"
  } >"$prefix/system.reg"
}

# pack_strings OUT [KEY=TEXT ...]: strings_with the sample's settings, any
# version and language accepted, for trees whose program is game.exe.
pack_strings() {
  local out=$1
  shift
  strings_with "$out" "$@" 'REG_KEY=Software\Sample Studio\Sample Game' \
    'REG_DESTINATION=InstallPath' 'PROGRAM_NAME=Sample Game' 'SRC_EXE=game.exe' \
    'GAME_VERSION=' 'LANG_VERSION='
}

# strings_with OUT [KEY=TEXT ...]: the full string table of upkeep-pack with
# the given keys defined first (the first definition of a key wins);
# LOCALE=NAME adds a "Locale" call.
strings_with() {
  local out=$1
  shift
  local base
  base=$("$BIN/upkeep-pack" init-strings) || return 1
  {
    printf '!String(s, s)\r\n'
    local kv
    for kv in "$@"; do
      local k=${kv%%=*} v=${kv#*=}
      if [ "$k" = LOCALE ]; then
        printf '!Locale(s)\r\nLocale("%s")\r\n' "$v"
        continue
      fi
      v=${v//\\/\\\\}
      v=${v//\"/\\\"}
      printf 'String("%s", "%s")\r\n' "$k" "$v"
    done
    printf '%s\r\n' "$base"
  } >"$out"
}
