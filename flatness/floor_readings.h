// A levelled floor's heights on a grid of small square cells, each the mean height of the
// points in it: what the flatness measures (flatness/f_numbers.h, flatness/din_18202.h) read
// their readings from. Memory: 12 bytes a cell, at most kMostReadingCells cells.
#ifndef LEVELLING_FLATNESS_FLOOR_READINGS_H
#define LEVELLING_FLATNESS_FLOOR_READINGS_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace levelling {

// The cells' side, in metres: half the shortest distance DIN 18202 measures (0.1 m), and a
// level rod's foot.
constexpr double kReadingCellMetres = 0.05;
// The points of a floor, for its flatness: those within this many metres of its plane (wider
// than any floor's tolerance of DIN 18202's table 3, 30 mm, and than a dip a survey is for;
// narrower than what stands on it), or of its inliers' band where that is wider.
constexpr double kFloorBandMetres = 0.05;
// No grid holds more (a floor of 100 m by 100 m at 5 cm).
constexpr size_t kMostReadingCells = size_t(1) << 22;

struct FloorReadings {
  double x0 = 0.0, y0 = 0.0;  // the corner of cell (0, 0): least x, least y
  double cell = 1.0;          // the cells' side, in the cloud's units
  int columns = 0, rows = 0;  // x across, y up
  std::vector<double> sum;     // row after row: the heights added to each cell, summed
  std::vector<uint32_t> count;  // and how many
};

// Starts an empty grid over [min_x, max_x] x [min_y, max_y] with cells `cell` wide (cloud
// units). False, *readings untouched, for an extent or cell that is not finite and positive,
// or more than kMostReadingCells cells.
bool floor_readings_start(double min_x, double min_y, double max_x, double max_y, double cell,
                          FloorReadings *readings);

// Adds the n heights at (x[i], y[i]); points outside the grid or with a NaN are passed over.
void floor_readings_add(FloorReadings *readings, int64_t n, const double *x, const double *y,
                        const double *height);

// The mean height of the points within `reach` cells of (column, row) (0: that cell alone;
// 1: the 3 x 3 cells about it), NaN when they hold none or it lies outside the grid.
double floor_reading(const FloorReadings &readings, int column, int row, int reach = 0);

}  // namespace levelling

#endif
