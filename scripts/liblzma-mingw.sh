#!/usr/bin/env bash
# Builds liblzma (LZMA1/LZMA2 only, static, no threads) for the MinGW targets
# from Debian's xz-utils source package: extended deltas may carry LZMA2
# streams, which the Windows updater must decode. The version is pinned and
# the tarball checked; nothing of it lives in the tree.
# Usage: scripts/liblzma-mingw.sh [TRIPLE...]   (default: both targets)
# Result: build/deps/TRIPLE/{include/lzma.h,include/lzma/,lib/liblzma.a}
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=lib/debian-source.bash
. "$root/scripts/lib/debian-source.bash"
version=5.4.1
debian_version=5.4.1-1+deb12u1
sha256=5d9827aa1875b21c288f78864bb26d2650b436ea8d2cad364e4921eb6266a5a5
triples=("$@")
[ ${#triples[@]} -gt 0 ] || triples=(x86_64-w64-mingw32 i686-w64-mingw32)

todo=()
for t in "${triples[@]}"; do
  [ -f "$root/build/deps/$t/lib/liblzma.a" ] || todo+=("$t")
done
[ ${#todo[@]} -gt 0 ] || exit 0

src="$root/build/deps/src"
tarball="$src/xz-utils_$version.orig.tar.xz"
fetch_debian_source xz-utils "$debian_version" "$tarball" "$sha256"

for t in "${todo[@]}"; do
  out="$root/build/deps/$t"
  work="$src/xz-$version-$t"
  rm -rf "$work" && mkdir -p "$work" "$out/include" "$out/lib"
  tar -xJf "$tarball" -C "$work" --strip-components=1
  # Only the library, only what the updater and the tests use.
  (cd "$work" && ./configure -q --host="$t" --disable-shared --enable-static --disable-threads \
    --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo --disable-lzma-links \
    --disable-scripts --disable-doc --disable-nls --enable-encoders=lzma1,lzma2 \
    --enable-decoders=lzma1,lzma2 --enable-match-finders=hc4,bt4 --enable-checks=crc32 \
    CFLAGS=-O2 >/dev/null && make -s -C src/liblzma -j2 >/dev/null)
  cp "$work/src/liblzma/.libs/liblzma.a" "$out/lib/"
  cp -r "$work/src/liblzma/api/lzma.h" "$work/src/liblzma/api/lzma" "$out/include/"
  rm -rf "$work"
  echo "liblzma $version built for $t"
done
