#include "plane/orthogonal_fit.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace levelling {

namespace {

// Where the middle eigenvalue (a variance) is below this fraction of the largest, the cloud
// has no second direction of spread: it is a line.
constexpr double kLineVarianceRatio = 1e-13;
// Jacobi sweeps: a 3 x 3 matrix converges to double precision in five or six.
constexpr int kMaxSweeps = 50;

// The central moments in CloudFit's order.
constexpr int kXX = 0, kXY = 1, kYY = 2, kXZ = 3, kYZ = 4, kZZ = 5;

}  // namespace

void symmetric_eigen_3x3(const double (&m)[3][3], double (&values)[3], double (&vectors)[3][3]) {
  double a[3][3];
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      a[r][c] = r <= c ? m[r][c] : m[c][r];
      vectors[r][c] = r == c ? 1.0 : 0.0;
    }
  }
  const int pairs[3][2] = {{0, 1}, {0, 2}, {1, 2}};
  for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
    const double off = std::fabs(a[0][1]) + std::fabs(a[0][2]) + std::fabs(a[1][2]);
    const double diagonal = std::fabs(a[0][0]) + std::fabs(a[1][1]) + std::fabs(a[2][2]);
    if (!(off > 0.0) || off <= 1e-300 * diagonal) {
      break;  // diagonal (or NaN, which no rotation mends)
    }
    for (const auto &pair : pairs) {
      const int p = pair[0], q = pair[1];
      const double apq = a[p][q];
      if (apq == 0.0) {
        continue;
      }
      // The rotation that zeroes a[p][q]: t = tan of its angle, the smaller root.
      const double theta = (a[q][q] - a[p][p]) / (2.0 * apq);
      const double t = std::fabs(theta) > 1e150
                           ? 0.5 / theta
                           : (theta >= 0.0 ? 1.0 : -1.0) /
                                 (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
      const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
      a[p][p] -= t * apq;
      a[q][q] += t * apq;
      a[p][q] = a[q][p] = 0.0;
      const int r = 3 - p - q;
      const double arp = a[r][p], arq = a[r][q];
      a[r][p] = a[p][r] = c * arp - s * arq;
      a[r][q] = a[q][r] = s * arp + c * arq;
      for (int k = 0; k < 3; ++k) {
        const double vkp = vectors[k][p], vkq = vectors[k][q];
        vectors[k][p] = c * vkp - s * vkq;
        vectors[k][q] = s * vkp + c * vkq;
      }
    }
  }
  int order[3] = {0, 1, 2};
  std::sort(order, order + 3, [&](int i, int j) { return a[i][i] > a[j][j]; });
  double sorted[3][3];
  for (int k = 0; k < 3; ++k) {
    values[k] = a[order[k]][order[k]];
    for (int r = 0; r < 3; ++r) {
      sorted[r][k] = vectors[r][order[k]];
    }
  }
  for (int r = 0; r < 3; ++r) {
    for (int k = 0; k < 3; ++k) {
      vectors[r][k] = sorted[r][k];
    }
  }
}

OrthogonalPlane orthogonal_fit(const CloudFit &fit) {
  OrthogonalPlane plane;
  plane.count = fit.count;
  if (fit.non_finite) {
    plane.status = OrthogonalFitStatus::kNonFinite;
    return plane;
  }
  for (int k = 0; k < 3; ++k) {
    plane.centroid[k] = fit.count > 0 ? fit.reference[k] + fit.mean[k] : 0.0;
  }
  if (fit.count < 3) {
    plane.status = OrthogonalFitStatus::kTooFewPoints;
    return plane;
  }
  // The covariance, scaled by its trace so that the rotations neither overflow nor underflow.
  const double *mo = fit.moments;
  const double trace = mo[kXX] + mo[kYY] + mo[kZZ];
  if (!(trace > 0.0)) {
    plane.status = std::isfinite(trace) ? OrthogonalFitStatus::kCollinear
                                        : OrthogonalFitStatus::kNonFinite;
    return plane;
  }
  const double m[3][3] = {{mo[kXX] / trace, mo[kXY] / trace, mo[kXZ] / trace},
                          {0.0, mo[kYY] / trace, mo[kYZ] / trace},
                          {0.0, 0.0, mo[kZZ] / trace}};
  double values[3], vectors[3][3];
  symmetric_eigen_3x3(m, values, vectors);
  if (!std::isfinite(values[0])) {
    plane.status = OrthogonalFitStatus::kNonFinite;
    return plane;
  }
  if (values[1] <= kLineVarianceRatio * values[0]) {
    plane.status = OrthogonalFitStatus::kCollinear;
    return plane;
  }
  double n[3] = {vectors[0][2], vectors[1][2], vectors[2][2]};
  const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
  for (double &each : n) {
    each /= length;
  }
  // nz >= 0; for a vertical plane the first non-zero component positive.
  const double deciding = n[2] != 0.0 ? n[2] : n[1] != 0.0 ? n[1] : n[0];
  if (deciding < 0.0) {
    for (double &each : n) {
      each = -each;
    }
  }
  plane.status = OrthogonalFitStatus::kFitted;
  for (int k = 0; k < 3; ++k) {
    plane.normal[k] = n[k];
    plane.spreads[k] = std::sqrt(std::max(0.0, values[k]) * trace / double(fit.count));
  }
  plane.offset = n[0] * plane.centroid[0] + n[1] * plane.centroid[1] + n[2] * plane.centroid[2];
  // The sum of squared distances to the plane: n' M n, the smallest eigenvalue, in the cloud's
  // own units.
  double spread = 0.0;
  const int index[3][3] = {{kXX, kXY, kXZ}, {kXY, kYY, kYZ}, {kXZ, kYZ, kZZ}};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      spread += n[r] * mo[index[r][c]] * n[c];
    }
  }
  plane.rms = std::sqrt(std::max(0.0, spread) / double(fit.count));
  plane.spreads[2] = plane.rms;
  if (n[2] > kVerticalNormalZ) {
    plane.has_slopes = true;
    plane.a = -n[0] / n[2];
    plane.b = -n[1] / n[2];
    plane.c = plane.offset / n[2];
  }
  return plane;
}

const char *orthogonal_fit_status_text(OrthogonalFitStatus status) {
  switch (status) {
    case OrthogonalFitStatus::kFitted:
      return "fitted";
    case OrthogonalFitStatus::kTooFewPoints:
      return "fewer than 3 points";
    case OrthogonalFitStatus::kCollinear:
      return "all points lie on one line";
    case OrthogonalFitStatus::kNonFinite:
      return "the coordinates' squares overflow double precision";
  }
  return "unknown status";
}

}  // namespace levelling
