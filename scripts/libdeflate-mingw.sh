#!/usr/bin/env bash
# Builds libdeflate for the MinGW targets from Debian's own source package, so
# the Windows updater checksums and inflates as fast as the Linux one. The
# version is pinned and the tarball checked; nothing of it lives in the tree.
# Usage: scripts/libdeflate-mingw.sh [TRIPLE...]   (default: both targets)
# Result: build/deps/TRIPLE/{include/libdeflate.h,lib/libdeflate.a}
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=lib/debian-source.bash
. "$root/scripts/lib/debian-source.bash"
version=1.14
debian_version=1.14-1
sha256=89e7df898c37c3427b0f39aadcf733731321a278771d20fc553f92da8d4808ac
triples=("$@")
[ ${#triples[@]} -gt 0 ] || triples=(x86_64-w64-mingw32 i686-w64-mingw32)

todo=()
for t in "${triples[@]}"; do
  [ -f "$root/build/deps/$t/lib/libdeflate.a" ] || todo+=("$t")
done
[ ${#todo[@]} -gt 0 ] || exit 0

src="$root/build/deps/src"
tarball="$src/libdeflate_$version.orig.tar.gz"
fetch_debian_source libdeflate "$debian_version" "$tarball" "$sha256"
rm -rf "$src/libdeflate-$version"
tar -xzf "$tarball" -C "$src"

for t in "${todo[@]}"; do
  out="$root/build/deps/$t"
  obj="$out/obj"
  # The folder is shared with the other libraries built for the target.
  rm -rf "$obj" "$out/include/libdeflate.h" "$out/lib/libdeflate.a"
  mkdir -p "$obj" "$out/include" "$out/lib"
  for c in "$src/libdeflate-$version"/lib/*.c "$src/libdeflate-$version"/lib/x86/*.c; do
    "$t-gcc" -O2 -std=c99 -DLIBDEFLATE_STATIC -I"$src/libdeflate-$version" \
      -c "$c" -o "$obj/$(basename "$c" .c).o"
  done
  "$t-ar" rcs "$out/lib/libdeflate.a" "$obj"/*.o
  cp "$src/libdeflate-$version/libdeflate.h" "$out/include/"
  rm -rf "$obj"
  echo "libdeflate $version built for $t"
done
