// The surface each point of a cloud's sample lies on, from its nearest neighbours in the sample:
// what the plane's search needs to tell a plane from a band slanted across other surfaces.
#ifndef LEVELLING_CLOUD_SAMPLE_SURFACES_H
#define LEVELLING_CLOUD_SAMPLE_SURFACES_H

#include <cstddef>

#include "plane/plane_detection.h"
#include "plane/point_sample.h"

namespace levelling {

// Neighbours a sample point's surface is fitted to, itself included: few, so that a
// neighbourhood stays on one tread of a flight of steps at the sample's spacing (with more, the
// neighbourhoods of a step's edges straddle tread and riser and lean as the flight does); their
// noise is what the normal's uncertainty says.
constexpr size_t kSurfaceNeighbours = 6;
// A sample of fewer points has no surfaces worth telling apart: its search is by distance.
constexpr size_t kLeastSurfaceSample = 4 * kSurfaceNeighbours;

// Each point's surface in `sample` (its points in their order): the normal of the orthogonal
// fit of its kSurfaceNeighbours nearest points (a k-d tree, nanoflann) and its uncertainty (the
// angle whose tangent is the fit's RMS distance over its second spread), (0, 0, 0) and 0 where
// those points lie on a line or in one place. False, *surfaces emptied, for a sample of fewer
// than kLeastSurfaceSample points or with a coordinate that is not finite. Time O(n log n) in
// the sample's size.
bool sample_surfaces(const PointSample &sample, SampleSurfaces *surfaces);

}  // namespace levelling

#endif
