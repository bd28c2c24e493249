// Fits a plane to points near z = 0.5 x - 0.25 y + 3 with the installed levelling libraries,
// levels them about their centroid and checks that they come out level.
#include <cmath>
#include <cstdio>

#include "plane/plane_fit.h"
#include "projection/level_projection.h"

int main() {
  constexpr int kPoints = 25;
  float xs[kPoints], ys[kPoints], zs[kPoints];
  for (int i = 0; i < kPoints; ++i) {
    xs[i] = float(i % 5) * 2.0f;
    ys[i] = float(i / 5) * 3.0f;
    zs[i] = 0.5f * xs[i] - 0.25f * ys[i] + 3.0f;
  }
  float a, b, c;
  if (levelling::fit_plane_least_squares(&a, &b, &c, float(kPoints), xs, ys, zs) != 1) {
    std::puts("level_points: the fit failed");
    return 1;
  }
  float out_x[kPoints], out_y[kPoints], out_z[kPoints], angle_y, angle_x;
  levelling::level_plane_projection(xs, ys, float(kPoints), out_x, out_y, out_z, a, b, c,
                                    &angle_y, &angle_x, true);
  float lowest = out_z[0], highest = out_z[0];
  for (int i = 1; i < kPoints; ++i) {
    lowest = std::fmin(lowest, out_z[i]);
    highest = std::fmax(highest, out_z[i]);
  }
  std::printf("plane z = %f x + %f y + %f; angles about y %f, about x %f rad; heights %f to %f\n",
              a, b, c, angle_y, angle_x, lowest, highest);
  const bool level = highest - lowest < 1e-4f;
  const bool angles_right = std::fabs(angle_y + std::atan(0.5)) < 1e-5;
  std::puts(level && angles_right ? "level_points: levelled" : "level_points: NOT levelled");
  return level && angles_right ? 0 : 1;
}
