#include "app/xyz_transformation_phase.h"

#include "linalg/rotation.h"

namespace levelling {

void xyz_transformation_phase(std::FILE *out, double angle_x, double angle_y, double angle_z,
                              const RunMatrices &matrices, PointSet *points) {
  rotation_x(angle_x, matrices.rx);
  rotation_y(angle_y, matrices.ry);
  rotation_z(angle_z, matrices.rz);
  matrix_multiply(kRunMatrixSide, kRunMatrixSide, kRunMatrixSide, matrices.rx, matrices.ry, matrices.rxry);
  matrix_multiply(kRunMatrixSide, kRunMatrixSide, kRunMatrixSide, matrices.rz, matrices.rxry, matrices.m);

  std::fprintf(out, "XYZ transformation matrix: \n");
  for (int r = 0; r < kRunMatrixSide; ++r) {
    std::fprintf(out, "%f  %f  %f\n", double(matrices.m[r][0]), double(matrices.m[r][1]),
                 double(matrices.m[r][2]));
  }
  std::fprintf(out, "\n");

  transform_points(points, matrices.m);
  std::fprintf(out, "Coordinates of 3D points after XYZ transformation:\n");
  print_points(out, "%f  %f  %f\n", *points);
}

}  // namespace levelling
