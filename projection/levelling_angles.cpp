#include "projection/levelling_angles.h"

#include <cmath>

#include "projection/level_projection.h"

namespace levelling {

namespace {

constexpr int kVector = 3;

}  // namespace

void levelling_angles(float a, float b, float *angle_y, float *angle_x) {
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

  // The rows of the turn about y that reach the normal's y and z, as the stored floats of the
  // 4 x 4 transform [cos 0 -sin 0; 0 1 0 0; sin 0 cos 0; 0 0 0 1].
  const double cos_y = std::cos(double(*angle_y));
  const double sin_y = std::sin(double(*angle_y));
  const float row_y[4] = {0.0f, 1.0f, 0.0f, 0.0f};
  const float row_z[4] = {float(sin_y), 0.0f, float(cos_y), 0.0f};

  // The plane's normal (-a, -b, 1, 1) after the turn about y; only its y and z matter. Every
  // term stays, even those with a zero factor (0 * inf is NaN).
  const float ny = float(((double(-a) * row_y[0] + double(-b) * row_y[1]) + row_y[3]) + row_y[2]);
  const float nz = float(((double(-a) * row_z[0] + double(-b) * row_z[1]) + row_z[3]) + row_z[2]);

  // Angle about x: between that normal's y-z part and the z axis.
  const float normal_yz[kVector] = {0.0f, ny, nz};
  const float norm_yz = float(vector_norm(kVector, normal_yz));
  double theta_x = std::acos(double(nz) / (double(norm_k) * norm_yz));
  if (b < 0.0f) {
    theta_x = -theta_x;
  }
  *angle_x = float(theta_x);
}

void levelling_angles(double a, double b, double *angle_y, double *angle_x) {
  *angle_y = -std::atan(a);
  // After the turn about y the normal is (0, -b, sqrt(1 + a*a)) in length units of its z.
  *angle_x = std::atan2(b, std::hypot(1.0, a));
}

}  // namespace levelling
