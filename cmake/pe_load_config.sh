#!/usr/bin/env bash
# pe_load_config.sh EXE MAP: points the load-configuration directory (data
# directory 10) of EXE at its _load_config_used, found in the linker's MAP.
# Binutils before 2.41 define the symbol but leave the directory empty, so
# the loader would never see the structure. The size is the structure's own
# first field, as the loader expects.
set -euo pipefail
exe=$1
map=$2

address_of() {  # the address of symbol $1 (with any leading underscores) in the map
  sed -n "s/^[[:space:]]*0x\([0-9a-fA-F]*\)[[:space:]]*_*$1\([[:space:]]*=.*\)\{0,1\}\$/\1/p" "$map" | head -1
}
u32_at() {  # the little-endian u32 at file offset $1
  od -An -tu4 -j "$1" -N4 "$exe" | tr -d ' '
}
u16_at() {
  od -An -tu2 -j "$1" -N2 "$exe" | tr -d ' '
}
put_u32() {  # put_u32 OFFSET VALUE
  printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $(($2 & 255)) $((($2 >> 8) & 255)) \
    $((($2 >> 16) & 255)) $((($2 >> 24) & 255)))" |
    dd of="$exe" bs=1 seek="$1" conv=notrunc status=none
}

symbol=$(address_of load_config_used)
base=$(address_of image_base__)
[ -n "$symbol" ] && [ -n "$base" ] || {
  echo "pe_load_config: no _load_config_used or image base in $map" >&2
  exit 1
}
rva=$((0x$symbol - 0x$base))

pe=$(u32_at 60)
[ "$(u32_at "$pe")" = 17744 ] || { echo "pe_load_config: $exe is not a PE file" >&2; exit 1; }
optional=$((pe + 24))
case $(u16_at "$optional") in
  523) directories=$((optional + 112)) ;; # PE32+
  267) directories=$((optional + 96)) ;;  # PE32
  *) echo "pe_load_config: unknown optional header in $exe" >&2; exit 1 ;;
esac
[ "$(u32_at $((directories - 4)))" -gt 10 ] || { echo "pe_load_config: too few directories" >&2; exit 1; }

# The file offset of the RVA, through the section table, to read the size.
sections=$(u16_at $((pe + 6)))
table=$((optional + $(u16_at $((pe + 20)))))
offset=
for ((i = 0; i < sections; i++)); do
  s=$((table + i * 40))
  vsize=$(u32_at $((s + 8)))
  vaddr=$(u32_at $((s + 12)))
  raw=$(u32_at $((s + 20)))
  if [ "$rva" -ge "$vaddr" ] && [ "$rva" -lt $((vaddr + vsize)) ]; then
    offset=$((raw + rva - vaddr))
    break
  fi
done
[ -n "$offset" ] || { echo "pe_load_config: the structure lies in no section" >&2; exit 1; }
size=$(u32_at "$offset")
[ "$size" -ge 64 ] || { echo "pe_load_config: implausible size $size" >&2; exit 1; }

put_u32 $((directories + 10 * 8)) "$rva"
put_u32 $((directories + 10 * 8 + 4)) "$size"
