// The plane through the first three points of a point set, in general and in slope form.
#ifndef LEVELLING_PLANE_PLANE_THREE_POINTS_H
#define LEVELLING_PLANE_PLANE_THREE_POINTS_H

namespace levelling {

// The plane A*x + B*y + C*z + D = 0 through P0, P1 and P2, the points 0, 1 and 2 of xs, ys, zs
// (only those three are read). The normal (A, B, C) is the cross product (P1 - P0) x (P2 - P0),
// so it points up (C > 0) when the points run counter-clockwise seen from above, and
// D = -(A*x0 + B*y0 + C*z0). All four are evaluated in double precision from the coordinate
// differences and stored as floats. Coincident or collinear points give a zero normal
// (A = B = C = 0, and D = 0).
void plane_through_points(const float *xs, const float *ys, const float *zs, float *A, float *B,
                          float *C, float *D);

// Turns the plane A*x + B*y + C*z + D = 0 into z = a*x + b*y + c: a = -A/C, b = -B/C, c = -D/C,
// each stored as a float. When C is exactly 0 (a vertical plane, or the zero normal of
// coincident or collinear points) the plane has no slope form: nothing is written, and a, b, c
// keep the values they held.
void plane_slope_form(float A, float B, float C, float D, float *a, float *b, float *c);

}  // namespace levelling

#endif
