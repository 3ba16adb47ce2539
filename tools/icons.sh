#!/usr/bin/env bash
# Draws the program's icons with ImageMagick and writes them to res/icons/ (committed; run again after a change):
#   updater.ico  icon group 113: a helmet with its intercom and a green update arrow, 64, 32, 24 and 16 px
#   about.ico    icon group 120: the helmet with its intercom, 32 px
# Every image is 32-bit colour (8-bit alpha).
set -euo pipefail
cd "$(dirname "$0")/.."
out=res/icons
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

# The helmet, drawn on a 256 px canvas, facing right: shell, visor, chin vent, intercom unit and its boom
# microphone.
helmet=(
  -fill '#1d4f91' -stroke '#0d2a52' -strokewidth 6
  -draw "path 'M 34,196 C 22,120 60,34 140,30 C 200,28 236,76 236,128 L 236,206 C 236,214 230,218 222,218 L 46,218 C 38,218 35,208 34,196 Z'"
  -stroke none -fill '#3f7cc4'
  -draw "path 'M 62,120 C 66,74 100,48 142,46 C 120,60 96,84 88,122 Z'"
  -fill '#1a2230' -stroke '#0b1018' -strokewidth 4
  -draw "path 'M 128,92 L 236,92 L 236,150 L 140,150 C 128,150 122,140 122,128 L 122,100 C 122,96 124,92 128,92 Z'"
  -stroke none -fill '#6fa8dc'
  -draw "path 'M 134,100 L 200,100 L 186,112 L 132,112 Z'"
  -fill '#0d2a52' -draw "roundrectangle 190,170 226,182 5,5" -draw "roundrectangle 190,190 226,202 5,5"
  -fill '#f2a900' -stroke '#7a5200' -strokewidth 5
  -draw "roundrectangle 56,132 108,184 12,12"
  -fill none -stroke '#2b2b2b' -strokewidth 9
  -draw "path 'M 100,176 C 118,214 160,226 198,224'"
  -stroke none -fill '#2b2b2b' -draw "circle 202,224 214,224"
  -fill '#7a5200' -draw "circle 82,158 90,158"
)

# The update badge: a green disc with a white arrow pointing down.
badge=(
  -fill '#1f9d3a' -stroke '#ffffff' -strokewidth 10 -draw "circle 184,184 184,114"
  -stroke none -fill '#ffffff'
  -draw "polygon 168,136 200,136 200,178 224,178 184,226 144,178 168,178"
)

convert -size 256x256 xc:none "${helmet[@]}" PNG32:"$work/helmet.png"
convert "$work/helmet.png" "${badge[@]}" PNG32:"$work/updater.png"

for size in 64 32 24 16; do
  convert "$work/updater.png" -filter Lanczos -resize ${size}x${size} PNG32:"$work/updater-$size.png"
done
convert "$work/updater-64.png" "$work/updater-32.png" "$work/updater-24.png" "$work/updater-16.png" "$out/updater.ico"
convert "$work/helmet.png" -filter Lanczos -resize 32x32 PNG32:"$work/about-32.png"
convert "$work/about-32.png" "$out/about.ico"
echo "icons written to $out"
