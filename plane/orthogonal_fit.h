// The plane nearest a cloud's points in the orthogonal sense: the plane through their centroid
// whose normal is the direction of least spread, which minimises the sum of squared distances
// measured perpendicular to it (not along z).
//
// Unlike cloud_fit_solve (vertical residuals, slope form), this fit is valid for every
// orientation, vertical planes included, and it turns with the cloud: a cloud turned rigidly
// fits to the same plane turned alike, noise and all. It reads the moments a CloudFit keeps, so
// a cloud of any size is fitted in one streaming pass (plane/cloud_fit.h), and partial fits of
// pieces merge exactly.
//
// The plane is n . p = offset, with n a unit vector (nx, ny, nz) and p = (x, y, z) in the cloud's
// units. n is the eigenvector of the 3 x 3 covariance of the points for its smallest eigenvalue,
// found by Jacobi rotations in double precision (accurate for small eigenvalues, which is what a
// flat cloud has). The sign of n is chosen so that nz >= 0 (for a vertical plane: the first
// non-zero component is positive); callers that know which side is up orient it themselves.
#ifndef LEVELLING_PLANE_ORTHOGONAL_FIT_H
#define LEVELLING_PLANE_ORTHOGONAL_FIT_H

#include <cstdint>

#include "plane/cloud_fit.h"

namespace levelling {

enum class OrthogonalFitStatus {
  kFitted,
  kTooFewPoints,  // fewer than 3 points
  kCollinear,     // every point on one line (or at one place): no single plane holds them
  kNonFinite,     // a NaN or infinite coordinate, or moments beyond double's range
};

struct OrthogonalPlane {
  OrthogonalFitStatus status = OrthogonalFitStatus::kTooFewPoints;
  double normal[3] = {0.0, 0.0, 1.0};  // unit normal, nz >= 0
  double offset = 0.0;                 // n . p for every point p on the plane
  int64_t count = 0;
  double centroid[3] = {};  // the points' mean; the plane passes through it
  double rms = 0.0;         // root mean square of the points' orthogonal distances to the plane
  // The spreads (standard deviations) along the covariance's three axes, largest first; the
  // last is the rms.
  double spreads[3] = {};
  // The slope form z = a*x + b*y + c, when the plane is not vertical (nz above
  // kVerticalNormalZ); a = b = c = 0 otherwise.
  bool has_slopes = false;
  double a = 0.0, b = 0.0, c = 0.0;
};

// Below this z component of the unit normal a plane counts as vertical: it has no slope form.
constexpr double kVerticalNormalZ = 1e-12;

// The orthogonal fit of the points added to `fit`. On kFitted every field is set; on a failure
// count (and the centroid when there are finite points) are set and the rest is as default.
// Collinear is relative: a spread across the line below about 3e-7 of the spread along it
// (variance ratio 1e-13) counts as none, so one far point does not make a plane a line, and a
// line written in float precision is still a line.
OrthogonalPlane orthogonal_fit(const CloudFit &fit);

// A short lower-case description of a status, for messages.
const char *orthogonal_fit_status_text(OrthogonalFitStatus status);

// The eigen decomposition of the symmetric 3 x 3 matrix m (only its upper triangle is read):
// values[k] with the unit eigenvector (vectors[0][k], vectors[1][k], vectors[2][k]), sorted
// from the largest value to the smallest. Cyclic Jacobi rotations, in double precision.
// Non-finite entries give non-finite values.
void symmetric_eigen_3x3(const double (&m)[3][3], double (&values)[3], double (&vectors)[3][3]);

}  // namespace levelling

#endif
