#include "app/plane_estimation_phase.h"

#include "plane/plane_fit.h"
#include "plane/plane_three_points.h"

namespace levelling {

void plane_estimation_phase(std::FILE *out, const PointSet &points, PlaneSlope *plane) {
  std::fprintf(out, "\nLeast square planar fitting:\n");
  // A failed fit leaves zeros, which is what the report then shows.
  fit_plane_least_squares(&plane->a, &plane->b, &plane->c, kPointCountAsFloat, points.x,
                          points.y, points.z);
  std::fprintf(out, "planar equation form: z=ax+by+c\n");
  std::fprintf(out, "normal vector (least square): a:%f   b:%f    c:%f\n", double(plane->a),
               double(plane->b), double(plane->c));

  PlaneGeneral general;
  plane_through_points(points.x, points.y, points.z, &general.A, &general.B, &general.C,
                       &general.D);
  plane_slope_form(general.A, general.B, general.C, general.D, &plane->a, &plane->b, &plane->c);
  std::fprintf(out, "normal vector (3 non-colinear points): a:%f   b:%f    c:%f\n",
               double(plane->a), double(plane->b), double(plane->c));
}

}  // namespace levelling
