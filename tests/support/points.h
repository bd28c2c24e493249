// Point sets for the plane and projection tests: the run's starting points turned by typed
// angles, and generated clouds about a known plane.
#ifndef LEVELLING_TESTS_SUPPORT_POINTS_H
#define LEVELLING_TESTS_SUPPORT_POINTS_H

#include <cstdint>
#include <random>
#include <vector>

#include "app/angles.h"
#include "app/point_set.h"
#include "linalg/rotation.h"

namespace levelling::test {

// The starting points after the XYZ transformation for the answers x, y, z (degrees), computed
// as the run computes them.
inline PointSet turned_starting_points(double x, double y, double z) {
  Matrix rx = matrix_alloc(3, 3);
  Matrix ry = matrix_alloc(3, 3);
  Matrix rz = matrix_alloc(3, 3);
  Matrix rxry = matrix_alloc(3, 3);
  Matrix m = matrix_alloc(3, 3);
  rotation_x(x * kDegreesToRadians, rx);
  rotation_y(y * kDegreesToRadians, ry);
  rotation_z(z * kDegreesToRadians, rz);
  matrix_multiply(3, 3, 3, rx, ry, rxry);
  matrix_multiply(3, 3, 3, rz, rxry, m);
  PointSet points = kStartingPoints;
  transform_points(&points, m);
  for (Matrix each : {rx, ry, rz, rxry, m}) {
    matrix_free(3, each);
  }
  return points;
}

// A cloud about the plane z = a*x + b*y + c: x and y uniform over a `side`-wide square whose
// corner is (offset_x, offset_y), z on the plane plus uniform noise within +-noise, all in
// double. The same seed gives the same points, drawn block by block as they are asked for.
struct PlaneCloud {
  double a, b, c;
  double offset_x = 0.0, offset_y = 0.0;
  double noise = 0.0;
  double side = 100.0;
  std::mt19937_64 generator{42};

  void fill(int64_t n, double *xs, double *ys, double *zs) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int64_t i = 0; i < n; ++i) {
      xs[i] = offset_x + side * unit(generator);
      ys[i] = offset_y + side * unit(generator);
      zs[i] = a * xs[i] + b * ys[i] + c + noise * (2.0 * unit(generator) - 1.0);
    }
  }
};

// n points of a cloud held whole.
struct CloudPoints {
  std::vector<double> x, y, z;
  CloudPoints(PlaneCloud cloud, int64_t n) : x(size_t(n)), y(size_t(n)), z(size_t(n)) {
    cloud.fill(n, x.data(), y.data(), z.data());
  }
};

}  // namespace levelling::test

#endif
