#include "cloud/plane_search.h"

#include <cmath>

#include "cloud/run_fault.h"

namespace levelling {

namespace {

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

}  // namespace

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
  // the cloud's.
  CloudFit sampled;
  cloud_fit_add(&sampled, int64_t(sample.x.size()), sample.x.data(),
                sample.y.data(), sample.z.data());
  const OrthogonalPlane whole = orthogonal_fit(sampled);
  if (whole.status == OrthogonalFitStatus::kTooFewPoints ||
      whole.status == OrthogonalFitStatus::kCollinear) {
    *fault = failure(search.shown,
                     std::string("no plane to level: ") + orthogonal_fit_status_text(whole.status),
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
    int64_t counted = 0;
    if (!inlier_pass(band, &inliers, &counted, fault)) {
      return false;
    }
    OrthogonalPlane refitted = orthogonal_fit(inliers);
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

}  // namespace levelling
