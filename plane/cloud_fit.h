// Least-squares fit of the plane z = a*x + b*y + c to a point cloud of any size, fed in pieces.
//
// Unlike fit_plane_least_squares (small sets, the demonstration's exact digits), this fit is
// meant for real scans: millions of points, coordinates far from the origin (georeferenced
// x ~ 500 000, y ~ 4 000 000). It takes double coordinates, because a float holds such a
// coordinate only to a quarter or half of a unit; a caller with float data widens each block.
// Every sum is taken about a reference point (the first point added) and as central moments per
// block of points, merged block by block, so no digit is lost to the coordinates' size or the
// count; the 2 x 2 normal equations of the slopes are then solved in double.
//
// Use: a zero-initialised CloudFit, cloud_fit_add for each piece of the cloud (in any number of
// calls, the cloud need never be in memory whole), then cloud_fit_solve.
#ifndef LEVELLING_PLANE_CLOUD_FIT_H
#define LEVELLING_PLANE_CLOUD_FIT_H

#include <cstdint>

namespace levelling {

// The running state of a fit: what cloud_fit_add has seen so far. Start from CloudFit{}.
struct CloudFit {
  int64_t count = 0;         // points added
  bool non_finite = false;   // a NaN or infinite coordinate, or sums beyond double, was met
  double reference[3] = {};  // x, y, z of the first point added; the sums below are about it
  double mean[3] = {};       // the mean offset of the points from the reference
  double moments[6] = {};    // central sums of products: xx, xy, yy, xz, yz, zz
};

// Adds the n points (xs[i], ys[i], zs[i]) to the fit. n <= 0 adds nothing. Constant scratch (on
// the stack) whatever n; time linear in n.
void cloud_fit_add(CloudFit *fit, int64_t n, const double *xs, const double *ys,
                   const double *zs);

// Adds the points another fit has seen to `fit`, as if they had been added to it: fits of the
// parts of a cloud (files, threads) merge into the fit of the whole, to rounding, by the same
// pairwise update of means and central moments. A fit with no points changes nothing.
void cloud_fit_merge(CloudFit *fit, const CloudFit &other);

// Why a fit failed, or kFitted.
enum class CloudFitStatus {
  kFitted,
  kTooFewPoints,   // fewer than 3 points
  kCollinear,      // every point on one line (or all at one place): no single plane holds them
  kVerticalPlane,  // every point on one vertical plane: it has no slope form z = a*x + b*y + c
  kNonFinite,      // a NaN or infinite coordinate (or coordinates whose squares overflow)
};

// The fitted plane and what it rests on.
struct CloudPlane {
  CloudFitStatus status = CloudFitStatus::kTooFewPoints;
  double a = 0.0;  // slope along x (dz/dx)
  double b = 0.0;  // slope along y (dz/dy)
  double c = 0.0;  // height at x = y = 0
  int64_t count = 0;
  double centroid[3] = {};  // the points' mean; the plane passes through it
  double rms = 0.0;         // root mean square of the vertical residuals z - (a*x + b*y + c)
};

// Solves the fit. On kFitted every field is set; the RMS residual comes from the sums (good to
// about 1e-8 of the points' spread in z; a second pass over the points gives it exactly). On a
// failure a, b, c and rms are 0; count, and the centroid when there are points and they are
// finite, are still set. The line and vertical-plane tests are relative (a spread across the
// line below 1e-5 of the spread along it counts as none), so they do not depend on units.
CloudPlane cloud_fit_solve(const CloudFit &fit);

// A short lower-case description of a status, for messages: "fewer than 3 points", ...
const char *cloud_fit_status_text(CloudFitStatus status);

}  // namespace levelling

#endif
