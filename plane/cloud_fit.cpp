#include "plane/cloud_fit.h"

#include <cmath>

namespace levelling {

namespace {

// Points summed together before they join the fit: a block's sums, taken about its own first
// point, become central moments and merge into the fit's. Small enough that the block's offsets
// stay close to its own point, large enough that the merge is rare.
constexpr int kBlockPoints = 2048;
// Independent partial sums per quantity, so that the sums run side by side (and vectorise)
// instead of waiting one for the other; nine sums of two lanes fill nine vector registers.
constexpr int kLanes = 2;
// Where the cloud's second largest spread is below this fraction of its largest (as a ratio of
// variances, 1e-5 in distance), it counts as none: the points lie on a line, or their x and y
// on a line.
constexpr double kFlatness = 1e-10;

// The central moments, in the order CloudFit keeps them.
constexpr int kXX = 0, kXY = 1, kYY = 2, kXZ = 3, kYZ = 4, kZZ = 5, kMoments = 6;
// The plain sums of one block: of the offsets, then of their products in the moments' order.
constexpr int kX = 0, kY = 1, kZ = 2, kFirstProduct = 3, kSums = kFirstProduct + kMoments;

// The mean offset from `reference` and the central moments of one block of n > 0 points.
struct BlockSums {
  double mean[3];
  double moments[kMoments];
};

double lanes_total(const double (&lanes)[kLanes]) {
  double total = 0.0;
  for (double lane : lanes) {
    total += lane;
  }
  return total;
}

BlockSums block_sums(int n, const double *xs, const double *ys, const double *zs,
                     const double (&reference)[3]) {
  // One pass of plain sums about the block's own first point, which lies among the block's
  // points, so turning them into central moments below cancels little.
  const double ox = xs[0], oy = ys[0], oz = zs[0];
  double sums[kSums][kLanes] = {};
  const auto add = [&](int l, double x, double y, double z) {
    const double dx = x - ox, dy = y - oy, dz = z - oz;
    sums[kX][l] += dx;
    sums[kY][l] += dy;
    sums[kZ][l] += dz;
    sums[kFirstProduct + kXX][l] += dx * dx;
    sums[kFirstProduct + kXY][l] += dx * dy;
    sums[kFirstProduct + kYY][l] += dy * dy;
    sums[kFirstProduct + kXZ][l] += dx * dz;
    sums[kFirstProduct + kYZ][l] += dy * dz;
    sums[kFirstProduct + kZZ][l] += dz * dz;
  };
  int i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    for (int l = 0; l < kLanes; ++l) {
      add(l, xs[i + l], ys[i + l], zs[i + l]);
    }
  }
  for (; i < n; ++i) {
    add(0, xs[i], ys[i], zs[i]);
  }
  double total[kSums];
  for (int k = 0; k < kSums; ++k) {
    total[k] = lanes_total(sums[k]);
  }
  const double mean[3] = {total[kX] / n, total[kY] / n, total[kZ] / n};
  BlockSums block;
  block.mean[0] = (ox - reference[0]) + mean[0];
  block.mean[1] = (oy - reference[1]) + mean[1];
  block.mean[2] = (oz - reference[2]) + mean[2];
  const int pairs[kMoments][2] = {{0, 0}, {0, 1}, {1, 1}, {0, 2}, {1, 2}, {2, 2}};
  for (int m = 0; m < kMoments; ++m) {
    block.moments[m] = total[kFirstProduct + m] - total[pairs[m][0]] * mean[pairs[m][1]];
  }
  return block;
}

// Adds a block of `n` points to `fit` (which already holds `fit->count` of them) by the
// pairwise update of means and central moments.
void merge(CloudFit *fit, int64_t n, const BlockSums &block) {
  const double before = double(fit->count);
  const double added = double(n);
  const double total = before + added;
  double delta[3];
  for (int k = 0; k < 3; ++k) {
    delta[k] = block.mean[k] - fit->mean[k];
    fit->mean[k] += delta[k] * (added / total);
  }
  const double weight = before * added / total;
  const int pairs[kMoments][2] = {{0, 0}, {0, 1}, {1, 1}, {0, 2}, {1, 2}, {2, 2}};
  for (int m = 0; m < kMoments; ++m) {
    fit->moments[m] += block.moments[m] + delta[pairs[m][0]] * delta[pairs[m][1]] * weight;
  }
  fit->count += n;
}

bool finite(const double (&values)[3]) {
  return std::isfinite(values[0]) && std::isfinite(values[1]) && std::isfinite(values[2]);
}

}  // namespace

void cloud_fit_add(CloudFit *fit, int64_t n, const double *xs, const double *ys,
                   const double *zs) {
  for (int64_t first = 0; first < n; first += kBlockPoints) {
    const int width = n - first < kBlockPoints ? int(n - first) : kBlockPoints;
    if (fit->count == 0) {
      fit->reference[0] = xs[first];
      fit->reference[1] = ys[first];
      fit->reference[2] = zs[first];
    }
    const BlockSums block = block_sums(width, xs + first, ys + first, zs + first,
                                       fit->reference);
    merge(fit, width, block);
  }
  // A NaN or infinity in any coordinate reaches the means or the moments and stays there.
  bool finite_sums = finite(fit->reference) && finite(fit->mean);
  for (double moment : fit->moments) {
    finite_sums = finite_sums && std::isfinite(moment);
  }
  fit->non_finite = fit->non_finite || (fit->count > 0 && !finite_sums);
}

void cloud_fit_merge(CloudFit *fit, const CloudFit &other) {
  if (other.count == 0) {
    return;
  }
  if (fit->count == 0) {
    *fit = other;
    return;
  }
  // The other's mean about this fit's reference point.
  BlockSums block;
  for (int k = 0; k < 3; ++k) {
    block.mean[k] = (other.reference[k] - fit->reference[k]) + other.mean[k];
  }
  for (int m = 0; m < kMoments; ++m) {
    block.moments[m] = other.moments[m];
  }
  merge(fit, other.count, block);
  fit->non_finite = fit->non_finite || other.non_finite;
}

CloudPlane cloud_fit_solve(const CloudFit &fit) {
  CloudPlane plane;
  plane.count = fit.count;
  if (fit.non_finite) {
    plane.status = CloudFitStatus::kNonFinite;
    return plane;
  }
  for (int k = 0; k < 3; ++k) {
    plane.centroid[k] = fit.count > 0 ? fit.reference[k] + fit.mean[k] : 0.0;
  }
  if (fit.count < 3) {
    plane.status = CloudFitStatus::kTooFewPoints;
    return plane;
  }
  const double xx = fit.moments[kXX], xy = fit.moments[kXY], yy = fit.moments[kYY];
  const double xz = fit.moments[kXZ], yz = fit.moments[kYZ], zz = fit.moments[kZZ];

  // The spreads, compared through the moment matrix's invariants: its trace (the sum of the
  // spreads' squares) and the sum of its principal 2 x 2 minors (the sum of their pairwise
  // products). Both are independent of how the cloud is turned.
  const double det_xy = xx * yy - xy * xy;
  const double minors = det_xy + (xx * zz - xz * xz) + (yy * zz - yz * yz);
  const double trace = xx + yy + zz;
  const double trace_xy = xx + yy;
  if (minors <= kFlatness * trace * trace) {
    plane.status = CloudFitStatus::kCollinear;
    return plane;
  }
  if (det_xy <= kFlatness * trace_xy * trace_xy) {
    plane.status = CloudFitStatus::kVerticalPlane;
    return plane;
  }
  plane.status = CloudFitStatus::kFitted;
  plane.a = (xz * yy - yz * xy) / det_xy;
  plane.b = (yz * xx - xz * xy) / det_xy;
  plane.c = plane.centroid[2] - plane.a * plane.centroid[0] - plane.b * plane.centroid[1];
  const double residual = zz - plane.a * xz - plane.b * yz;
  plane.rms = residual > 0.0 ? std::sqrt(residual / double(fit.count)) : 0.0;
  return plane;
}

const char *cloud_fit_status_text(CloudFitStatus status) {
  switch (status) {
    case CloudFitStatus::kFitted:
      return "fitted";
    case CloudFitStatus::kTooFewPoints:
      return "fewer than 3 points";
    case CloudFitStatus::kCollinear:
      return "all points lie on one line";
    case CloudFitStatus::kVerticalPlane:
      return "all points lie on one vertical plane";
    case CloudFitStatus::kNonFinite:
      return "a coordinate is not a finite number";
  }
  return "unknown status";
}

}  // namespace levelling
