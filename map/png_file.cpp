#include "map/png_file.h"

#include <png.h>

#include <csetjmp>
#include <vector>

namespace levelling {

namespace {

// libpng reports errors by calling back; the message is kept and the call returns by longjmp.
void keep_error(png_structp png, png_const_charp message) {
  auto *error = static_cast<std::string *>(png_get_error_ptr(png));
  *error = message;
  png_longjmp(png, 1);
}

void ignore_warning(png_structp, png_const_charp) {}

}  // namespace

bool write_png(const RgbImage &image, std::FILE *out, std::string *error) {
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, error, keep_error, ignore_warning);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    *error = "out of memory";
    return false;
  }
  std::vector<png_bytep> rows(size_t(image.height));
  if (setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, out);
  // Maps are flat colours: the fastest compression keeps most of what the best would.
  png_set_compression_level(png, 1);
  png_set_IHDR(png, info, png_uint_32(image.width), png_uint_32(image.height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  for (int y = 0; y < image.height; ++y) {
    rows[size_t(y)] = const_cast<png_bytep>(&image.pixels[size_t(y) * size_t(image.width) * 3]);
  }
  png_set_rows(png, info, rows.data());
  png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

bool read_png(std::FILE *in, RgbImage *image, std::string *error) {
  png_structp png =
      png_create_read_struct(PNG_LIBPNG_VER_STRING, error, keep_error, ignore_warning);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    *error = "out of memory";
    return false;
  }
  if (setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_init_io(png, in);
  png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  const int width = int(png_get_image_width(png, info));
  const int height = int(png_get_image_height(png, info));
  if (png_get_color_type(png, info) != PNG_COLOR_TYPE_RGB ||
      png_get_bit_depth(png, info) != 8) {
    png_destroy_read_struct(&png, &info, nullptr);
    *error = "not an 8-bit RGB PNG";
    return false;
  }
  png_bytepp rows = png_get_rows(png, info);
  *image = RgbImage(width, height, Rgb());
  for (int y = 0; y < height; ++y) {
    std::copy(rows[y], rows[y] + size_t(width) * 3,
              image->pixels.begin() + std::ptrdiff_t(size_t(y) * size_t(width) * 3));
  }
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

}  // namespace levelling
