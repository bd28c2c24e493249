#include "linalg/rotation.h"

#include <cmath>

namespace levelling {

void rotation_x(double angle, Matrix r) {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  r[0][0] = 1.0f;
  r[0][1] = 0.0f;
  r[0][2] = 0.0f;
  r[1][0] = 0.0f;
  r[1][1] = float(c);
  r[1][2] = float(s);
  r[2][0] = 0.0f;
  r[2][1] = float(-s);
  r[2][2] = float(c);
}

void rotation_y(double angle, Matrix r) {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  r[0][0] = float(c);
  r[0][1] = 0.0f;
  r[0][2] = float(-s);
  r[1][0] = 0.0f;
  r[1][1] = 1.0f;
  r[1][2] = 0.0f;
  r[2][0] = float(s);
  r[2][1] = 0.0f;
  r[2][2] = float(c);
}

void rotation_z(double angle, Matrix r) {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  r[0][0] = float(c);
  r[0][1] = float(s);
  r[0][2] = 0.0f;
  r[1][0] = float(-s);
  r[1][1] = float(c);
  r[1][2] = 0.0f;
  r[2][0] = 0.0f;
  r[2][1] = 0.0f;
  r[2][2] = 1.0f;
}

void transform_point(const Point3 &p, ConstMatrix r, Point3 *out) {
  const float in[3] = {p.x, p.y, p.z};
  float result[3];
  for (int j = 0; j < 3; ++j) {
    result[j] = float((double(r[2][j]) * in[2] + double(r[1][j]) * in[1]) + double(r[0][j]) * in[0]);
  }
  out->x = result[0];
  out->y = result[1];
  out->z = result[2];
}

}  // namespace levelling
