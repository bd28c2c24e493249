#include "plane/plane_three_points.h"

namespace levelling {

void plane_through_points(const float *xs, const float *ys, const float *zs, float *A, float *B,
                          float *C, float *D) {
  const double x0 = xs[0];
  const double y0 = ys[0];
  const double z0 = zs[0];
  // The two edges from P0, in double precision.
  const double dx1 = xs[1] - x0;
  const double dy1 = ys[1] - y0;
  const double dz1 = zs[1] - z0;
  const double dx2 = xs[2] - x0;
  const double dy2 = ys[2] - y0;
  const double dz2 = zs[2] - z0;

  *A = float(dy1 * dz2 - dy2 * dz1);
  *B = float(dx2 * dz1 - dx1 * dz2);
  *C = float(dx1 * dy2 - dx2 * dy1);
  // -(A*x0 + B*y0 + C*z0), expanded over the unrounded cross product.
  *D = float(((((dz1 * x0 * dy2 - dz2 * x0 * dy1) + dx1 * y0 * dz2) - dx2 * y0 * dz1) +
              dx2 * z0 * dy1) -
             dx1 * z0 * dy2);
}

void plane_slope_form(float A, float B, float C, float D, float *a, float *b, float *c) {
  if (C == 0.0f) {
    return;
  }
  *a = float(-(double(A) / C));
  *b = float(-(double(B) / C));
  *c = float(-(double(D) / C));
}

}  // namespace levelling
