#!/usr/bin/env bash
# Regenerates resources/setup.ico: a navy tile with a white label and the red
# accent stripe, drawn from shapes only so the result does not depend on fonts.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/convert -size 256x256 xc:none \
  -fill '#101C2F' -draw 'roundrectangle 8,8 247,247 40,40' \
  -fill '#F4F6FA' -draw 'roundrectangle 60,56 196,200 14,14' \
  -fill '#101C2F' -draw 'circle 82,78 90,78' \
  -fill '#E51F30' -draw 'rectangle 60,150 196,166' \
  -fill '#21293A' -draw 'rectangle 86,104 170,114' -draw 'rectangle 86,124 150,134' \
  "$work/base.png"
/usr/bin/convert "$work/base.png" -depth 8 -define icon:auto-resize=256,128,64,48,32,24,16 "$here/resources/setup.ico"
echo "wrote $here/resources/setup.ico"
