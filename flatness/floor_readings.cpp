#include "flatness/floor_readings.h"

#include <cmath>

namespace levelling {

bool floor_readings_start(double min_x, double min_y, double max_x, double max_y, double cell,
                          FloorReadings *readings) {
  const double width = max_x - min_x, height = max_y - min_y;
  if (!(cell > 0.0) || !std::isfinite(cell) || !(width >= 0.0) || !(height >= 0.0) ||
      !std::isfinite(width) || !std::isfinite(height)) {
    return false;
  }
  const double columns = std::floor(width / cell) + 1.0, rows = std::floor(height / cell) + 1.0;
  if (columns * rows > double(kMostReadingCells)) {
    return false;
  }
  *readings = FloorReadings();
  readings->x0 = min_x;
  readings->y0 = min_y;
  readings->cell = cell;
  readings->columns = int(columns);
  readings->rows = int(rows);
  readings->sum.assign(size_t(readings->columns) * size_t(readings->rows), 0.0);
  readings->count.assign(readings->sum.size(), 0);
  return true;
}

void floor_readings_add(FloorReadings *readings, int64_t n, const double *x, const double *y,
                        const double *height) {
  for (int64_t i = 0; i < n; ++i) {
    const double column = std::floor((x[i] - readings->x0) / readings->cell);
    const double row = std::floor((y[i] - readings->y0) / readings->cell);
    // (NaN fails both tests.)
    if (!(column >= 0.0 && column < double(readings->columns)) ||
        !(row >= 0.0 && row < double(readings->rows)) || std::isnan(height[i])) {
      continue;
    }
    const size_t at = size_t(row) * size_t(readings->columns) + size_t(column);
    readings->sum[at] += height[i];
    readings->count[at] += 1;
  }
}

double floor_reading(const FloorReadings &readings, int column, int row, int reach) {
  double sum = 0.0;
  uint64_t count = 0;
  for (int r = row - reach; r <= row + reach; ++r) {
    for (int c = column - reach; c <= column + reach; ++c) {
      if (r < 0 || r >= readings.rows || c < 0 || c >= readings.columns) {
        continue;
      }
      const size_t at = size_t(r) * size_t(readings.columns) + size_t(c);
      sum += readings.sum[at];
      count += readings.count[at];
    }
  }
  return count > 0 ? sum / double(count) : NAN;
}

}  // namespace levelling
