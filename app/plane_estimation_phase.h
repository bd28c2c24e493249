// The run's second phase: the plane of the turned points, fitted two ways.
#ifndef LEVELLING_APP_PLANE_ESTIMATION_PHASE_H
#define LEVELLING_APP_PLANE_ESTIMATION_PHASE_H

#include <cstdio>

#include "app/point_set.h"
#include "plane/plane_forms.h"

namespace levelling {

// Fits the plane to all of `points` by least squares and prints it, then computes the plane
// through the first three points and prints that. Both write `plane`, so it ends as the plane
// through three points, or as the least-squares plane when that one is vertical.
void plane_estimation_phase(std::FILE *out, const PointSet &points, PlaneSlope *plane);

}  // namespace levelling

#endif
