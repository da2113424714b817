#!/usr/bin/env bash
# Builds the Windows updater stub and authoring tool, build/windows/bin/upkeep.exe
# and upkeep-pack.exe (x86_64; ARCH=i686 gives build/windows-i686/bin/), without
# the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${ARCH:-x86_64}
dir=build/windows
[ "$arch" = x86_64 ] || dir=build/windows-$arch
scripts/install-deps.sh
scripts/libdeflate-mingw.sh "$arch-w64-mingw32"
scripts/liblzma-mingw.sh "$arch-w64-mingw32"
scripts/libdivsufsort-mingw.sh "$arch-w64-mingw32"
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-$arch.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPKEEP_TESTS=OFF >/dev/null
ninja -C "$dir" upkeep upkeep-pack
echo "$dir/bin/upkeep.exe $dir/bin/upkeep-pack.exe"
