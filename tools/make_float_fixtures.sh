#!/bin/sh
# Writes tests/data/float/: small OpenEXR, Radiance, TIFF and 16-bit PNG
# files made by other encoders (OpenImageIO's oiiotool, ImageMagick), for the
# reader tests, the damage sweep and the fuzz seeds. Run from the checkout.
set -e
out=tests/data/float
mkdir -p "$out"
pattern="--pattern fill:topleft=0.02,0.5,3,1:topright=4,0.1,0,0.5:bottomleft=0,1,0.25,0:bottomright=0.5,0.5,0.5,1"
oiiotool $pattern 13x9 4 -d half --tile 8 8 --compression zip -o "$out/tiled-half-rgba.exr"
oiiotool $pattern 11x7 4 -d float --compression piz --origin +3+5 -o "$out/scan-float-offset.exr"
oiiotool $pattern 9x6 4 --ch R --chnames Y -d half -o "$out/grey-y.exr"
oiiotool $pattern 17x5 3 -o "$out/rle.hdr"
oiiotool $pattern 10x6 4 -d float -o "$out/strips-float-rgba.tif"
oiiotool $pattern 10x6 4 -d uint16 --tile 16 16 --compression lzw -o "$out/tiles-16-rgba.tif"
oiiotool $pattern 10x6 4 --ch R -d uint8 -o "$out/grey-8.tif"
convert -size 12x9 gradient:'#10ff2080'-'#ff003000' -depth 16 -interlace PNG "PNG64:$out/interlaced-16-rgba.png"
convert -size 12x9 gradient:'#10ff2080'-'#ff003000' -depth 16 "PNG64:$out/plain-16-rgba.png"
