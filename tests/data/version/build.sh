#!/usr/bin/env bash
# Builds one 64-bit and one 32-bit program from each .rc beside this script,
# into the folder given: NAME-64.exe and NAME-32.exe.
set -euo pipefail
out=${1:?output folder}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
printf 'int main(void) { return 0; }\n' >"$out/stub.c"
for rc in "$here"/*.rc; do
  name=$(basename "$rc" .rc)
  for arch in x86_64:64 i686:32; do
    prefix=${arch%%:*}-w64-mingw32
    bits=${arch##*:}
    "$prefix-windres" "$rc" -O coff -o "$out/$name-$bits.res.o"
    "$prefix-gcc" -o "$out/$name-$bits.exe" "$out/stub.c" "$out/$name-$bits.res.o"
    rm -f "$out/$name-$bits.res.o"
  done
done
rm -f "$out/stub.c"
