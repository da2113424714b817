#!/usr/bin/env bash
# Unpacks zlib's deflate from Debian's source package into build/deps/src and
# adds gzip 1.x's way of ending blocks (scripts/patches/zlib-gzip-blocks.patch).
# Deltas of deflated files re-make those streams byte for byte, so `make` and
# every updater build compile this one pinned copy instead of whatever zlib the
# system has. CMake runs this when the folder is missing; nothing of it lives
# in the tree.
# Result: build/deps/src/zlib-deflate/{zlib.h,zconf.h,*.c}
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=lib/debian-source.bash
. "$root/scripts/lib/debian-source.bash"
debian_version=1:1.2.13.dfsg-1
sha256=71feb7947e3c00ef125f83b79a4e529bde31171e5babe48b391f06758d1ab0a1
patch_file="$root/scripts/patches/zlib-gzip-blocks.patch"
out="$root/build/deps/src/zlib-deflate"
stamp="$out/.patched"
want=$(sha256sum "$patch_file" | cut -d' ' -f1)
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then exit 0; fi

tarball="$root/build/deps/src/zlib_1.2.13.dfsg.orig.tar.bz2"
fetch_debian_source zlib "$debian_version" "$tarball" "$sha256"
rm -rf "$out.tmp" && mkdir -p "$out.tmp"
tar -xjf "$tarball" -C "$out.tmp" --strip-components=1
patch -s -d "$out.tmp" -p1 <"$patch_file"
echo "$want" >"$out.tmp/.patched"
rm -rf "$out" && mv "$out.tmp" "$out"
echo "zlib deflate 1.2.13 unpacked and patched"
