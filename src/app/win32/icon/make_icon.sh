#!/usr/bin/env bash
# Renders upkeep_icon.svg into the multi-size icon that upkeep.rc embeds as
# icon 128; the Windows build runs it (librsvg draws, ImageMagick scales and packs).
# usage: make_icon.sh OUT.ico
set -euo pipefail
out=$(realpath -m "${1:?output .ico}")
mkdir -p "$(dirname "$out")"
cd "$(dirname "$0")"
convert=/usr/bin/convert
[ -x "$convert" ] || convert=convert
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
rsvg-convert -w 256 -h 256 -f png -o "$tmp/256.png" upkeep_icon.svg
sizes=(16 20 24 32 40 48 64 256)
frames=()
for s in "${sizes[@]}"; do
  "$convert" "$tmp/256.png" -filter Lanczos -resize "${s}x${s}" -depth 8 "PNG32:$tmp/$s.png"
  frames+=("$tmp/$s.png")
done
"$convert" "${frames[@]}" "$out"
