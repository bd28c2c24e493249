#include "plane/plane_detection.h"

#include <algorithm>
#include <cmath>

#include "plane/local_spread.h"
#include "plane/orthogonal_fit.h"

namespace levelling {

namespace {

// Hypotheses scored at least and at most: the adaptive count for 99% confidence lies between.
constexpr int kMinHypotheses = 64;
constexpr int kMaxHypotheses = 20000;
constexpr double kConfidence = 0.99;
// The coarse threshold, as a fraction of the sample's spread (its RMS distance from its
// centroid): 4 cm in a 10 m room, 3 ft on a 700 ft aerial tile.
constexpr double kCoarseThreshold = 0.01;
// Sample points within this many coarse thresholds give the robust spread of the distances.
constexpr double kSpreadBand = 3.0;
// The median absolute deviation of normal noise times this is its standard deviation.
constexpr double kMadToSigma = 1.4826;
// The automatic threshold in robust standard deviations of the distances.
constexpr double kThresholdSigmas = 3.0;
// A flat core: three spreads of the points about their neighbourhood under this share of the
// threshold (0.12 to 0.17 on ground falling away from a flat core; 0.6 and more on a depth
// camera's floors and tables, where the noise is the spread), the plane at that threshold
// holding this share of the points the wider one held and this concentration of them within a
// third of it (as plane_band_concentration: 0.33 spread evenly, 0.68 for a plane's noise;
// 0.49 to 0.65 on a flat core, 0.36 on aerial terrain whose relief has none).
constexpr double kCurvedShare = 0.5;
constexpr double kCoreShare = 0.4;
constexpr double kCoreConcentration = 0.45;
// The share of a point's surface's uncertainty its agreement with a plane allows beyond
// kSurfaceAgreementDegrees.
constexpr double kUncertaintyShare = 0.5;
// The automatic threshold at least this fraction of the sample's spread (noise-free clouds).
constexpr double kSmallestThreshold = 1e-7;
// Refits of a new best hypothesis to its inliers.
constexpr int kLocalSteps = 4;
// Three points closer to a line than this (the cross product's length against the product of
// the two edges' lengths, the sine of their angle) give no hypothesis.
constexpr double kSmallestSine = 1e-9;
// Points scored between two looks at whether a hypothesis can still win.
constexpr int kScoreChunk = 256;
constexpr double kPi = 3.14159265358979323846;

// splitmix64: a small generator whose sequence is the same on every platform.
uint64_t next_random(uint64_t *state) {
  uint64_t z = (*state += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

// A uniform double in (0, 1).
double random_unit(uint64_t *state) {
  return (double(next_random(state) >> 11) + 0.5) * (1.0 / 9007199254740992.0);
}

// A uniform integer in [0, n), n > 0 (n below 2^53).
size_t random_below(uint64_t *state, size_t n) {
  const size_t value = size_t(random_unit(state) * double(n));
  return value < n ? value : n - 1;
}

// A hypothesis or a fitted plane, in coordinates about the sample's centroid.
struct Plane {
  double n[3] = {0.0, 0.0, 1.0};
  double d = 0.0;
};

// The sample about its centroid, with what the search needs.
struct Work {
  std::vector<double> x, y, z;
  size_t m = 0;
  double centroid[3] = {};
  double spread = 0.0;  // RMS distance from the centroid
  // The points' own surfaces' normals (empty: inliers by distance alone), and for each the
  // least cosine between it and a plane's normal for the point to be the plane's.
  std::vector<double> sx, sy, sz, agreement;
};

// Whether point i may be an inlier of the plane of normal (nx, ny, nz) by its own surface.
inline bool surface_agrees(const Work &work, size_t i, double nx, double ny, double nz) {
  return work.sx.empty() ||
         std::fabs(nx * work.sx[i] + ny * work.sy[i] + nz * work.sz[i]) >= work.agreement[i];
}

// MSAC's score of a plane: the sum of min(r^2, t^2) over the points, and the points within t.
// Stops early (returning a cost above `give_up`) once the cost passes it.
struct Score {
  double cost = 0.0;
  size_t inliers = 0;
};

// With `by_surface`, a point counts as an inlier only where its surface agrees (as
// surface_agrees; written out here, where the loop is to vectorise).
Score score(const Work &work, const Plane &plane, double t, double give_up,
            bool by_surface = true) {
  const double t2 = t * t;
  Score result;
  const double *x = work.x.data(), *y = work.y.data(), *z = work.z.data();
  const double nx = plane.n[0], ny = plane.n[1], nz = plane.n[2], d = plane.d;
  const bool surfaces = by_surface && !work.sx.empty();
  const double *sx = work.sx.data(), *sy = work.sy.data(), *sz = work.sz.data();
  const double *agreement = work.agreement.data();
  for (size_t first = 0; first < work.m; first += kScoreChunk) {
    const size_t last = std::min(work.m, first + kScoreChunk);
    double cost = 0.0;
    size_t inliers = 0;
    if (surfaces) {
      for (size_t i = first; i < last; ++i) {
        const double r = nx * x[i] + ny * y[i] + nz * z[i] - d;
        const double r2 = r * r;
        const bool inside =
            r2 <= t2 && std::fabs(nx * sx[i] + ny * sy[i] + nz * sz[i]) >= agreement[i];
        cost += inside ? r2 : t2;
        inliers += inside ? 1 : 0;
      }
    } else {
      for (size_t i = first; i < last; ++i) {
        const double r = nx * x[i] + ny * y[i] + nz * z[i] - d;
        const double r2 = r * r;
        const bool inside = r2 <= t2;
        cost += inside ? r2 : t2;
        inliers += inside ? 1 : 0;
      }
    }
    result.cost += cost;
    result.inliers += inliers;
    if (result.cost > give_up) {
      return result;
    }
  }
  return result;
}

// The orthogonal fit of the points within t of `plane` whose surfaces agree with it; false when
// they hold no plane.
bool refit(const Work &work, const Plane &plane, double t, Plane *fitted) {
  constexpr size_t kChunk = 512;
  double bx[kChunk], by[kChunk], bz[kChunk];
  CloudFit fit;
  size_t used = 0;
  for (size_t i = 0; i < work.m; ++i) {
    const double r = plane.n[0] * work.x[i] + plane.n[1] * work.y[i] + plane.n[2] * work.z[i] -
                     plane.d;
    if (std::fabs(r) <= t && surface_agrees(work, i, plane.n[0], plane.n[1], plane.n[2])) {
      bx[used] = work.x[i];
      by[used] = work.y[i];
      bz[used] = work.z[i];
      if (++used == kChunk) {
        cloud_fit_add(&fit, int64_t(used), bx, by, bz);
        used = 0;
      }
    }
  }
  cloud_fit_add(&fit, int64_t(used), bx, by, bz);
  const OrthogonalPlane result = orthogonal_fit(fit);
  if (result.status != OrthogonalFitStatus::kFitted) {
    return false;
  }
  for (int k = 0; k < 3; ++k) {
    fitted->n[k] = result.normal[k];
  }
  fitted->d = result.offset;
  return true;
}

// The angle between the plane's normal and `up` (unit), the normal turned toward up first.
double tilt_from(const Plane &plane, const double (&up)[3]) {
  const double cosine =
      std::fabs(plane.n[0] * up[0] + plane.n[1] * up[1] + plane.n[2] * up[2]);
  return std::acos(std::min(1.0, cosine));
}

struct Search {
  bool limited = false;  // only planes within max_tilt of up
  double up[3] = {0.0, 0.0, 1.0};
  double max_tilt = kPi / 2;
};

struct Best {
  bool found = false;
  Plane plane;
  Score score;
};

bool within(const Search &search, const Plane &plane) {
  // A hair of slack, so that a limit of 90 degrees takes a vertical plane.
  return !search.limited || tilt_from(plane, search.up) <= search.max_tilt + 1e-12;
}

// MSAC with local optimisation over the sample, at threshold t.
Best search_plane(const Work &work, double t, const Search &search, uint64_t seed) {
  uint64_t state = seed;
  Best best;
  double best_cost = INFINITY;
  int needed = kMaxHypotheses;
  for (int hypothesis = 0; hypothesis < std::max(needed, kMinHypotheses) &&
                           hypothesis < kMaxHypotheses;
       ++hypothesis) {
    const size_t i = random_below(&state, work.m);
    size_t j = random_below(&state, work.m - 1);
    j += j >= i ? 1 : 0;
    size_t k = random_below(&state, work.m - 2);
    k += k >= std::min(i, j) ? 1 : 0;
    k += k >= std::max(i, j) ? 1 : 0;
    const double e1[3] = {work.x[j] - work.x[i], work.y[j] - work.y[i], work.z[j] - work.z[i]};
    const double e2[3] = {work.x[k] - work.x[i], work.y[k] - work.y[i], work.z[k] - work.z[i]};
    double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                   e1[0] * e2[1] - e1[1] * e2[0]};
    const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    const double edges = std::sqrt((e1[0] * e1[0] + e1[1] * e1[1] + e1[2] * e1[2]) *
                                   (e2[0] * e2[0] + e2[1] * e2[1] + e2[2] * e2[2]));
    if (!(length > kSmallestSine * edges)) {
      continue;
    }
    Plane plane;
    for (int a = 0; a < 3; ++a) {
      plane.n[a] = n[a] / length;
    }
    plane.d = plane.n[0] * work.x[i] + plane.n[1] * work.y[i] + plane.n[2] * work.z[i];
    if (!within(search, plane)) {
      continue;
    }
    const Score scored = score(work, plane, t, best_cost);
    if (scored.cost >= best_cost) {
      continue;
    }
    best.found = true;
    best.plane = plane;
    best.score = scored;
    best_cost = scored.cost;
    // Local optimisation: refit to the inliers while that lowers the cost.
    for (int step = 0; step < kLocalSteps; ++step) {
      Plane fitted;
      if (!refit(work, best.plane, t, &fitted) || !within(search, fitted)) {
        break;
      }
      const Score rescored = score(work, fitted, t, best_cost);
      if (rescored.cost >= best_cost) {
        break;
      }
      best.plane = fitted;
      best.score = rescored;
      best_cost = rescored.cost;
    }
    const double share = double(best.score.inliers) / double(work.m);
    const double all_inliers = share * share * share;
    needed = all_inliers >= 1.0 ? 0
             : all_inliers <= 0.0
                 ? kMaxHypotheses
                 : int(std::min<double>(kMaxHypotheses, std::ceil(std::log(1.0 - kConfidence) /
                                                                  std::log1p(-all_inliers))));
  }
  return best;
}

// The robust spread of the distances to `plane` of the points within `band` of it.
double robust_spread(const Work &work, const Plane &plane, double band) {
  std::vector<double> distances;
  distances.reserve(work.m);
  for (size_t i = 0; i < work.m; ++i) {
    const double r = std::fabs(plane.n[0] * work.x[i] + plane.n[1] * work.y[i] +
                               plane.n[2] * work.z[i] - plane.d);
    if (r <= band) {
      distances.push_back(r);
    }
  }
  if (distances.empty()) {
    return 0.0;
  }
  const auto middle = distances.begin() + std::ptrdiff_t(distances.size() / 2);
  std::nth_element(distances.begin(), middle, distances.end());
  return kMadToSigma * *middle;
}

// Refits `plane` to its inliers at t until they settle (at most kLocalSteps times).
Plane settle(const Work &work, Plane plane, double t, const Search &search) {
  for (int step = 0; step < kLocalSteps; ++step) {
    Plane fitted;
    if (!refit(work, plane, t, &fitted) || !within(search, fitted)) {
      break;
    }
    plane = fitted;
  }
  return plane;
}

}  // namespace

DetectedPlane detect_plane(const PointSample &sample, const DetectionOptions &options) {
  DetectedPlane result;
  Work work;
  work.m = sample.x.size();
  if (work.m < 3) {
    return result;
  }
  for (size_t i = 0; i < work.m; ++i) {
    work.centroid[0] += sample.x[i];
    work.centroid[1] += sample.y[i];
    work.centroid[2] += sample.z[i];
  }
  for (double &each : work.centroid) {
    each /= double(work.m);
  }
  // The sample about its centroid, scaled by a power of two (exactly) so that its largest
  // offset is about 1: squares and cross products then neither overflow nor underflow, whatever
  // the cloud's units.
  double largest = 0.0;
  for (size_t i = 0; i < work.m; ++i) {
    largest = std::fmax(largest, std::fabs(sample.x[i] - work.centroid[0]));
    largest = std::fmax(largest, std::fabs(sample.y[i] - work.centroid[1]));
    largest = std::fmax(largest, std::fabs(sample.z[i] - work.centroid[2]));
  }
  if (!(largest > 0.0) || !std::isfinite(largest)) {
    result.status = DetectionStatus::kNoPlane;
    return result;
  }
  const int exponent = std::ilogb(largest);
  work.x.resize(work.m);
  work.y.resize(work.m);
  work.z.resize(work.m);
  double squares = 0.0;
  for (size_t i = 0; i < work.m; ++i) {
    work.x[i] = std::ldexp(sample.x[i] - work.centroid[0], -exponent);
    work.y[i] = std::ldexp(sample.y[i] - work.centroid[1], -exponent);
    work.z[i] = std::ldexp(sample.z[i] - work.centroid[2], -exponent);
    squares += work.x[i] * work.x[i] + work.y[i] * work.y[i] + work.z[i] * work.z[i];
  }
  work.spread = std::sqrt(squares / double(work.m));
  if (options.surfaces != nullptr && options.surfaces->nx.size() == work.m &&
      options.surfaces->uncertainty.size() == work.m) {
    work.sx = options.surfaces->nx;
    work.sy = options.surfaces->ny;
    work.sz = options.surfaces->nz;
    // (A point whose neighbours scatter about their plane knows its surface the less well.)
    work.agreement.resize(work.m);
    for (size_t i = 0; i < work.m; ++i) {
      const double slack = kSurfaceAgreementDegrees * kPi / 180.0 +
                           kUncertaintyShare * options.surfaces->uncertainty[i];
      work.agreement[i] = slack < kPi / 2 ? std::cos(slack) : 0.0;
    }
  }

  Search search;
  const double up_length = std::sqrt(options.up[0] * options.up[0] +
                                     options.up[1] * options.up[1] +
                                     options.up[2] * options.up[2]);
  const double z_axis[3] = {0.0, 0.0, 1.0};
  for (int k = 0; k < 3; ++k) {
    search.up[k] = options.any_orientation || !(up_length > 0.0) ? z_axis[k]
                                                                  : options.up[k] / up_length;
  }
  search.limited = !options.any_orientation;
  search.max_tilt = options.max_tilt;

  const bool automatic = !(options.threshold > 0.0);
  const double coarse =
      automatic ? kCoarseThreshold * work.spread : std::ldexp(options.threshold, -exponent);
  const Best found = search_plane(work, coarse, search, options.seed);
  // (A plane's share is by distance: the surfaces chose it, and noisy ones agree with it only
  // in part.)
  const double min_inliers = options.min_share * double(work.m);
  const auto material = [&](const Best &best, double at) {
    return best.found && double(score(work, best.plane, at, INFINITY, false).inliers) >= min_inliers;
  };
  if (!material(found, coarse)) {
    // Nothing within the limit: is there a plane outside it, and how tilted?
    Search unlimited = search;
    unlimited.limited = false;
    const Best outside = search.limited ? search_plane(work, coarse, unlimited, options.seed)
                                        : Best();
    result.status = DetectionStatus::kNoPlane;
    if (material(outside, coarse)) {
      result.status = DetectionStatus::kNoPlaneInLimit;
      result.outside_tilt = tilt_from(outside.plane, search.up);
      const Score by_distance = score(work, outside.plane, coarse, INFINITY, false);
      result.outside_share = double(by_distance.inliers) / double(work.m);
    }
    return result;
  }

  double t = coarse;
  Plane plane = found.plane;
  if (automatic) {
    const double band = kSpreadBand * coarse;
    const double smallest = kSmallestThreshold * work.spread;
    const double sigma = robust_spread(work, plane, band);
    t = std::max(kThresholdSigmas * sigma, smallest);
    // A surface whose points scatter far less about their neighbourhood than about the plane
    // is curved: where the plane at that scatter holds a material part of the band, its points
    // near it rather than across it, that plane is the surface's flat core.
    const double tight = kThresholdSigmas * local_spread(work.x.data(), work.y.data(),
                                                        work.z.data(), work.m, plane.n, plane.d,
                                                        band);
    if (tight > smallest && tight < kCurvedShare * t) {
      const Best core = search_plane(work, tight, search, options.seed);
      if (core.found) {
        const double held = double(score(work, core.plane, tight, INFINITY, false).inliers);
        const double near = double(score(work, core.plane, tight / 3, INFINITY, false).inliers);
        const double all = double(score(work, plane, t, INFINITY, false).inliers);
        if (material(core, tight) && held >= kCoreShare * all &&
            near >= kCoreConcentration * held) {
          t = tight;
          plane = core.plane;
        }
      }
    }
    plane = settle(work, plane, t, search);
  }
  // Which side is up.
  double toward = plane.n[0] * search.up[0] + plane.n[1] * search.up[1] + plane.n[2] * search.up[2];
  if (options.any_orientation) {
    int64_t above = 0, below = 0;
    for (size_t i = 0; i < work.m; ++i) {
      const double r = plane.n[0] * work.x[i] + plane.n[1] * work.y[i] + plane.n[2] * work.z[i] -
                       plane.d;
      above += r > t ? 1 : 0;
      below += r < -t ? 1 : 0;
    }
    toward = above != below ? double(above - below) : plane.n[2];
  }
  if (toward < 0.0) {
    for (double &each : plane.n) {
      each = -each;
    }
    plane.d = -plane.d;
  }
  const Score final_score = score(work, plane, t, INFINITY, false);
  result.status = DetectionStatus::kFound;
  for (int k = 0; k < 3; ++k) {
    result.normal[k] = plane.n[k];
  }
  result.offset = std::ldexp(plane.d, exponent) + plane.n[0] * work.centroid[0] +
                  plane.n[1] * work.centroid[1] + plane.n[2] * work.centroid[2];
  result.threshold = std::ldexp(t, exponent);
  result.spread_band = automatic ? std::ldexp(kSpreadBand * coarse, exponent) : 0.0;
  result.share = double(final_score.inliers) / double(work.m);
  result.tilt = std::acos(std::min(1.0, std::max(-1.0, plane.n[0] * search.up[0] +
                                                            plane.n[1] * search.up[1] +
                                                            plane.n[2] * search.up[2])));
  return result;
}

int64_t plane_band_fit_add(CloudFit *fit, const PlaneBand &band, int64_t n, const double *xs,
                           const double *ys, const double *zs) {
  constexpr int kChunk = 256;
  const double nx = band.normal[0], ny = band.normal[1], nz = band.normal[2];
  const double offset = band.offset, t = band.threshold;
  int64_t taken = 0;
  for (int64_t first = 0; first < n; first += kChunk) {
    const int width = n - first < kChunk ? int(n - first) : kChunk;
    double bx[kChunk], by[kChunk], bz[kChunk];
    int used = 0;
    for (int i = 0; i < width; ++i) {
      const double x = xs[first + i], y = ys[first + i], z = zs[first + i];
      const double r = nx * x + ny * y + nz * z - offset;
      bx[used] = x;
      by[used] = y;
      bz[used] = z;
      used += std::fabs(r) <= t ? 1 : 0;
    }
    cloud_fit_add(fit, used, bx, by, bz);
    taken += used;
  }
  return taken;
}

double plane_band_changes(const PointSample &sample, const PlaneBand &before,
                          const PlaneBand &after) {
  int64_t changed = 0, inside = 0;
  for (size_t i = 0; i < sample.x.size(); ++i) {
    const double p[3] = {sample.x[i], sample.y[i], sample.z[i]};
    const bool in_before = std::fabs(before.normal[0] * p[0] + before.normal[1] * p[1] +
                                     before.normal[2] * p[2] - before.offset) <= before.threshold;
    const bool in_after = std::fabs(after.normal[0] * p[0] + after.normal[1] * p[1] +
                                    after.normal[2] * p[2] - after.offset) <= after.threshold;
    changed += in_before != in_after ? 1 : 0;
    inside += in_after ? 1 : 0;
  }
  return inside > 0 ? double(changed) / double(inside) : 1.0;
}

double plane_band_concentration(const PointSample &sample, const PlaneBand &band) {
  int64_t inside = 0, near = 0;
  const double third = band.threshold / 3.0;
  for (size_t i = 0; i < sample.x.size(); ++i) {
    const double r = std::fabs(band.normal[0] * sample.x[i] + band.normal[1] * sample.y[i] +
                               band.normal[2] * sample.z[i] - band.offset);
    inside += r <= band.threshold ? 1 : 0;
    near += r <= third ? 1 : 0;
  }
  return inside > 0 ? double(near) / double(inside) : 0.0;
}

}  // namespace levelling
