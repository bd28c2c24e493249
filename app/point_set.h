// The run's point set and what the run does with all of its points at once.
#ifndef LEVELLING_APP_POINT_SET_H
#define LEVELLING_APP_POINT_SET_H

#include <cstdio>

#include "linalg/matrix.h"

namespace levelling {

// The number of points a run works on, as an int and as the float count the library takes.
constexpr int kPointCount = 6;
constexpr float kPointCountAsFloat = 6.0f;

// Points as three parallel coordinate arrays: point i is (x[i], y[i], z[i]).
struct PointSet {
  float x[kPointCount];
  float y[kPointCount];
  float z[kPointCount];
};

// The points every run starts from, all on the level plane z = 10.
constexpr PointSet kStartingPoints = {
    {100.0f, 50.0f, 75.0f, 30.0f, 90.0f, 15.0f},
    {0.0f, 0.0f, 75.0f, 0.0f, 0.0f, 15.0f},
    {10.0f, 10.0f, 10.0f, 10.0f, 10.0f, 10.0f},
};

// Replaces every point p of `points` by p * r (row vectors, 3x3 `r`); all points are
// transformed before any is written back.
void transform_points(PointSet *points, ConstMatrix r);

// Prints each point on a line of its own with `format`, which takes x, y and z.
void print_points(std::FILE *out, const char *format, const PointSet &points);

}  // namespace levelling

#endif
