// The F-numbers of a floor, ASTM E1155 (inch-pound form): sample lines of elevation readings
// 12 inches apart; FF Flatness from the curvatures q (the differences of successive 12-inch
// elevation differences, over 24 inches), FL Levelness from the elevation differences z of
// readings 10 feet apart:
//   FF = 4.57 / (3 s_q + |mean q|),  FL = 12.5 / (3 s_z + |mean z|),  q and z in inches,
// s the sample standard deviation. A line's numbers are from its own q and z, the composite's
// from those of every line together. Higher is flatter; a perfect floor's are infinite.
#ifndef LEVELLING_FLATNESS_F_NUMBERS_H
#define LEVELLING_FLATNESS_F_NUMBERS_H

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "flatness/floor_readings.h"

namespace levelling {

// The reading interval and levelness span, in metres (12 inches, 10 feet).
constexpr double kReadingIntervalMetres = 0.3048;
constexpr int kLevelnessReadings = 10;  // readings a z spans
// A sample line holds at least this many readings (E1155's n >= 12: 11 feet).
constexpr int kLeastLineReadings = 12;
// Sample lines are this many readings apart (4 feet) and keep this many readings from the
// floor's edge (2 feet).
constexpr int kLineSpacingReadings = 4;
constexpr int kEdgeReadings = 2;

// The curvatures q and the 10-foot differences z of one line of readings (inches, 12 inches
// apart, in order), appended to *q and *z: q_i = h_i - 2 h_(i-1) + h_(i-2) for i >= 2,
// z_i = h_i - h_(i-10) for i >= 10.
void line_differences(const std::vector<double> &inches, std::vector<double> *q,
                      std::vector<double> *z);

// 4.57 / (3 s + |mean|) of the values (FF from q), 12.5 / (...) with `numerator` 12.5 (FL
// from z); +infinity when both are 0; NaN for fewer than 2 values.
double f_number(const std::vector<double> &values, double numerator);
constexpr double kFlatnessNumerator = 4.57;
constexpr double kLevelnessNumerator = 12.5;

struct FNumberLine {
  char axis = 'x';        // the line runs along x (at a fixed y) or along y
  double at = 0.0;        // that fixed coordinate, cloud units
  double from = 0.0;      // where it starts along its axis, cloud units
  int readings = 0;
  double ff = 0.0, fl = 0.0;  // NaN where it has too few values
};

struct FNumbers {
  double ff = NAN, fl = NAN;  // the composite; NaN when no line gives one
  int64_t readings = 0, curvatures = 0, differences = 0;  // over every line
  std::vector<FNumberLine> lines;
  std::string none;  // why there are no numbers ("" when there are)
};

// The F-numbers of the floor in `readings`: readings every 12 inches on lines along x and along
// y, 4 feet apart, each reading the mean height of the points within one grid cell of its
// station (a 15 cm square at 5 cm cells); each line a run of consecutive readings less 2 feet
// at each end, kept when it holds kLeastLineReadings. `horizontal` and `vertical` are the
// metres in a cloud unit across and up.
FNumbers floor_f_numbers(const FloorReadings &readings, double horizontal, double vertical);

}  // namespace levelling

#endif
