// The run's last phase: levelling the plane and undoing the z rotation.
#ifndef LEVELLING_APP_LEVELLING_PROJECTION_PHASE_H
#define LEVELLING_APP_LEVELLING_PROJECTION_PHASE_H

#include <cstdio>

#include "app/point_set.h"
#include "linalg/matrix.h"
#include "plane/plane_forms.h"

namespace levelling {

// Levels `points` (their x and y, lifted onto `plane`) about the origin into `projected`,
// prints the estimated angles about x and y in degrees (also left in angle_x and angle_y), then
// fills `rz` with the rotation by -angle_z (radians) to undo the run's z rotation, applies it to
// `projected` and prints the result.
void levelling_projection_phase(std::FILE *out, const PointSet &points, const PlaneSlope &plane,
                                double angle_z, Matrix rz, PointSet *projected, float *angle_y,
                                float *angle_x);

}  // namespace levelling

#endif
