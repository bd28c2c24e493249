// The run's starting points turned by typed angles, as inputs for the plane and projection tests.
#ifndef LEVELLING_TESTS_SUPPORT_POINTS_H
#define LEVELLING_TESTS_SUPPORT_POINTS_H

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

}  // namespace levelling::test

#endif
