// The number of points that a float point count stands for.
#ifndef LEVELLING_LINALG_POINT_COUNT_H
#define LEVELLING_LINALG_POINT_COUNT_H

namespace levelling {

// The whole part of `count` as an int: the number of points a function taking a float count
// reads and writes. NaN, zero and negative counts give 0; counts beyond the int range give the
// largest int (the caller's arrays must hold that many points, as for any count). A fractional
// count stands for its whole part, so 6.7 means 6 points.
int whole_point_count(float count);

}  // namespace levelling

#endif
