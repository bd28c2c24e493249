// The plane of a run: found robustly on the sample and refitted to every inlier, or the
// orthogonal fit of every point; and the motion that levels it.
#ifndef LEVELLING_CLOUD_PLANE_SEARCH_H
#define LEVELLING_CLOUD_PLANE_SEARCH_H

#include <cstdint>
#include <functional>
#include <string>

#include "cloud/cloud_levelling.h"
#include "cloud/wall_yaw.h"
#include "plane/cloud_fit.h"
#include "plane/orthogonal_fit.h"
#include "plane/plane_detection.h"
#include "plane/point_sample.h"
#include "projection/rigid_levelling.h"
#include "scene/camera_files.h"

namespace levelling {

// What the plane is searched with.
struct PlaneSearch {
  double up[3] = {0.0, 0.0, 1.0};  // unit or not; +z when automatic
  bool automatic = false;          // the largest plane in any orientation
  std::string up_name = "+z";      // as messages say it
  double max_tilt = 0.0;           // radians from up
  double threshold = 0.0;          // inlier distance in the cloud's units; 0: automatic
  uint64_t seed = 1;
  std::string shown;               // the cloud as messages name it
  // The cameras the plane is oriented by (most of them above it), or nullptr.
  const std::vector<CameraPose> *cameras = nullptr;
};

// The up direction a search takes from the request: its axis, or +z when it is automatic.
void search_up_of(const LevellingRequest &request, double (&up)[3]);

// The search a request asks for, with the up direction `up` (+z when automatic).
PlaneSearch plane_search_of(const LevellingRequest &request, const double (&up)[3],
                            const std::string &shown);

// The plane found and what it rests on.
struct FoundPlane {
  OrthogonalPlane plane;  // normal oriented up
  int64_t inliers = 0;
  double threshold = 0.0;
  double tilt = 0.0;  // radians from up (from +z without one)
  // --yaw walls: the walls found and the turn about up, after levelling, that put them along x
  // and y.
  bool yawed = false;
  WallYaw wall_yaw;
};

// The orthogonal fit of every point, within the tilt limit.
bool fit_every_point(const PlaneSearch &search, const CloudFit &all, FoundPlane *found,
                     LevellingOutcome *fault);

// The plane the sample holds, found robustly within the tilt limit.
bool detect_in_sample(const PlaneSearch &search, const PointSample &sample, DetectedPlane *detected,
                      LevellingOutcome *fault);

// The sample without its far points (farther from its median point than a thousand times the
// median distance, in the largest coordinate difference), which would set the search's scale:
// false, *near untouched, when it has none (or fewer than 3 points, or half of them in one place).
bool without_far_points(const PointSample &sample, PointSample *near);

// One pass over the whole cloud: the moments and count of the points within `band`, and the
// count of every valid point. False with the fault.
using InlierPass = std::function<bool(const PlaneBand &band, CloudFit *inliers, int64_t *counted,
                                      int64_t *valid, LevellingOutcome *fault)>;

// The orthogonal fit of every inlier of the detected plane (by `inlier_pass`), repeated while the
// inliers change materially (measured on the sample), oriented as the detected normal. False
// with the fault.
bool refit_to_inliers(const PlaneSearch &search, const PointSample &sample,
                      const DetectedPlane &detected, const InlierPass &inlier_pass,
                      FoundPlane *found, LevellingOutcome *fault);

// The levelling of the found plane about the inliers' centroid (or the origin), and its motion.
void levelling_of(const FoundPlane &found, PivotChoice pivot, RigidLevelling *levelling,
                  double (&motion)[4][4]);

// The plane through three points (x, y, z each, 9 numbers, on no line: plane_points_of checked
// them), its normal toward the search's up, its centroid theirs; no inliers counted.
void picked_plane(const std::vector<double> &points, const PlaneSearch &search,
                  FoundPlane *found);

// The plane of a cloud and the motion that levels it, as the request asks: three points picked
// on it (request.plane_points), or found on the first
// pass's sample (without its far points) and refitted to every inlier by `inlier_pass`, or
// fitted to the moments of every point (`all`); then, with --yaw walls, turned about up so
// that the walls (walls_yaw, among the sample's points beyond the plane) run along x and y
// (found->wall_yaw), refused (5) where there are none. False with the fault.
bool find_levelling(const LevellingRequest &request, const PlaneSearch &search,
                    const PointSample &sample, const CloudFit &all,
                    const InlierPass &inlier_pass, FoundPlane *found,
                    RigidLevelling *levelling, double (&motion)[4][4], LevellingOutcome *fault);

}  // namespace levelling

#endif
