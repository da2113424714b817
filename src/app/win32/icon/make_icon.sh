#!/usr/bin/env bash
# Renders upkeep_icon.svg into the multi-size upkeep.ico that upkeep.rc embeds as
# icon 128. Run it after changing the drawing and commit both files: the build
# itself only reads the .ico, so it needs no image tools.
set -euo pipefail
cd "$(dirname "$0")"
convert=/usr/bin/convert
[ -x "$convert" ] || convert=convert
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$convert" -background none msvg:upkeep_icon.svg -depth 8 "$tmp/256.png"
sizes=(16 20 24 32 40 48 64 256)
frames=()
for s in "${sizes[@]}"; do
  "$convert" "$tmp/256.png" -filter Lanczos -resize "${s}x${s}" -depth 8 "PNG32:$tmp/$s.png"
  frames+=("$tmp/$s.png")
done
"$convert" "${frames[@]}" ../upkeep.ico
echo "wrote $(cd .. && pwd)/upkeep.ico: ${sizes[*]}"
