// Axis rotations and the point transform, for points as row vectors.
//
// Convention: a point p is a row vector multiplied on the left, p' = p * R, so the product of
// two rotations R1 * R2 turns a point first by R1, then by R2. Angles are in radians. Each
// rotation turns counter-clockwise when looking from the positive end of its axis towards the
// origin: a quarter turn about x sends +y to +z, about y sends +z to +x, about z sends +x to +y.
#ifndef LEVELLING_LINALG_ROTATION_H
#define LEVELLING_LINALG_ROTATION_H

#include "linalg/matrix.h"

namespace levelling {

// One point in space, three consecutive single-precision coordinates.
struct Point3 {
  float x;
  float y;
  float z;
};

// The three builders overwrite every element of the 3x3 matrix `r` with the rotation by `angle`
// (radians) about their axis. Cosine c and sine s are evaluated once in double precision and
// stored as floats; the other elements are exactly 0 and 1:
//   rotation_x: [1 0 0; 0 c s; 0 -s c]
//   rotation_y: [c 0 -s; 0 1 0; s 0 c]
//   rotation_z: [c s 0; -s c 0; 0 0 1]
// An angle of 0 gives the identity; angle -t undoes angle t.
void rotation_x(double angle, Matrix r);
void rotation_y(double angle, Matrix r);
void rotation_z(double angle, Matrix r);

// *out = p * r for the 3x3 matrix `r`: out[j] = (r[2][j]*z + r[1][j]*y) + r[0][j]*x, summed in
// double precision in that order and stored as a float. `out` must not alias `p`.
void transform_point(const Point3 &p, ConstMatrix r, Point3 *out);

}  // namespace levelling

#endif
