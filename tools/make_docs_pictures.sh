#!/bin/sh
# Makes the README's pictures in docs/ with the tool itself (make docs):
# the rip and the mip atlas of samples/wall.bmp as PNG files, compressed at
# zlib's level 9 to keep them small.
#   make_docs_pictures.sh ORVANDEL_BINARY
set -e
tool=${1:?usage: make_docs_pictures.sh ORVANDEL_BINARY}
root=$(dirname "$0")/..
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$tool" -q -f png --png-level 9 -l rip -o "$work/rip" "$root/samples/wall.bmp"
"$tool" -q -f png --png-level 9 -l mip -o "$work/mip" "$root/samples/wall.bmp"
mkdir -p "$root/docs"
cp "$work/rip/wall_mip.png" "$root/docs/wall-rip-atlas.png"
cp "$work/mip/wall_mip.png" "$root/docs/wall-mip-atlas.png"
echo "docs/wall-rip-atlas.png, docs/wall-mip-atlas.png"
