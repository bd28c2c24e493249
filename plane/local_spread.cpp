#include "plane/local_spread.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace levelling {

namespace {

// The median absolute deviation of normal noise times this is its standard deviation.
constexpr double kMadToSigma = 1.4826;
// A patch holding fewer points tells nothing of their spread.
constexpr size_t kLeastPatch = 4;

// The median of `values` (reordered), which is not empty.
double median_of(std::vector<double> *values) {
  const auto middle = values->begin() + std::ptrdiff_t(values->size() / 2);
  std::nth_element(values->begin(), middle, values->end());
  return *middle;
}

// A point of the band: its patch, its place in the input (to order ties), its distance.
struct Banded {
  int64_t patch;
  size_t index;
  double distance;
};

}  // namespace

double local_spread(const double *x, const double *y, const double *z, size_t m,
                    const double (&n)[3], double offset, double band) {
  // Two axes of the plane: n crossed with the coordinate axis least along it, then n crossed
  // with that.
  const int least = std::fabs(n[0]) <= std::fabs(n[1]) && std::fabs(n[0]) <= std::fabs(n[2]) ? 0
                    : std::fabs(n[1]) <= std::fabs(n[2])                                        ? 1
                                                                                                : 2;
  const double axis[3] = {least == 0 ? 1.0 : 0.0, least == 1 ? 1.0 : 0.0,
                          least == 2 ? 1.0 : 0.0};
  double u[3] = {n[1] * axis[2] - n[2] * axis[1], n[2] * axis[0] - n[0] * axis[2],
                 n[0] * axis[1] - n[1] * axis[0]};
  const double length = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
  for (double &each : u) {
    each /= length;
  }
  const double v[3] = {n[1] * u[2] - n[2] * u[1], n[2] * u[0] - n[0] * u[2],
                       n[0] * u[1] - n[1] * u[0]};
  std::vector<double> along_u, along_v, distances;
  std::vector<size_t> indices;
  for (size_t i = 0; i < m; ++i) {
    const double r = n[0] * x[i] + n[1] * y[i] + n[2] * z[i] - offset;
    if (std::fabs(r) <= band) {
      along_u.push_back(u[0] * x[i] + u[1] * y[i] + u[2] * z[i]);
      along_v.push_back(v[0] * x[i] + v[1] * y[i] + v[2] * z[i]);
      distances.push_back(r);
      indices.push_back(i);
    }
  }
  const size_t count = distances.size();
  if (count < kPatchPoints) {
    return 0.0;
  }
  const auto [u_low, u_high] = std::minmax_element(along_u.begin(), along_u.end());
  const auto [v_low, v_high] = std::minmax_element(along_v.begin(), along_v.end());
  const double width = *u_high - *u_low, depth = *v_high - *v_low;
  const double side = std::sqrt(width * depth * double(kPatchPoints) / double(count));
  // (A band along a line, whose patches would outnumber its points, has no spread to tell.)
  if (!(side > 0.0) || !std::isfinite(side) || width / side > double(count) ||
      depth / side > double(count)) {
    return 0.0;
  }
  const int64_t columns = int64_t(depth / side) + 1;
  std::vector<Banded> banded(count);
  for (size_t k = 0; k < count; ++k) {
    const int64_t i = int64_t((along_u[k] - *u_low) / side);
    const int64_t j = int64_t((along_v[k] - *v_low) / side);
    banded[k] = {i * columns + j, indices[k], distances[k]};
  }
  std::sort(banded.begin(), banded.end(), [](const Banded &a, const Banded &b) {
    return a.patch != b.patch ? a.patch < b.patch : a.index < b.index;
  });
  std::vector<double> differences, patch;
  for (size_t first = 0; first < count;) {
    size_t last = first;
    patch.clear();
    while (last < count && banded[last].patch == banded[first].patch) {
      patch.push_back(banded[last++].distance);
    }
    if (patch.size() >= kLeastPatch) {
      std::vector<double> ordered = patch;
      const double middle = median_of(&ordered);
      for (const double each : patch) {
        differences.push_back(std::fabs(each - middle));
      }
    }
    first = last;
  }
  return differences.empty() ? 0.0 : kMadToSigma * median_of(&differences);
}

}  // namespace levelling
