// Finding the plane a user means in a real scan: the largest plane whose normal lies within a
// given tilt of an up direction, found robustly (walls, furniture, people, trees and roofs do not
// pull it), for clouds of any size in constant memory.
//
// The method, as the field practises it:
// 1. A seeded uniform sample of the cloud (plane/point_sample.h: the points of the smallest
//    keys, a hash of the seed and each point's index, so that any split of the cloud draws it
//    alike).
// 2. On the sample, MSAC (RANSAC scoring each hypothesis by the sum of its points' squared
//    distances, capped at the threshold) with three-point hypotheses, only those whose normal
//    lies within the tilt limit; each new best hypothesis is refitted to its inliers by the
//    orthogonal fit (local optimisation); the number of hypotheses adapts to the best inlier
//    share for 99% confidence, between kMinHypotheses and kMaxHypotheses.
//    Given each sample point's own surface (its neighbours' normal, SampleSurfaces), a point is
//    an inlier of a hypothesis only where its surface agrees with it (within
//    kSurfaceAgreementDegrees and half the normal's uncertainty; never where it has none): a
//    band slanted across steps, a table and a box on it, or through a slab of clutter holds
//    points but no surface, and is no plane. Shares (min_share, share) are by distance.
// 3. The threshold, when not given: first a coarse one, kCoarseThreshold of the sample's spread
//    (its RMS distance from its centroid), finds the plane; then the robust spread of the
//    distances to it (1.4826 times their median absolute value, among the sample points within
//    three coarse thresholds) sets the final one at three such spreads. So it adapts to the
//    data's units and noise: millimetres or metres, scans or aerial tiles in feet. The points'
//    spread about their own neighbourhood (plane/local_spread.h) then says whether the surface
//    is curved: where it is far below the spread of the distances and the plane searched again
//    at three of it holds a material part of the band, near it rather than across it, that is
//    the threshold and the plane: the surface's flat core (a lawn's level part, not the average
//    of its curve). A flat surface, whose noise is both spreads, keeps its threshold.
// 4. The caller then refits the plane to every inlier of the whole cloud in a streaming pass
//    (plane_band_fit_add), again while the inliers change materially (plane_band_changes on
//    the sample tells).
// Same sample, options and seed: same plane, bit for bit.
//
// Planes are n . p = offset with n a unit normal, p in the cloud's units; tilts are in radians.
#ifndef LEVELLING_PLANE_PLANE_DETECTION_H
#define LEVELLING_PLANE_PLANE_DETECTION_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "plane/cloud_fit.h"
#include "plane/point_sample.h"

namespace levelling {

// Each sample point's own surface, in the sample's order: the unit normal of the orthogonal fit
// of its nearest neighbours in the sample (its sign of no meaning), or (0, 0, 0) where they
// hold no plane; and how uncertain that normal is, in radians: the angle whose tangent is their
// RMS distance from their plane over their spread along it (about 0.05 on a depth camera's
// table, 0.5 and more in photogrammetry's noise). cloud/sample_surfaces.h finds them.
struct SampleSurfaces {
  std::vector<double> nx, ny, nz, uncertainty;
};

// A point's surface agrees with a plane when their normals are within this many degrees, plus
// half the normal's uncertainty: narrow enough to tell a plane from a band slanted across steps
// (about 30 degrees) or through a stack of surfaces where the surfaces are clean, and no
// narrower than their noise where they are not.
constexpr double kSurfaceAgreementDegrees = 20.0;

struct DetectionOptions {
  // The up direction (need not be unit). With `any_orientation` it is ignored: the largest
  // plane in any orientation is taken, its normal turned toward the side where most of the
  // other points lie.
  double up[3] = {0.0, 0.0, 1.0};
  bool any_orientation = false;
  double max_tilt = 0.7853981633974483;  // radians between a plane's normal and `up`
  double threshold = 0.0;                // distance of an inlier, in the cloud's units; 0: automatic
  uint64_t seed = 1;
  double min_share = 0.05;  // the least share of the points a plane must hold
  // The sample's surfaces (as many as its points), or nullptr: inliers by distance alone.
  const SampleSurfaces *surfaces = nullptr;
};

enum class DetectionStatus {
  kFound,
  kTooFewPoints,     // fewer than 3 points in the sample
  kNoPlaneInLimit,   // planes exist, but none within the tilt limit holds min_share
  kNoPlane,          // no plane holds min_share of the points (noise, a line)
};

struct DetectedPlane {
  DetectionStatus status = DetectionStatus::kTooFewPoints;
  double normal[3] = {0.0, 0.0, 1.0};  // unit, oriented up (toward `up`, or as chosen)
  double offset = 0.0;
  double threshold = 0.0;  // the inlier distance used
  double share = 0.0;      // the share of the sample within the threshold (by distance)
  double tilt = 0.0;       // the angle between normal and up (+z when any_orientation)
  // An automatic threshold: the band about the first plane found whose points' spread set it
  // (0 for a given threshold). A threshold beyond it was extrapolated from points spread across
  // the whole band: the plane's noise is wider than the band could tell.
  double spread_band = 0.0;
  // For kNoPlaneInLimit: the largest plane outside the limit, its tilt and its share.
  double outside_tilt = 0.0;
  double outside_share = 0.0;
};

// Finds the plane of options in the sample. Time: up to kMaxHypotheses scorings of the sample.
DetectedPlane detect_plane(const PointSample &sample, const DetectionOptions &options);

// A band about a plane: the points within `threshold` of n . p = offset.
struct PlaneBand {
  double normal[3] = {0.0, 0.0, 1.0};
  double offset = 0.0;
  double threshold = 0.0;
};

// Adds to `fit` those of the n points within the band and returns how many there were. Constant
// scratch on the stack; time linear in n. Points with a NaN coordinate are never within it.
int64_t plane_band_fit_add(CloudFit *fit, const PlaneBand &band, int64_t n, const double *xs,
                           const double *ys, const double *zs);

// The share of the sample's points inside one band but not the other, relative to the points
// inside `after` (1 when it holds none): how much a refit changed the inliers.
double plane_band_changes(const PointSample &sample, const PlaneBand &before,
                          const PlaneBand &after);

// The share of the sample's points within the band that lie within a third of its threshold
// of the plane (0 when the band holds none): about 0.33 for points spread evenly across the band
// (a slab, not a plane), about 0.68 for a plane's points with normal noise at the automatic
// threshold of three spreads.
double plane_band_concentration(const PointSample &sample, const PlaneBand &band);

}  // namespace levelling

#endif
