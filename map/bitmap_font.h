// A 5 x 7 pixel font of capitals, digits and the punctuation of numbers and file names, for the
// labels of a map (lower case is drawn as capitals, anything else as '?').
#ifndef LEVELLING_MAP_BITMAP_FONT_H
#define LEVELLING_MAP_BITMAP_FONT_H

#include <string>

#include "map/rgb_image.h"

namespace levelling {

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;

// Whether pixel (column, row) of c's glyph is set (false outside it).
bool glyph_pixel(char c, int column, int row);

// The width in pixels of `text` drawn at `scale` (a column between glyphs).
int text_width(const std::string &text, int scale);

// Draws `text` with its top left corner at (x, y), each glyph pixel a scale x scale square.
void draw_text(const std::string &text, int x, int y, int scale, const Rgb &colour,
               RgbImage *image);

}  // namespace levelling

#endif
