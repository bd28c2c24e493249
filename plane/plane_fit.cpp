#include "plane/plane_fit.h"

#include "linalg/matrix.h"
#include "linalg/point_count.h"
#include "plane/solver.h"

namespace levelling {

namespace {

constexpr int kUnknowns = 3;  // a, b and c

}  // namespace

int fit_plane_least_squares(float *a, float *b, float *c, float count, const float *xs,
                            const float *ys, const float *zs) {
  // The normal equations by columns: row k of the matrix holds the coefficients of unknown k,
  // row 3 the right-hand side.
  Matrix normal = matrix_alloc(kUnknowns + 1, kUnknowns);
  float solution[kUnknowns] = {0.0f, 0.0f, 0.0f};
  const int n = whole_point_count(count);
  if (n < kMinimumPlanePoints) {
    *a = 0.0f;
    *b = 0.0f;
    *c = 0.0f;
    matrix_free(kUnknowns + 1, normal);
    return 0;
  }

  double sx = 0.0;
  double sy = 0.0;
  double sz = 0.0;
  double sxx = 0.0;
  double sxy = 0.0;
  double sxz = 0.0;
  float syy = 0.0f;  // rounded to float at every point
  float syz = 0.0f;  // rounded to float at every point
  for (int i = 0; i < n; ++i) {
    sx = sx + xs[i];
    sy = sy + ys[i];
    sz = sz + zs[i];
    sxx = sxx + double(xs[i]) * xs[i];
    sxy = sxy + double(xs[i]) * ys[i];
    sxz = sxz + double(zs[i]) * xs[i];
    syy = float(syy + double(ys[i]) * ys[i]);
    syz = float(syz + double(zs[i]) * ys[i]);
  }

  normal[0][0] = float(sxx);
  normal[0][1] = float(sxy);
  normal[0][2] = float(sx);
  normal[1][0] = float(sxy);
  normal[1][1] = syy;
  normal[1][2] = float(sy);
  normal[2][0] = float(sx);
  normal[2][1] = float(sy);
  normal[2][2] = float(n);
  normal[3][0] = float(sxz);
  normal[3][1] = syz;
  normal[3][2] = float(sz);

  const int solved = solve_linear_system(normal, kUnknowns, solution);
  if (solved == 1) {
    *a = solution[0];
    *b = solution[1];
    *c = solution[2];
  } else {
    *a = 0.0f;
    *b = 0.0f;
    *c = 0.0f;
  }
  matrix_free(kUnknowns + 1, normal);
  return solved;
}

}  // namespace levelling
