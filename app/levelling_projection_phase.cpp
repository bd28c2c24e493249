#include "app/levelling_projection_phase.h"

#include "app/angles.h"
#include "linalg/rotation.h"
#include "projection/level_projection.h"

namespace levelling {

void levelling_projection_phase(std::FILE *out, const PointSet &points, const PlaneSlope &plane,
                                double angle_z, Matrix rz, PointSet *projected, float *angle_y,
                                float *angle_x) {
  constexpr bool kAboutOrigin = false;
  level_plane_projection(points.x, points.y, kPointCountAsFloat, projected->x, projected->y,
                         projected->z, plane.a, plane.b, plane.c, angle_y, angle_x, kAboutOrigin);
  std::fprintf(out, "\nOrthographic projection completed!\n");

  *angle_y = float(double(*angle_y) * kRadiansToDegrees);
  *angle_x = float(double(*angle_x) * kRadiansToDegrees);
  std::fprintf(out, "Estimated rotation angles about x and y axes:\n");
  std::fprintf(out, "a_x:%f   a_y:%f\n", double(*angle_x), double(*angle_y));

  rotation_z(-angle_z, rz);
  transform_points(projected, rz);
  std::fprintf(out,
               "\nCoordinates of the 3D points (from XYZ transformation) obtained after "
               "orthographic projection:\n");
  print_points(out, "%f  %f   %f\n", *projected);
}

}  // namespace levelling
