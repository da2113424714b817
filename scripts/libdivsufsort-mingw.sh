#!/usr/bin/env bash
# Builds libdivsufsort (static) for the MinGW targets from Debian's source
# package, the version the Linux build links: upkeep-pack's extended search
# sorts the old file with it, so that the Windows tool writes the same deltas
# as the Linux one. The version is pinned and the tarball checked; nothing of
# it lives in the tree.
# Usage: scripts/libdivsufsort-mingw.sh [TRIPLE...]   (default: both targets)
# Result: build/deps/TRIPLE/{include/divsufsort.h,lib/libdivsufsort.a}
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=lib/debian-source.bash
. "$root/scripts/lib/debian-source.bash"
version=2.0.1
debian_version=2.0.1-5
sha256=55c02c86ea1763f581e0f50440008c554b8da2272129adee4ac84cb1362018bc
triples=("$@")
[ ${#triples[@]} -gt 0 ] || triples=(x86_64-w64-mingw32 i686-w64-mingw32)

todo=()
for t in "${triples[@]}"; do
  [ -f "$root/build/deps/$t/lib/libdivsufsort.a" ] || todo+=("$t")
done
[ ${#todo[@]} -gt 0 ] || exit 0

src="$root/build/deps/src"
tarball="$src/libdivsufsort_$version.orig.tar.bz2"
fetch_debian_source libdivsufsort "$debian_version" "$tarball" "$sha256"

for t in "${todo[@]}"; do
  out="$root/build/deps/$t"
  work="$src/libdivsufsort-$version-$t"
  rm -rf "$work" && mkdir -p "$work/source" "$work/build" "$out/include" "$out/lib"
  tar -xjf "$tarball" -C "$work/source" --strip-components=1
  (cd "$work/build" && cmake ../source -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_C_COMPILER="$t-gcc" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DBUILD_EXAMPLES=OFF \
    -DCMAKE_INSTALL_PREFIX="$out" -Wno-dev >/dev/null && make -s -j2 >/dev/null &&
    make -s install >/dev/null)
  rm -rf "$work" "$out/lib/pkgconfig"
  echo "libdivsufsort $version built for $t"
done
