// A picture in memory: 8-bit red, green and blue, rows top to bottom.
#ifndef LEVELLING_MAP_RGB_IMAGE_H
#define LEVELLING_MAP_RGB_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace levelling {

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
  bool operator==(const Rgb &other) const {
    return r == other.r && g == other.g && b == other.b;
  }
  bool operator!=(const Rgb &other) const { return !(*this == other); }
};

struct RgbImage {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;  // width * height * 3 bytes

  RgbImage(int w, int h, const Rgb &background) : width(w), height(h) {
    pixels.resize(size_t(w) * size_t(h) * 3);
    fill(0, 0, w, h, background);
  }
  // Sets one pixel; a place outside the picture is passed over.
  void set(int x, int y, const Rgb &colour) {
    if (x < 0 || y < 0 || x >= width || y >= height) {
      return;
    }
    uint8_t *at = &pixels[(size_t(y) * size_t(width) + size_t(x)) * 3];
    at[0] = colour.r;
    at[1] = colour.g;
    at[2] = colour.b;
  }
  Rgb at(int x, int y) const {
    const uint8_t *p = &pixels[(size_t(y) * size_t(width) + size_t(x)) * 3];
    return {p[0], p[1], p[2]};
  }
  // Fills the w x h rectangle whose top left corner is (x, y).
  void fill(int x, int y, int w, int h, const Rgb &colour) {
    for (int row = y; row < y + h; ++row) {
      for (int column = x; column < x + w; ++column) {
        set(column, row, colour);
      }
    }
  }
};

}  // namespace levelling

#endif
