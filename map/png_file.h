// PNG files of RGB pictures, through libpng.
#ifndef LEVELLING_MAP_PNG_FILE_H
#define LEVELLING_MAP_PNG_FILE_H

#include <cstdio>
#include <string>

#include "map/rgb_image.h"

namespace levelling {

// Writes the picture as an 8-bit RGB PNG to `out`. False with libpng's reason in *error.
bool write_png(const RgbImage &image, std::FILE *out, std::string *error);

// Reads an 8-bit RGB PNG (as write_png writes them) from `in` into *image. False with the
// reason in *error for anything else.
bool read_png(std::FILE *in, RgbImage *image, std::string *error);

}  // namespace levelling

#endif
