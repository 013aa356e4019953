#ifndef ORVANDEL_BUILDERS_CLASSIC_H
#define ORVANDEL_BUILDERS_CLASSIC_H

#include <cstdint>

#include "picture/bmp_layout.h"
#include "picture/image.h"
#include "picture/row_destination.h"

namespace orvandel {

// Fill a canvas (2W x 2H, or 2W x H for the mip strip, source in the
// top-left corner, zero elsewhere) with halved copies of the source, in place.
// The rip grid holds every combination of horizontal and vertical
// halvings; the mip strip holds successive 2x2 box halvings side by side.
void build_classic_rip(Image* canvas);
void build_classic_mip(Image* canvas);
// The same on a canvas held as its BMP file: the same bytes as the Pixel
// canvas gives the file, without a conversion for the writer.
void build_classic_rip(BgrImage* canvas);
void build_classic_mip(BgrImage* canvas);

// The three filters. Each reads the block (x, y, w, h) of the canvas and writes
// a halved copy of it in place, reading what the canvas holds at that moment:
//   halve_horizontal: (w + 1)/2 x h copy at (x + w, y)
//   halve_vertical:   w x (h + 1)/2 copy at (x, y + h)
//   halve_box:        (w + 1)/2 x (h + 1)/2 copy at (x + w, y)
// The fit check reserves only w/2 columns (h/2 rows for halve_vertical) for the
// copy; 0 means refused and nothing written, 1 means done. An odd size pairs
// the block's last column (row) with the one beyond it. Pixels outside the
// canvas read as zero and copies falling outside it are dropped, so a call
// whose extra column or row, or whose last odd pair, reaches past the canvas
// edge never touches memory outside the canvas.
int halve_horizontal(Image* canvas, int32_t x, int32_t y, int32_t w, int32_t h);
int halve_vertical(Image* canvas, int32_t x, int32_t y, int32_t w, int32_t h);
int halve_box(Image* canvas, int32_t x, int32_t y, int32_t w, int32_t h);

// The canvas for a source of w x h: 2w wide, 2h (rip) or h (mip) high,
// black, with the source in its top-left corner. Null when its sizes do not
// fit 32 bits, when the atlas would not fit a BMP file, or when the memory is
// not there.
ImagePtr new_canvas(const Image* source, bool rip);

// The same canvas held as the atlas's BMP file, as the classic run builds and
// writes it; null in the same cases.
BgrImagePtr new_file_canvas(const Image* source, bool rip);

// A picture's way straight into the corner of that file canvas: a reader
// given file_canvas_rows(&target) decodes its rows there, and target.canvas
// then holds the canvas (null until a reader asks, or when its memory could
// not be had).
struct FileCanvasTarget {
    bool rip = true;
    BgrImagePtr canvas;
};
RowDestination file_canvas_rows(FileCanvasTarget* target);

// The classic atlas built where its BMP file's bytes are: in `canvas`, which
// already holds the picture in its corner, or, where that is null, in a new
// canvas that takes `picture` over (released as soon as it is copied). Null
// when the canvas memory cannot be had.
BgrImagePtr build_classic_file_atlas(ImagePtr picture, BgrImagePtr canvas, bool rip);

// The row kernels of the BMP-file canvas, on a chosen level (the builders use
// the level in use; every level gives the same bytes). Three bytes a pixel,
// each channel averaged on its own and rounded down:
//   halve_bgr_row_pairs: out pixel k from in pixels 2k, 2k + 1
//   average_bgr_rows:    out pixel k from upper and lower pixel k (count pixels)
//   box_bgr_rows:        out pixel k from pixels 2k, 2k + 1 of both rows
void halve_bgr_row_pairs(const uint8_t* in, uint8_t* out, int32_t pairs, Isa isa);
void average_bgr_rows(const uint8_t* upper, const uint8_t* lower, uint8_t* out, int32_t count, Isa isa);
void box_bgr_rows(const uint8_t* upper, const uint8_t* lower, uint8_t* out, int32_t pairs, Isa isa);

}  // namespace orvandel

#endif
