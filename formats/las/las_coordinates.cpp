#include "formats/las/las_coordinates.h"

#include <cmath>
#include <cstdio>

#include "formats/core/number_text.h"

namespace levelling {

bool fits_in_integers(double low, double high, double scale, double offset) {
  return (low - offset) / scale >= double(INT32_MIN) &&
         (high - offset) / scale <= double(INT32_MAX);
}

bool written_box(const StreamOptions &options, double box[2 * kAxes]) {
  if (options.write.box == nullptr) {
    return false;
  }
  if (options.write.motion == nullptr) {
    std::copy(options.write.box, options.write.box + 2 * kAxes, box);
    return true;
  }
  for (int k = 0; k < kAxes; ++k) {
    box[k] = HUGE_VAL;
    box[kAxes + k] = -HUGE_VAL;
  }
  for (int corner = 0; corner < 8; ++corner) {
    double p[kAxes];
    for (int k = 0; k < kAxes; ++k) {
      p[k] = options.write.box[((corner >> k) & 1) != 0 ? kAxes + k : k];
    }
    for (int k = 0; k < kAxes; ++k) {
      const double (*m)[4] = options.write.motion;
      const double moved = m[k][0] * p[0] + m[k][1] * p[1] + m[k][2] * p[2] + m[k][3];
      box[k] = std::min(box[k], moved);
      box[kAxes + k] = std::max(box[kAxes + k], moved);
    }
  }
  return true;
}

void choose_offsets(const StreamOptions &options, const double scale[kAxes], const double *keep,
                    double offset[kAxes]) {
  double box[2 * kAxes];
  const bool known = written_box(options, box);
  for (int k = 0; k < kAxes; ++k) {
    offset[k] = keep != nullptr ? keep[k] : 0.0;
    if (!known || box[k] > box[kAxes + k] ||
        fits_in_integers(box[k], box[kAxes + k], scale[k], offset[k])) {
      continue;
    }
    const double centre = box[k] / 2 + box[kAxes + k] / 2;
    const double whole = std::round(centre);
    offset[k] = fits_in_integers(box[k], box[kAxes + k], scale[k], whole) ? whole : centre;
  }
}

size_t quantise(const double *values, size_t n, double scale, double offset, int32_t *integers) {
  constexpr double kLow = double(INT32_MIN) - 0.5, kHigh = double(INT32_MAX) + 0.5;
  bool all_fit = true;
  for (size_t i = 0; i < n; ++i) {
    const double q = (values[i] - offset) / scale;
    const bool fits = q > kLow && q < kHigh;  // false for NaN
    all_fit = all_fit && fits;
    const double held = fits ? q : 0.0;
    // q less its whole part is exact, so the comparison with a half is too.
    const int64_t whole = int64_t(held);
    const double part = held - double(whole);
    integers[i] = int32_t(whole + int64_t(part >= 0.5) - int64_t(part <= -0.5));
  }
  if (all_fit) {
    return n;
  }
  size_t i = 0;
  while (i < n) {
    const double q = (values[i] - offset) / scale;
    if (!(q > kLow && q < kHigh)) {
      break;
    }
    ++i;
  }
  return i;
}

std::string beyond_integers(int64_t point, int axis, double scale, double offset) {
  char text[160];
  std::snprintf(text, sizeof text,
                "point %lld: the levelled %s does not fit LAS's 32-bit integers at scale %g and "
                "offset %.17g",
                static_cast<long long>(point), kCoordinateNames[axis], scale, offset);
  return text;
}

void store_box(const StreamOptions &options, const double scale[kAxes],
               const double offset[kAxes], char *bounds) {
  double box[2 * kAxes] = {};
  const bool known = written_box(options, box);
  for (int k = 0; k < kAxes && known; ++k) {
    box[k] = std::floor((box[k] - offset[k]) / scale[k]) * scale[k] + offset[k];
    box[kAxes + k] = std::ceil((box[kAxes + k] - offset[k]) / scale[k]) * scale[k] + offset[k];
  }
  for (int k = 0; k < kAxes; ++k) {
    put(bounds, 16 * size_t(k), box[kAxes + k]);
    put(bounds, 16 * size_t(k) + 8, box[k]);
  }
}

void patch_bounds(ByteWriter *out, int64_t header_at, const IntegerBounds &bounds,
                  const double scale[kAxes], const double offset[kAxes]) {
  char bytes[6 * sizeof(double)];
  bounds.store(scale, offset, bytes);
  if (out->can_patch(header_at + int64_t(kBounds))) {
    out->patch(header_at + int64_t(kBounds), bytes, sizeof bytes);
  }
}

bool decimals_of_scale(const double scale[kAxes], int *decimals) {
  *decimals = 0;
  for (int k = 0; k < kAxes; ++k) {
    const int d = int(std::lround(-std::log10(scale[k])));
    if (d < 0 || d > kMaxFixedDecimals || std::fabs(scale[k] * std::pow(10.0, d) - 1.0) > 1e-9) {
      return false;
    }
    *decimals = std::max(*decimals, d);
  }
  return true;
}

}  // namespace levelling
