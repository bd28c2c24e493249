#include "plane/solver.h"

#include <cmath>
#include <utility>

namespace levelling {

int solve_linear_system(Matrix aug, int n, float *x) {
  for (int k = 0; k < n; ++k) {
    int pivot = k;
    for (int j = k + 1; j < n; ++j) {
      if (std::fabs(aug[k][j]) > std::fabs(aug[k][pivot])) {
        pivot = j;
      }
    }
    for (int c = k; c <= n; ++c) {
      std::swap(aug[c][k], aug[c][pivot]);
    }
    if (std::fabs(aug[k][k]) < kSingularPivot) {
      return 0;
    }
    // The pivot column is updated last, so the multiplier aug[k][j] keeps its value until the
    // rest of row j has been reduced with it.
    for (int j = k + 1; j < n; ++j) {
      for (int c = n; c >= k; --c) {
        aug[c][j] = float(double(aug[c][j]) - (double(aug[c][k]) * aug[k][j]) / aug[k][k]);
      }
    }
  }
  for (int r = n - 1; r >= 0; --r) {
    double known = 0.0;
    for (int c = r + 1; c < n; ++c) {
      known = known + double(aug[c][r]) * x[c];
    }
    x[r] = float((double(aug[n][r]) - known) / aug[r][r]);
  }
  return 1;
}

}  // namespace levelling
