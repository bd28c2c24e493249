#include "cloud/plane_search.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "cloud/camera_levelling.h"
#include "cloud/run_fault.h"
#include "cloud/sample_surfaces.h"

namespace levelling {

namespace {

// How far a sample point may lie from the sample's median point, in median distances, and still
// be searched for the plane: a point a thousand times farther than half the cloud is junk (a
// stray return, a float's largest value), and would make the search's scale the junk's.
constexpr double kFarPoint = 1000.0;
// Half a turn, in radians.
constexpr double kHalfTurn = 3.14159265358979323846;

// The least share of the points the levelled plane must hold.
constexpr double kMaterialShare = 0.05;
// Streaming refits of the plane to every inlier: at most this many passes, and no more once
// the inliers change by less than kSettledChange (a share of them, measured on the sample).
constexpr int kMaxRefitPasses = 3;
constexpr double kSettledChange = 1e-3;

// Turns `plane`'s normal to the side of `toward` (no change when perpendicular).
void orient(OrthogonalPlane *plane, const double (&toward)[3]) {
  const double dot = plane->normal[0] * toward[0] + plane->normal[1] * toward[1] +
                     plane->normal[2] * toward[2];
  if (dot < 0.0) {
    for (double &each : plane->normal) {
      each = -each;
    }
    plane->offset = -plane->offset;
    plane->has_slopes = false;
    plane->a = plane->b = plane->c = 0.0;
  }
}

double angle_between(const double (&a)[3], const double (&b)[3]) {
  const double la = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
  const double lb = std::sqrt(b[0] * b[0] + b[1] * b[1] + b[2] * b[2]);
  const double cosine = (a[0] * b[0] + a[1] * b[1] + a[2] * b[2]) / (la * lb);
  return std::acos(std::fmax(-1.0, std::fmin(1.0, cosine)));
}

// The orthogonal fit's status of the points of the sample whose indices are `kept` (all of
// them when it is empty).
OrthogonalFitStatus fit_status_of(const PointSample &sample, const std::vector<size_t> &kept) {
  CloudFit fit;
  if (kept.empty()) {
    cloud_fit_add(&fit, int64_t(sample.x.size()), sample.x.data(), sample.y.data(),
                  sample.z.data());
  }
  for (const size_t i : kept) {
    cloud_fit_add(&fit, 1, &sample.x[i], &sample.y[i], &sample.z[i]);
  }
  return orthogonal_fit(fit).status;
}

// Each sample point's distance from the sample's median point, in its largest coordinate
// difference (no square that could overflow).
std::vector<double> distances_from_median(const PointSample &sample) {
  const size_t n = sample.x.size();
  const std::vector<double> *columns[3] = {&sample.x, &sample.y, &sample.z};
  std::vector<double> distances(n, 0.0);
  for (int k = 0; k < 3; ++k) {
    std::vector<double> values = *columns[k];
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(n / 2), values.end());
    const double median = values[n / 2];
    for (size_t i = 0; i < n; ++i) {
      distances[i] = std::fmax(distances[i], std::fabs((*columns[k])[i] - median));
    }
  }
  return distances;
}

// The value below which `share` of the values lie.
double quantile(std::vector<double> values, double share) {
  const size_t at = std::min(values.size() - 1, size_t(share * double(values.size())));
  std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(at), values.end());
  return values[at];
}

// What the sample's shape is for the fit: kTooFewPoints, kCollinear (the whole sample and the
// half of it nearest its median point both lie on a line, or the whole overflows and the half
// does), or kFitted (a plane may hold it).
OrthogonalFitStatus sample_shape(const PointSample &sample) {
  if (sample.x.size() < 3) {
    return OrthogonalFitStatus::kTooFewPoints;
  }
  const OrthogonalFitStatus whole = fit_status_of(sample, {});
  if (whole != OrthogonalFitStatus::kCollinear && whole != OrthogonalFitStatus::kNonFinite) {
    return OrthogonalFitStatus::kFitted;
  }
  const std::vector<double> distances = distances_from_median(sample);
  const double middle = quantile(distances, 0.5);
  std::vector<size_t> nearer;  // in the sample's order, so that the sums are repeatable
  for (size_t i = 0; i < distances.size(); ++i) {
    if (distances[i] <= middle) {
      nearer.push_back(i);
    }
  }
  const OrthogonalFitStatus near = fit_status_of(sample, nearer);
  return near == OrthogonalFitStatus::kCollinear || near == OrthogonalFitStatus::kTooFewPoints
             ? OrthogonalFitStatus::kCollinear
             : OrthogonalFitStatus::kFitted;
}

}  // namespace

bool without_far_points(const PointSample &sample, PointSample *near) {
  if (sample.x.size() < 3) {
    return false;
  }
  const std::vector<double> distances = distances_from_median(sample);
  // (Half the points in one place, as a depth camera's zeros can be, says nothing of the rest.)
  const double limit = kFarPoint * quantile(distances, 0.5);
  if (!(limit > 0.0) || !(quantile(distances, 1.0) > limit)) {
    return false;
  }
  *near = PointSample();
  near->capacity = sample.capacity;
  near->seen = sample.seen;
  for (size_t i = 0; i < distances.size(); ++i) {
    if (distances[i] <= limit) {
      near->x.push_back(sample.x[i]);
      near->y.push_back(sample.y[i]);
      near->z.push_back(sample.z[i]);
    }
  }
  return true;
}

namespace {

// The least concentration (plane_band_concentration) of a plane's inliers at the automatic
// threshold: between the 0.33 of points spread evenly across the band and the 0.68 of a plane's
// (0.66 to 0.79 on real captures).
constexpr double kLeastConcentration = 0.5;

// Whether the refitted plane of `band` (holding `counted` points) is still a plane the search
// may level: within the tilt limit, and, at an automatic threshold measured within its band,
// with its inliers near it rather than spread evenly across the band. False with the fault (no
// plane, status 5, naming the plane found).
bool holds_as_plane(const PlaneSearch &search, const PointSample &sample,
                    const DetectedPlane &detected, const PlaneBand &band, int64_t counted,
                    int64_t valid, LevellingOutcome *fault) {
  const double tilt = angle_between(band.normal, search.up);
  const double share = valid > 0 ? double(counted) / double(valid) : 0.0;
  if (!search.automatic && tilt > search.max_tilt + 1e-12) {
    *fault = failure(search.shown,
                     "no plane to level within " + degrees_text(search.max_tilt, "%g") +
                         " degrees of " + search.up_name + ": refitted to its inliers, the " +
                         "plane found tilts " + degrees_text(tilt, "%.1f") + " degrees from " +
                         search.up_name + " and holds " + percent(share) +
                         " of the points; --max-tilt " +
                         std::to_string(suggested_max_tilt(tilt)) + " would level it",
                     kNoPlane);
    return false;
  }
  // (Where the threshold had to be extrapolated, the band is narrower than the plane's noise,
  // and its points lie evenly across it whatever they are.)
  if (detected.threshold <= detected.spread_band &&
      plane_band_concentration(sample, band) < kLeastConcentration) {
    *fault = failure(search.shown,
                     "no plane to level: the plane found (tilted " + degrees_text(tilt, "%.1f") +
                         " degrees from " + search.up_name + ", " + percent(share) +
                         " of the points within " + short_number(band.threshold) +
                         ") is no plane: its points spread evenly across its band rather than "
                         "lie near it; give --threshold to say how near they lie",
                     kNoPlane);
    return false;
  }
  return true;
}

}  // namespace

void search_up_of(const LevellingRequest &request, double (&up)[3]) {
  for (int k = 0; k < 3; ++k) {
    up[k] = request.up.automatic ? (k == 2 ? 1.0 : 0.0) : request.up.axis[k];
  }
}

PlaneSearch plane_search_of(const LevellingRequest &request, const double (&up)[3],
                            const std::string &shown) {
  PlaneSearch search;
  for (int k = 0; k < 3; ++k) {
    search.up[k] = up[k];
  }
  search.automatic = request.up.automatic;
  search.up_name = request.up.name;
  search.max_tilt = request.max_tilt_degrees / kDegreesPerRadian;
  search.threshold = request.threshold;
  search.seed = request.seed;
  search.shown = shown;
  if (!request.up.given && !request.cameras.empty()) {
    search.up_name = "the cameras' up";
  }
  return search;
}

// The orthogonal fit of every point, within the tilt limit.
bool fit_every_point(const PlaneSearch &search, const CloudFit &all, FoundPlane *found,
                     LevellingOutcome *fault) {
  found->plane = orthogonal_fit(all);
  if (found->plane.status != OrthogonalFitStatus::kFitted) {
    const bool overflow = found->plane.status == OrthogonalFitStatus::kNonFinite;
    *fault = failure(search.shown,
                     std::string(overflow ? "cannot fit: " : "no plane to level: ") +
                         orthogonal_fit_status_text(found->plane.status),
                     overflow ? kUnsupportedInput : kNoPlane);
    return false;
  }
  orient(&found->plane, search.up);
  found->inliers = found->plane.count;
  found->tilt = angle_between(found->plane.normal, search.up);
  const double max_tilt = search.max_tilt;
  if (!search.automatic && found->tilt > max_tilt + 1e-12) {
    *fault = failure(search.shown,
                     "no plane to level: the plane of all points is tilted " +
                         degrees_text(found->tilt, "%.1f") + " degrees from " +
                         search.up_name + "; --max-tilt " +
                         std::to_string(suggested_max_tilt(found->tilt)) + " would level it",
                     kNoPlane);
    return false;
  }
  return true;
}

// The plane the sample holds, found robustly within the tilt limit.
bool detect_in_sample(const PlaneSearch &search, const PointSample &sample, DetectedPlane *detected,
                      LevellingOutcome *fault) {
  // A cloud that no plane can hold says so plainly, before any search: the sample's spread is
  // the cloud's. A few far points must not make a plane look like a line, so a line is only
  // what both the whole sample and its nearer half are.
  const OrthogonalFitStatus shape = sample_shape(sample);
  if (shape == OrthogonalFitStatus::kTooFewPoints || shape == OrthogonalFitStatus::kCollinear) {
    *fault = failure(search.shown,
                     std::string("no plane to level: ") + orthogonal_fit_status_text(shape),
                     kNoPlane);
    return false;
  }
  const double max_tilt = search.max_tilt;
  DetectionOptions options;
  for (int k = 0; k < 3; ++k) {
    options.up[k] = search.up[k];
  }
  options.any_orientation = search.automatic;
  options.max_tilt = max_tilt;
  options.threshold = search.threshold;
  options.seed = search.seed;
  options.min_share = kMaterialShare;
  SampleSurfaces surfaces;
  if (sample_surfaces(sample, &surfaces)) {
    options.surfaces = &surfaces;
  }
  *detected = detect_plane(sample, options);
  switch (detected->status) {
    case DetectionStatus::kFound:
      return true;
    case DetectionStatus::kTooFewPoints:
      *fault = failure(search.shown, "no plane to level: fewer than 3 points", kNoPlane);
      return false;
    case DetectionStatus::kNoPlane:
      *fault = failure(search.shown,
                       "no plane to level: no plane holds " + percent(kMaterialShare) +
                           " of the points (noise, or points on a line)",
                       kNoPlane);
      return false;
    case DetectionStatus::kNoPlaneInLimit:
      *fault = failure(search.shown,
                       "no plane to level within " + degrees_text(max_tilt, "%g") +
                           " degrees of " + search.up_name + ": the largest plane is tilted " +
                           degrees_text(detected->outside_tilt, "%.1f") + " degrees from " +
                           search.up_name + " and holds " + percent(detected->outside_share) +
                           " of the points; --max-tilt " +
                           std::to_string(suggested_max_tilt(detected->outside_tilt)) +
                           " would level it",
                       kNoPlane);
      return false;
  }
  return false;
}

// Passes 2...: the orthogonal fit of every inlier of the whole cloud (the files side by side,
// their moments merged in their order), repeated while the inliers change materially.
bool refit_to_inliers(const PlaneSearch &search, const PointSample &sample,
                      const DetectedPlane &detected, const InlierPass &inlier_pass,
                      FoundPlane *found, LevellingOutcome *fault) {
  PlaneBand band;
  for (int k = 0; k < 3; ++k) {
    band.normal[k] = detected.normal[k];
  }
  band.offset = detected.offset;
  band.threshold = detected.threshold;
  found->threshold = detected.threshold;
  for (int pass = 0; pass < kMaxRefitPasses; ++pass) {
    CloudFit inliers;
    int64_t counted = 0, valid = 0;
    if (!inlier_pass(band, &inliers, &counted, &valid, fault)) {
      return false;
    }
    OrthogonalPlane refitted = orthogonal_fit(inliers);
    if (refitted.status == OrthogonalFitStatus::kNonFinite) {
      *fault = failure(search.shown,
                       std::string("cannot fit: ") + orthogonal_fit_status_text(refitted.status),
                       kUnsupportedInput);
      return false;
    }
    if (refitted.status != OrthogonalFitStatus::kFitted) {
      *fault = failure(search.shown,
                       std::string("no plane to level: its inliers hold none: ") +
                           orthogonal_fit_status_text(refitted.status),
                       kNoPlane);
      return false;
    }
    orient(&refitted, band.normal);
    found->plane = refitted;
    found->inliers = counted;
    PlaneBand next = band;
    for (int k = 0; k < 3; ++k) {
      next.normal[k] = refitted.normal[k];
    }
    next.offset = refitted.offset;
    if (!holds_as_plane(search, sample, detected, next, counted, valid, fault)) {
      return false;
    }
    const double change = plane_band_changes(sample, band, next);
    band = next;
    if (change < kSettledChange) {
      break;
    }
  }
  // Oriented as the detected normal was: up, or (with no up direction) toward most points.
  found->tilt = angle_between(found->plane.normal, search.up);
  return true;
}

void levelling_of(const FoundPlane &found, PivotChoice pivot, RigidLevelling *levelling,
                  double (&motion)[4][4]) {
  const double origin[3] = {0.0, 0.0, 0.0};
  *levelling = rigid_levelling_from_normal(
      found.plane.normal, pivot == PivotChoice::kOrigin ? origin : found.plane.centroid);
  levelling_matrix(*levelling, motion);
}

void picked_plane(const std::vector<double> &points, const PlaneSearch &search,
                  FoundPlane *found) {
  // (Their orthogonal fit is their plane: it leaves them no distance.)
  const double xs[3] = {points[0], points[3], points[6]};
  const double ys[3] = {points[1], points[4], points[7]};
  const double zs[3] = {points[2], points[5], points[8]};
  CloudFit fit;
  cloud_fit_add(&fit, 3, xs, ys, zs);
  *found = FoundPlane();
  found->plane = orthogonal_fit(fit);
  orient(&found->plane, search.up);
  found->tilt = angle_between(found->plane.normal, search.up);
}

namespace {

// Adds to the levelling `motion` the turn about the vertical through the levelled pivot that
// puts the walls along x and y. False with the fault (no walls found: 5).
bool turn_to_walls(const LevellingRequest &request, const PlaneSearch &search,
                   const PointSample &sample, FoundPlane *found, double (&motion)[4][4],
                   LevellingOutcome *fault) {
  const double(&c)[3] = found->plane.centroid;
  double pivot[3] = {0.0, 0.0, 0.0};
  double level = 0.0;
  for (int r = 0; r < 3; ++r) {
    const double moved =
        motion[r][0] * c[0] + motion[r][1] * c[1] + motion[r][2] * c[2] + motion[r][3];
    pivot[r] = request.pivot == PivotChoice::kCentroid ? moved : 0.0;
    level = r == 2 ? moved : level;
  }
  std::string why;
  if (!walls_yaw(sample, motion, level, found->threshold, &found->wall_yaw, &why)) {
    *fault = failure(search.shown, "--yaw walls: " + why + "; --yaw keep keeps its heading",
                     kNoPlane);
    return false;
  }
  add_yaw(found->wall_yaw.yaw, pivot, motion);
  found->yawed = true;
  return true;
}

}  // namespace

bool find_levelling(const LevellingRequest &request, const PlaneSearch &search,
                    const PointSample &sample, const CloudFit &all,
                    const InlierPass &inlier_pass, FoundPlane *found,
                    RigidLevelling *levelling, double (&motion)[4][4], LevellingOutcome *fault) {
  if (!request.plane_points.empty()) {
    picked_plane(request.plane_points, search, found);
  } else if (request.fit == FitMethod::kAll) {
    if (!fit_every_point(search, all, found, fault)) {
      return false;
    }
  } else {
    DetectedPlane detected;
    PointSample near;
    const PointSample &searched = without_far_points(sample, &near) ? near : sample;
    if (!detect_in_sample(search, searched, &detected, fault) ||
        !refit_to_inliers(search, searched, detected, inlier_pass, found, fault)) {
      return false;
    }
  }
  if (search.cameras != nullptr && orient_by_cameras(*search.cameras, &found->plane)) {
    found->tilt = kHalfTurn - found->tilt;  // from up, turned over
  }
  levelling_of(*found, request.pivot, levelling, motion);
  return request.yaw != YawChoice::kWalls ||
         turn_to_walls(request, search, sample, found, motion, fault);
}

}  // namespace levelling
