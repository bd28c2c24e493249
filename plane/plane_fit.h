// Least-squares fit of the plane z = a*x + b*y + c to a point set.
#ifndef LEVELLING_PLANE_PLANE_FIT_H
#define LEVELLING_PLANE_PLANE_FIT_H

namespace levelling {

// The fewest points that determine a plane.
constexpr int kMinimumPlanePoints = 3;

// Fits z = a*x + b*y + c to the points (xs[i], ys[i], zs[i]) by ordinary least squares in z:
// forms the 3 x 3 normal equations and solves them with solve_linear_system.
//
// In:  count - the number of points as a float; its whole part is used (6.7 means 6 points), and
//              xs, ys, zs must each hold that many floats.
// Out: a, b, c - the plane's slopes along x and y and its height at the origin.
// Returns 1 with the fitted plane. Returns 0 with a = b = c = 0 when the whole part of count is
// below 3 (or count is NaN), and when the normal equations are singular (for example, every
// point on one vertical plane), since no plane was fitted then.
//
// The sums of y*y and z*y are rounded to float after every point while the other six sums are
// carried in double precision; the solved coefficients depend on that rounding in their last
// digits.
//
// What it is for: small point sets near the origin, such as the demonstration's six points,
// whose printed digits depend on exactly this arithmetic. It is not a fit for real clouds: the
// two float sums stop growing once their running total dwarfs each new term, and the sums are
// taken about the origin, so large or far-from-origin sets come out wrong, and it says nothing.
// Points on z = -0.3x + 0.2y + 5 (x and y over 100 units, noise 0.01) give b = 0.2076 at 10^7
// points; shifted by 1000 in x and y, b comes out above 0.6 and c hundreds of units off at 10^6
// points; both return 1. For such sets use cloud_fit_add and cloud_fit_solve
// (plane/cloud_fit.h).
int fit_plane_least_squares(float *a, float *b, float *c, float count, const float *xs,
                            const float *ys, const float *zs);

}  // namespace levelling

#endif
