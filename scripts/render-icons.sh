#!/bin/sh
# Renders a badge icon's SVG at 16, 24, 32, 48 and 256 pixels and packs the five 32-bit
# images into one .ico, the 256-pixel one PNG-compressed as the format allows.
# Usage: render-icons.sh SOURCE.svg OUTPUT.ico
#        render-icons.sh --sheet OUTPUT.png SOURCE.svg...   (a row of the icons at 64 px)
set -eu
if [ "$1" = "--sheet" ]; then
  out=$2; shift 2
  work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
  count=$#; x=0
  {
    echo "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"$((count * 80))\" height=\"80\">"
    for svg in "$@"; do
      # Each icon's drawing (all but its first and last line) at its place, at a quarter.
      echo "<g transform=\"translate($((x + 8)) 8) scale(0.25)\">"
      sed -e '1d' -e '$d' "$svg"
      echo "</g>"
      x=$((x + 80))
    done
    echo "</svg>"
  } > "$work/sheet.svg"
  rsvg-convert -o "$out" "$work/sheet.svg"
  exit 0
fi
source=$1
out=$2
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
for size in 16 24 32 48 256; do
  rsvg-convert -w "$size" -h "$size" -o "$work/$size.png" "$source"
done
mkdir -p "$(dirname "$out")"
icotool -c -o "$out" "$work/16.png" "$work/24.png" "$work/32.png" "$work/48.png" -r "$work/256.png"
