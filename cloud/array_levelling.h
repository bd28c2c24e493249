// Levelling points held in memory (a caller's array, as numpy holds them): the plane that
// level_cloud finds in a file of the same points with the same options, and the points moved by
// a motion. The points are read where they lie; nothing holds a copy of them.
#ifndef LEVELLING_CLOUD_ARRAY_LEVELLING_H
#define LEVELLING_CLOUD_ARRAY_LEVELLING_H

#include <cstdint>
#include <string>

#include "cloud/cloud_levelling.h"
#include "cloud/levelling_report.h"

namespace levelling {

// An array of points: `rows` rows of x, y, z, each row three consecutive floats or doubles (an
// (N, 3) C-ordered array). A row of three NaN is an empty point, as in a file.
struct PointArray {
  const void *data = nullptr;
  int64_t rows = 0;
  bool single = false;  // float (32-bit) values rather than double
  std::string shown = "the array";  // the points as messages name them
};

// The first row that is neither three numbers nor an empty point (a NaN beside numbers, or an
// infinity), -1 when there is none; *why then says which ("a NaN beside numbers",
// "an infinite coordinate").
int64_t first_unusable_row(const PointArray &points, const char **why);

// The plane of the array's points and the motion that levels it, as level_cloud finds them for a
// file holding the same points in the same order (the request's fit, up, max_tilt_degrees,
// threshold, seed and pivot; its files ignored): the same sample, the same search, the same
// refit, so the same plane to rounding. *report holds the plane's fields, the matrix, the
// points and empty points (input "array", format "array"); *motion the 4 x 4 matrix, input to
// output. False with the fault (no plane, too few points: as the program's status and message,
// the cloud named as `points.shown` says); the array must have no unusable row. Uses every core.
bool fit_point_array(const LevellingRequest &request, const PointArray &points,
                     LevellingReport *report, double (&motion)[4][4], LevellingOutcome *fault);

// Moves the array's points by a rigid motion (4 x 4, input to output): row i of `moved` (the
// same shape and precision as `points`, which it may be) is R p_i + t, computed in double and
// rounded once to the array's precision. Empty points stay empty.
void move_point_array(const double (&motion)[4][4], const PointArray &points, void *moved);

// The points of the request's one input (a file) as rows of x, y, z doubles, empty points as
// rows of NaN: up to `capacity` rows into `rows` (count_tile says how many it holds), *read
// how many. False with the fault, as the program says it, also when the file holds more.
bool read_point_array(const LevellingRequest &request, double *rows, int64_t capacity,
                      int64_t *read, LevellingOutcome *fault);

}  // namespace levelling

#endif
