#include "projection/level_projection.h"

#include <cmath>

#include "linalg/matrix.h"
#include "linalg/point_count.h"

namespace levelling {

namespace {

constexpr int kHomogeneous = 4;  // rows of a homogeneous point matrix, sides of a transform
constexpr int kVector = 3;

// Fills the 4 x 4 matrix `m` with the given rows.
void fill_transform(Matrix m, const float (&rows)[kHomogeneous][kHomogeneous]) {
  for (int r = 0; r < kHomogeneous; ++r) {
    for (int c = 0; c < kHomogeneous; ++c) {
      m[r][c] = rows[r][c];
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

  // The points lifted onto the plane, one homogeneous column each.
  Matrix lifted = matrix_alloc(kHomogeneous, m);
  for (int i = 0; i < m; ++i) {
    lifted[0][i] = xs[i];
    lifted[1][i] = ys[i];
    lifted[2][i] = float((double(a) * xs[i] + double(b) * ys[i]) + c);
    lifted[3][i] = 1.0f;
  }

  // The centroid of the lifted points (the origin when there are none).
  float mx = 0.0f;
  float my = 0.0f;
  float mz = 0.0f;
  if (m > 0) {
    double sum_x = 0.0;
    double sum_y = 0.0;
    double sum_z = 0.0;
    for (int i = 0; i < m; ++i) {
      sum_x = sum_x + lifted[0][i];
      sum_y = sum_y + lifted[1][i];
      sum_z = sum_z + lifted[2][i];
    }
    const float stored_sum_y = float(sum_y);
    const float stored_sum_z = float(sum_z);
    mx = float(sum_x / m);
    my = float(stored_sum_y / double(m));
    mz = float(stored_sum_z / double(m));
  }

  Matrix to_centroid = matrix_alloc(kHomogeneous, kHomogeneous);
  fill_transform(to_centroid, {{1.0f, 0.0f, 0.0f, -mx},
                               {0.0f, 1.0f, 0.0f, -my},
                               {0.0f, 0.0f, 1.0f, -mz},
                               {0.0f, 0.0f, 0.0f, 1.0f}});
  Matrix centred = matrix_alloc(kHomogeneous, m);
  if (centre) {
    matrix_multiply(kHomogeneous, kHomogeneous, m, to_centroid, lifted, centred);
  }
  ConstMatrix source = centre ? centred : lifted;

  // Angle about y: between the x-z part of the plane's normal, (-a, 0, 1), and the z axis.
  const float unit_z[kVector] = {0.0f, 0.0f, 1.0f};
  const float normal_xz[kVector] = {-a, 0.0f, 1.0f};
  const float norm_k = float(vector_norm(kVector, unit_z));
  const float norm_xz = float(vector_norm(kVector, normal_xz));
  double theta_y = std::acos(1.0 / (double(norm_k) * norm_xz));
  if (a > 0.0f) {
    theta_y = -theta_y;
  }
  *angle_y = float(theta_y);
  const double cos_y = std::cos(double(*angle_y));
  const double sin_y = std::sin(double(*angle_y));

  Matrix about_y = matrix_alloc(kHomogeneous, kHomogeneous);
  fill_transform(about_y, {{float(cos_y), 0.0f, float(-sin_y), 0.0f},
                           {0.0f, 1.0f, 0.0f, 0.0f},
                           {float(sin_y), 0.0f, float(cos_y), 0.0f},
                           {0.0f, 0.0f, 0.0f, 1.0f}});
  Matrix turned_y = matrix_alloc(kHomogeneous, m);
  matrix_multiply(kHomogeneous, kHomogeneous, m, about_y, source, turned_y);

  // The plane's normal (-a, -b, 1, 1) after the turn about y; only its y and z matter.
  const float ny = float(((double(-a) * about_y[1][0] + double(-b) * about_y[1][1]) +
                          about_y[1][3]) +
                         about_y[1][2]);
  const float nz = float(((double(-a) * about_y[2][0] + double(-b) * about_y[2][1]) +
                          about_y[2][3]) +
                         about_y[2][2]);

  // Angle about x: between that normal's y-z part and the z axis.
  const float normal_yz[kVector] = {0.0f, ny, nz};
  const float norm_yz = float(vector_norm(kVector, normal_yz));
  double theta_x = std::acos(double(nz) / (double(norm_k) * norm_yz));
  if (b < 0.0f) {
    theta_x = -theta_x;
  }
  *angle_x = float(theta_x);
  const double cos_x = std::cos(double(*angle_x));
  const double sin_x = std::sin(double(*angle_x));

  Matrix about_x = matrix_alloc(kHomogeneous, kHomogeneous);
  fill_transform(about_x, {{1.0f, 0.0f, 0.0f, 0.0f},
                           {0.0f, float(cos_x), float(sin_x), 0.0f},
                           {0.0f, float(-sin_x), float(cos_x), 0.0f},
                           {0.0f, 0.0f, 0.0f, 1.0f}});
  Matrix levelled = matrix_alloc(kHomogeneous, m);
  matrix_multiply(kHomogeneous, kHomogeneous, m, about_x, turned_y, levelled);

  Matrix from_centroid = matrix_alloc(kHomogeneous, kHomogeneous);
  fill_transform(from_centroid, {{1.0f, 0.0f, 0.0f, mx},
                                 {0.0f, 1.0f, 0.0f, my},
                                 {0.0f, 0.0f, 1.0f, mz},
                                 {0.0f, 0.0f, 0.0f, 1.0f}});
  Matrix restored = matrix_alloc(kHomogeneous, m);
  ConstMatrix result = levelled;
  if (centre) {
    matrix_multiply(kHomogeneous, kHomogeneous, m, from_centroid, levelled, restored);
    result = restored;
  }
  for (int i = 0; i < m; ++i) {
    out_x[i] = result[0][i];
    out_y[i] = result[1][i];
    out_z[i] = result[2][i];
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
