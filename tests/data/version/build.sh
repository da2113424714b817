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
# The same resources through the Visual Studio compatible tools, when present:
# NAME-msvc64.exe and NAME-msvc32.exe.
if command -v llvm-rc >/dev/null && command -v lld-link >/dev/null && command -v clang >/dev/null; then
  printf 'int mainCRTStartup(void) { return 0; }\n' >"$out/entry.c"
  for rc in "$here"/*.rc; do
    name=$(basename "$rc" .rc)
    for arch in x86_64:x64:64 i686:x86:32; do
      IFS=: read -r triple machine bits <<<"$arch"
      clang --target="$triple-pc-windows-msvc" -c "$out/entry.c" -o "$out/entry.obj"
      # These tools read any argument that starts with a slash as an option
      # (/c..., /d..., /i... match theirs), so inputs are passed after "--" or
      # by names relative to the output folder.
      llvm-rc /C 1252 /fo "$out/$name.res" -- "$rc" >/dev/null
      (cd "$out" && lld-link /nologo /nodefaultlib /entry:mainCRTStartup /subsystem:console \
        "/machine:$machine" entry.obj "$name.res" "/out:$name-msvc$bits.exe" >/dev/null)
      rm -f "$out/entry.obj" "$out/$name.res"
    done
  done
  rm -f "$out/entry.c"
fi
rm -f "$out/stub.c"
