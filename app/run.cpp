#include "app/run.h"

#include "app/angles.h"
#include "app/levelling_projection_phase.h"
#include "app/plane_estimation_phase.h"
#include "app/point_set.h"
#include "app/xyz_transformation_phase.h"
#include "linalg/matrix.h"
#include "plane/plane_forms.h"

namespace levelling {

namespace {

// Asks for the angle about `axis` and returns it in radians. An answer that is not a number,
// or no answer at all, keeps `default_degrees`; text that is not a number stays unread, so the
// later questions keep their defaults too.
double read_angle(std::FILE *in, std::FILE *out, char axis, double default_degrees) {
  double degrees = default_degrees;
  std::fprintf(out, "Insert the rotation angle (in degrees) abot %c axis:\n", axis);
  std::fflush(out);
  if (std::fscanf(in, "%lf", &degrees) != 1) {
    degrees = default_degrees;
  }
  return degrees * kDegreesToRadians;
}

}  // namespace

int run_demonstration(std::FILE *in, std::FILE *out, const KeyReader &read_key) {
  PointSet points = kStartingPoints;
  PlaneSlope plane = {0.0f, 0.0f, 0.0f};
  PointSet projected;
  float estimated_angle_y;
  float estimated_angle_x;

  std::fprintf(out,
               "Demo software - calculation of rotation angles about x and y axes for "
               "orthographic projection.\n");
  std::fprintf(out, "\nOriginal coordinates of 3D points:\n");
  print_points(out, "%f  %f  %f\n", points);
  std::fprintf(out, "\n");

  RunMatrices matrices;
  matrices.rx = matrix_alloc(kRunMatrixSide, kRunMatrixSide);
  matrices.ry = matrix_alloc(kRunMatrixSide, kRunMatrixSide);
  matrices.rxry = matrix_alloc(kRunMatrixSide, kRunMatrixSide);
  matrices.rz = matrix_alloc(kRunMatrixSide, kRunMatrixSide);
  matrices.m = matrix_alloc(kRunMatrixSide, kRunMatrixSide);

  std::fprintf(out, "\nRotation angles for surface points in the range [-90 to 90] degrees!\n");
  std::fprintf(out, "\n");
  const double angle_x = read_angle(in, out, 'x', kDefaultAngleX);
  const double angle_y = read_angle(in, out, 'y', kDefaultAngleY);
  const double angle_z = read_angle(in, out, 'z', kDefaultAngleZ);
  std::fprintf(out, "\n");

  xyz_transformation_phase(out, angle_x, angle_y, angle_z, matrices, &points);
  plane_estimation_phase(out, points, &plane);
  levelling_projection_phase(out, points, plane, angle_z, matrices.rz, &projected,
                             &estimated_angle_y, &estimated_angle_x);
  std::fprintf(out, "\n");

  matrix_free(kRunMatrixSide, matrices.rx);
  matrix_free(kRunMatrixSide, matrices.ry);
  matrix_free(kRunMatrixSide, matrices.rz);
  matrix_free(kRunMatrixSide, matrices.rxry);
  matrix_free(kRunMatrixSide, matrices.m);

  std::fflush(out);
  return read_key();
}

}  // namespace levelling
