#!/usr/bin/env bash
# Regenerates the README's picture: the dashboard of a finished run, drawn by the same painting
# code as VELMORA.exe through the Cairo canvas, reduced to a small PNG in docs/.
# Usage: scripts/readme-picture.sh   (after `cmake --build --preset linux`)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
render="$here/build/linux/meter/ui/velmora-render"
[ -x "$render" ] || { echo "readme-picture: build the linux preset first" >&2; exit 1; }
full=$(mktemp --suffix=.png)
trap 'rm -f "$full"' EXIT
"$render" "$full" done
convert "$full" -resize 60% -colors 64 -strip "$here/docs/velmora.png"
echo "readme-picture: $(identify -format '%wx%h, %b' "$here/docs/velmora.png") in docs/velmora.png"
