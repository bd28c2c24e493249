// How far a surface's points scatter about their own neighbourhood, whatever its curvature: the
// measure of noise that tells a curved surface (points spread evenly across a band about a
// plane, each close to its neighbours) from a noisy one (each point as far from its neighbours
// as from the plane).
#ifndef LEVELLING_PLANE_LOCAL_SPREAD_H
#define LEVELLING_PLANE_LOCAL_SPREAD_H

#include <cstddef>

namespace levelling {

// Points per patch of the plane the neighbourhoods are measured in.
constexpr size_t kPatchPoints = 16;

// The robust spread of the m points (x[i], y[i], z[i]) lying within `band` of the plane
// n . p = offset (n unit; same units as the points) about their patch: the band's points are
// put in square patches of the plane, sized to hold about kPatchPoints each, and each point's
// distance from the plane is taken less its patch's median distance; the result is 1.4826
// times the median of those differences' sizes (the standard deviation, for normal noise).
// Patches of fewer than 4 points count no point. 0 when the band holds fewer than kPatchPoints
// points, or all of them on one line or in one place. Time O(m log m); m doubles of scratch.
double local_spread(const double *x, const double *y, const double *z, size_t m,
                    const double (&n)[3], double offset, double band);

}  // namespace levelling

#endif
