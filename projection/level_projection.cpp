#include "projection/level_projection.h"

#include <algorithm>
#include <cmath>

#include "linalg/matrix.h"
#include "linalg/point_count.h"
#include "projection/levelling_angles.h"

namespace levelling {

namespace {

constexpr int kHomogeneous = 4;  // rows of a homogeneous point matrix, sides of a transform
// Points levelled together: the columns of the scratch point matrices. Five 4-row matrices of
// this many floats (40 KiB) stay in the processor's nearest caches; measured, 512 beat 256 and
// 1024.
constexpr int kBlockPoints = 512;

// Fills the 4 x 4 matrix `m` with the given rows.
void fill_transform(Matrix m, const float (&rows)[kHomogeneous][kHomogeneous]) {
  for (int r = 0; r < kHomogeneous; ++r) {
    for (int c = 0; c < kHomogeneous; ++c) {
      m[r][c] = rows[r][c];
    }
  }
}

// The height of the plane z = a*x + b*y + c above (x, y), summed as (a*x + b*y) + c.
float lifted_z(float x, float y, float a, float b, float c) {
  return float((double(a) * x + double(b) * y) + c);
}

// When both operands of an operation are NaN, IEEE 754 leaves open which one the result
// carries, and a compiler picks one by where it keeps its registers; a NaN's sign shows when it
// is printed. The functions below pin it where a NaN came out, as the point-by-point loops have
// always given it on x86-64: a coordinate's NaN wins over a slope's, a sum's over the term added.
double pinned_product(double coordinate, double slope) {
  return std::isnan(coordinate) ? coordinate : slope * coordinate;
}
double pinned_sum(double sum, double term) { return std::isnan(sum) ? sum : sum + term; }

// lifted_z with the NaN of each operation pinned.
float pinned_lifted_z(float x, float y, float a, float b, float c) {
  return float(pinned_sum(pinned_sum(pinned_product(x, a), pinned_product(y, b)), c));
}

// heights[i] = lifted_z(xs[i], ys[i], a, b, c) for i < n; the three arrays are distinct.
void lift_heights(int n, const float *xs, const float *ys, float a, float b, float c,
                  float *heights) {
  int nan_count = 0;
  for (int i = 0; i < n; ++i) {
    heights[i] = lifted_z(xs[i], ys[i], a, b, c);
    nan_count += heights[i] != heights[i];  // true only for NaN; no branch, so it vectorises
  }
  for (int i = 0; nan_count > 0 && i < n; ++i) {
    if (std::isnan(heights[i])) {
      heights[i] = pinned_lifted_z(xs[i], ys[i], a, b, c);
    }
  }
}

}  // namespace

double vector_norm(int len, const float *v) {
  double sum = 0.0;
  for (int i = 0; i < len; ++i) {
    sum = sum + double(v[i]) * v[i];
  }
  return std::sqrt(sum);
}

void level_plane_projection(const float *xs, const float *ys, float count, float *out_x,
                            float *out_y, float *out_z, float a, float b, float c, float *angle_y,
                            float *angle_x, bool centre) {
  const int m = whole_point_count(count);
  // The columns of every scratch point matrix: one block of points, or all when fewer.
  const int block = m < kBlockPoints ? m : kBlockPoints;

  // The centroid of the lifted points (the origin when there are none), in a pass of its own;
  // only a centred levelling uses it.
  float mx = 0.0f;
  float my = 0.0f;
  float mz = 0.0f;
  if (centre && m > 0) {
    double sum_x = 0.0;
    double sum_y = 0.0;
    double sum_z = 0.0;
    for (int i = 0; i < m; ++i) {
      sum_x = sum_x + xs[i];
      sum_y = sum_y + ys[i];
      sum_z = sum_z + lifted_z(xs[i], ys[i], a, b, c);
    }
    if (std::isnan(sum_x) || std::isnan(sum_y) || std::isnan(sum_z)) {
      sum_x = sum_y = sum_z = 0.0;
      for (int i = 0; i < m; ++i) {
        sum_x = pinned_sum(sum_x, xs[i]);
        sum_y = pinned_sum(sum_y, ys[i]);
        sum_z = pinned_sum(sum_z, pinned_lifted_z(xs[i], ys[i], a, b, c));
      }
    }
    const float stored_sum_y = float(sum_y);
    const float stored_sum_z = float(sum_z);
    mx = float(sum_x / m);
    my = float(stored_sum_y / double(m));
    mz = float(stored_sum_z / double(m));
  }

  Matrix lifted = matrix_alloc(kHomogeneous, block);
  Matrix to_centroid = matrix_alloc(kHomogeneous, kHomogeneous);
  fill_transform(to_centroid, {{1.0f, 0.0f, 0.0f, -mx},
                               {0.0f, 1.0f, 0.0f, -my},
                               {0.0f, 0.0f, 1.0f, -mz},
                               {0.0f, 0.0f, 0.0f, 1.0f}});
  Matrix centred = matrix_alloc(kHomogeneous, block);

  // The levelling angles, and the turns about y and then x that they stand for.
  float level_y;
  float level_x;
  levelling_angles(a, b, &level_y, &level_x);
  *angle_y = level_y;
  *angle_x = level_x;
  const double cos_y = std::cos(double(level_y));
  const double sin_y = std::sin(double(level_y));
  Matrix about_y = matrix_alloc(kHomogeneous, kHomogeneous);
  fill_transform(about_y, {{float(cos_y), 0.0f, float(-sin_y), 0.0f},
                           {0.0f, 1.0f, 0.0f, 0.0f},
                           {float(sin_y), 0.0f, float(cos_y), 0.0f},
                           {0.0f, 0.0f, 0.0f, 1.0f}});
  Matrix turned_y = matrix_alloc(kHomogeneous, block);

  const double cos_x = std::cos(double(level_x));
  const double sin_x = std::sin(double(level_x));
  Matrix about_x = matrix_alloc(kHomogeneous, kHomogeneous);
  fill_transform(about_x, {{1.0f, 0.0f, 0.0f, 0.0f},
                           {0.0f, float(cos_x), float(sin_x), 0.0f},
                           {0.0f, float(-sin_x), float(cos_x), 0.0f},
                           {0.0f, 0.0f, 0.0f, 1.0f}});
  Matrix levelled = matrix_alloc(kHomogeneous, block);

  Matrix from_centroid = matrix_alloc(kHomogeneous, kHomogeneous);
  fill_transform(from_centroid, {{1.0f, 0.0f, 0.0f, mx},
                                 {0.0f, 1.0f, 0.0f, my},
                                 {0.0f, 0.0f, 1.0f, mz},
                                 {0.0f, 0.0f, 0.0f, 1.0f}});
  Matrix restored = matrix_alloc(kHomogeneous, block);

  // Block by block: lift, centre when asked, turn about y, then about x, move back when
  // centred, and copy out. Every column goes through the same products as it would in one
  // matrix of all the points.
  ConstMatrix source = centre ? centred : lifted;
  ConstMatrix result = centre ? restored : levelled;
  for (int first = 0; first < m; first += block) {
    const int width = m - first < block ? m - first : block;
    // Whole rows are copied, and the heights computed from the block's own rows, so that the
    // loops run without the caller's arrays in them and vectorise.
    std::copy(xs + first, xs + first + width, lifted[0]);
    std::copy(ys + first, ys + first + width, lifted[1]);
    lift_heights(width, lifted[0], lifted[1], a, b, c, lifted[2]);
    std::fill(lifted[3], lifted[3] + width, 1.0f);
    if (centre) {
      matrix_multiply(kHomogeneous, kHomogeneous, width, to_centroid, lifted, centred);
    }
    matrix_multiply(kHomogeneous, kHomogeneous, width, about_y, source, turned_y);
    matrix_multiply(kHomogeneous, kHomogeneous, width, about_x, turned_y, levelled);
    if (centre) {
      matrix_multiply(kHomogeneous, kHomogeneous, width, from_centroid, levelled, restored);
    }
    std::copy(result[0], result[0] + width, out_x + first);
    std::copy(result[1], result[1] + width, out_y + first);
    std::copy(result[2], result[2] + width, out_z + first);
  }

  matrix_free(kHomogeneous, lifted);
  matrix_free(kHomogeneous, to_centroid);
  matrix_free(kHomogeneous, centred);
  matrix_free(kHomogeneous, about_y);
  matrix_free(kHomogeneous, turned_y);
  matrix_free(kHomogeneous, about_x);
  matrix_free(kHomogeneous, levelled);
  matrix_free(kHomogeneous, from_centroid);
  matrix_free(kHomogeneous, restored);
}

}  // namespace levelling
