// The run's first phase: the XYZ transformation of the point set.
#ifndef LEVELLING_APP_XYZ_TRANSFORMATION_PHASE_H
#define LEVELLING_APP_XYZ_TRANSFORMATION_PHASE_H

#include <cstdio>

#include "app/point_set.h"
#include "linalg/matrix.h"

namespace levelling {

// The side of the run's matrices: rotations and transformations of 3-D row vectors.
constexpr int kRunMatrixSide = 3;

// The run's five 3x3 matrices.
struct RunMatrices {
  Matrix rx;    // rotation about x
  Matrix ry;    // rotation about y
  Matrix rxry;  // rx * ry
  Matrix rz;    // rotation about z
  Matrix m;     // the XYZ transformation rz * rx * ry
};

// Fills the rotations by angle_x, angle_y and angle_z (radians) and M = Rz * Rx * Ry, prints M,
// and turns every point of `points` by it in place (p' = p * M: first about z, then about x,
// then about y), then prints the turned points.
void xyz_transformation_phase(std::FILE *out, double angle_x, double angle_y, double angle_z,
                              const RunMatrices &matrices, PointSet *points);

}  // namespace levelling

#endif
