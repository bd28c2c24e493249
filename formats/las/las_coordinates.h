// LAS coordinates written: the offsets chosen for the levelled box, the values quantised into
// 32-bit integers, and the header's bounds from the integers written. Internal to formats/.
#ifndef LEVELLING_FORMATS_LAS_LAS_COORDINATES_H
#define LEVELLING_FORMATS_LAS_LAS_COORDINATES_H

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/core/byte_io.h"
#include "formats/core/cloud_stream.h"
#include "formats/las/las_header.h"

namespace levelling {

// Whether [low, high] at `scale` and `offset` holds in 32-bit integers.
bool fits_in_integers(double low, double high, double scale, double offset);

// The box the written points lie in (min x, y, z, max x, y, z): the input's box moved by the
// motion (its corners' box), false when no box was given.
bool written_box(const StreamOptions &options, double box[2 * kAxes]);

// The offsets of the written points: `keep` (the input's, or nullptr) on the axes where the
// written box fits in 32-bit integers with them, else the box's centre (rounded to a whole unit
// where that fits too). Without a box, `keep` or 0.
void choose_offsets(const StreamOptions &options, const double scale[kAxes], const double *keep,
                    double offset[kAxes]);

// Quantises n values at scale and offset into `integers` (to nearest, halves away from zero);
// returns the index of the first that does not fit in 32 bits (or is not finite), or n. The
// loop has no branch, so it runs at the speed of its arithmetic.
size_t quantise(const double *values, size_t n, double scale, double offset, int32_t *integers);

// The message for a point whose coordinate on `axis` does not fit in 32-bit integers.
std::string beyond_integers(int64_t point, int axis, double scale, double offset);

// The smallest and largest integers written on each axis, as the header's bounds.
struct IntegerBounds {
  int32_t low[kAxes] = {INT32_MAX, INT32_MAX, INT32_MAX};
  int32_t high[kAxes] = {INT32_MIN, INT32_MIN, INT32_MIN};
  bool any = false;

  void add(const int32_t *integers, size_t n, int axis) {
    for (size_t i = 0; i < n; ++i) {
      low[axis] = std::min(low[axis], integers[i]);
      high[axis] = std::max(high[axis], integers[i]);
    }
    any = any || n > 0;
  }

  // Stores the bounds (max x, min x, max y, min y, max z, min z) into header bytes.
  void store(const double scale[kAxes], const double offset[kAxes], char *bounds) const {
    for (int k = 0; k < kAxes; ++k) {
      put(bounds, 16 * size_t(k), any ? double(high[k]) * scale[k] + offset[k] : 0.0);
      put(bounds, 16 * size_t(k) + 8, any ? double(low[k]) * scale[k] + offset[k] : 0.0);
    }
  }
};

// Stores the written box's bounds (or zeros without one) into header bytes, until the points'
// own replace them: widened to the integers at `scale` and `offset` that hold it, so that they
// hold every point once quantised.
void store_box(const StreamOptions &options, const double scale[kAxes],
               const double offset[kAxes], char *bounds);

// Puts the bounds where the header written at `header_at` has them, where the output allows it
// (a pipe keeps the box's, which hold every point too).
void patch_bounds(ByteWriter *out, int64_t header_at, const IntegerBounds &bounds,
                  const double scale[kAxes], const double offset[kAxes]);

// The digits after the decimal point that the scales give (0.01: 2), false when one is no
// power of ten.
bool decimals_of_scale(const double scale[kAxes], int *decimals);

}  // namespace levelling

#endif
