#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; does nothing when
# they are all there already.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config zlib1g-dev libgtest-dev googletest
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 libz-mingw-w64-dev binutils-mingw-w64-x86-64
  wine wine64 xvfb x11-apps x11-utils xdotool imagemagick librsvg2-bin libdeflate-dev libdivsufsort-dev liblzma-dev
  xdelta3 bsdiff liblnk-utils osslsigncode openssl locales
  clang libclang-rt-14-dev
  patch bzip2
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
