#include "flatness/din_18202.h"

#include <cmath>

namespace levelling {

namespace {

constexpr double kMillimetresPerMetre = 1000.0;

// The gap at (column, row) between its reading and the mean of those `k` cells away on either
// side along x (or y), into *gap; false where one of the three has none.
bool gap_at(const FloorReadings &readings, int column, int row, int k, bool along_x,
            double *gap) {
  const double middle = floor_reading(readings, column, row);
  const double before = along_x ? floor_reading(readings, column - k, row)
                                : floor_reading(readings, column, row - k);
  const double after = along_x ? floor_reading(readings, column + k, row)
                               : floor_reading(readings, column, row + k);
  if (std::isnan(middle) || std::isnan(before) || std::isnan(after)) {
    return false;
  }
  *gap = std::fabs(0.5 * (before + after) - middle);
  return true;
}

}  // namespace

std::vector<DinGap> din_18202_gaps(const FloorReadings &readings, double horizontal,
                                   double vertical) {
  std::vector<DinGap> gaps;
  const double cell_metres = readings.cell * horizontal;
  for (int d = 0; d < kDinDistances; ++d) {
    DinGap result;
    result.distance = kDinDistanceMetres[d];
    const int k = int(std::lround(0.5 * result.distance / cell_metres));
    double largest = -1.0;
    for (int row = 0; row < readings.rows && k > 0; ++row) {
      for (int column = 0; column < readings.columns; ++column) {
        for (const bool along_x : {true, false}) {
          double gap = 0.0;
          if (!gap_at(readings, column, row, k, along_x, &gap)) {
            continue;
          }
          ++result.measured;
          if (gap > largest) {
            largest = gap;
            result.x = readings.x0 + (column + 0.5) * readings.cell;
            result.y = readings.y0 + (row + 0.5) * readings.cell;
          }
        }
      }
    }
    if (result.measured > 0) {
      result.largest = largest * vertical * kMillimetresPerMetre;
      for (int r = 0; r < kDinRows; ++r) {
        if (result.largest <= kDinLimitMillimetres[r][d]) {
          result.rows_met.push_back(r + 1);
        }
      }
    }
    gaps.push_back(result);
  }
  return gaps;
}

}  // namespace levelling
