#include "app/point_set.h"

#include "linalg/rotation.h"

namespace levelling {

void transform_points(PointSet *points, ConstMatrix r) {
  Point3 input[kPointCount];
  Point3 output[kPointCount];
  for (int i = 0; i < kPointCount; ++i) {
    input[i] = {points->x[i], points->y[i], points->z[i]};
    transform_point(input[i], r, &output[i]);
  }
  for (int i = 0; i < kPointCount; ++i) {
    points->x[i] = output[i].x;
    points->y[i] = output[i].y;
    points->z[i] = output[i].z;
  }
}

void print_points(std::FILE *out, const char *format, const PointSet &points) {
  for (int i = 0; i < kPointCount; ++i) {
    std::fprintf(out, format, double(points.x[i]), double(points.y[i]), double(points.z[i]));
  }
}

}  // namespace levelling
