// Solving a small square linear system by Gaussian elimination with partial pivoting.
#ifndef LEVELLING_PLANE_SOLVER_H
#define LEVELLING_PLANE_SOLVER_H

#include "linalg/matrix.h"

namespace levelling {

// A pivot smaller than this in magnitude makes the system count as singular.
constexpr double kSingularPivot = 0.00001;

// Solves A x = b for n unknowns.
//
// `aug` is the augmented matrix [A | b] stored BY COLUMNS: a Matrix of n + 1 rows of n floats,
// where aug[c][r] is A[r][c] for c < n and aug[n][r] is b[r] (a 4 x 3 Matrix for n = 3).
// Elimination runs in place, so on return `aug` is permuted and reduced and of no further use.
// In every column the pivot is the first row of largest magnitude; the row exchange is done
// even when the pivot row is already in place. Each update is evaluated in double precision and
// stored as a float, right-hand side first and pivot column last.
//
// Writes the n unknowns to `x` and returns 1. Returns 0 and leaves `x` untouched when a pivot is
// below kSingularPivot in magnitude (a singular or nearly singular system). n <= 0 reads and
// writes nothing and returns 1. NaN coefficients are not detected: they give NaN unknowns.
int solve_linear_system(Matrix aug, int n, float *x);

}  // namespace levelling

#endif
