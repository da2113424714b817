#!/usr/bin/env bash
# Builds liblzma (LZMA1/LZMA2 only, static, no threads) for the MinGW targets
# from Debian's xz-utils source package: extended deltas may carry LZMA2
# streams, which the Windows updater must decode. The version is pinned and
# the tarball checked; nothing of it lives in the tree.
# Usage: scripts/liblzma-mingw.sh [TRIPLE...]   (default: both targets)
# Result: build/deps/TRIPLE/{include/lzma.h,include/lzma/,lib/liblzma.a}
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
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
if [ ! -f "$tarball" ] || ! echo "$sha256  $tarball" | sha256sum -c --quiet 2>/dev/null; then
  list=/etc/apt/sources.list.d/upkeep-bookworm-src.sources
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' >"$list"
    apt-get update -qq
  fi
  mkdir -p "$src"
  (cd "$src" && apt-get source -qq --download-only "xz-utils=$debian_version" >/dev/null 2>&1) || {
    apt-get update -qq
    (cd "$src" && apt-get source -qq --download-only "xz-utils=$debian_version" >/dev/null)
  }
  echo "$sha256  $tarball" | sha256sum -c --quiet
fi

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
