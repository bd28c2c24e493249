#include "flatness/f_numbers.h"

#include <cmath>

namespace levelling {

namespace {

constexpr double kMetresPerInch = 0.0254;

// The mean and sample standard deviation of the values (two or more).
void mean_and_deviation(const std::vector<double> &values, double *mean, double *deviation) {
  double sum = 0.0;
  for (const double each : values) {
    sum += each;
  }
  *mean = sum / double(values.size());
  double squares = 0.0;
  for (const double each : values) {
    squares += (each - *mean) * (each - *mean);
  }
  *deviation = std::sqrt(squares / double(values.size() - 1));
}

// Adds the line of `inches` (from `from` along `axis`, at `at`) to the numbers, if it is long
// enough once its ends are trimmed.
void add_line(std::vector<double> inches, char axis, double at, double from, double step,
              FNumbers *numbers, std::vector<double> *q, std::vector<double> *z) {
  if (int(inches.size()) < kLeastLineReadings + 2 * kEdgeReadings) {
    return;
  }
  inches.erase(inches.end() - kEdgeReadings, inches.end());
  inches.erase(inches.begin(), inches.begin() + kEdgeReadings);
  std::vector<double> line_q, line_z;
  line_differences(inches, &line_q, &line_z);
  FNumberLine line;
  line.axis = axis;
  line.at = at;
  line.from = from + kEdgeReadings * step;
  line.readings = int(inches.size());
  line.ff = f_number(line_q, kFlatnessNumerator);
  line.fl = f_number(line_z, kLevelnessNumerator);
  numbers->lines.push_back(line);
  numbers->readings += line.readings;
  q->insert(q->end(), line_q.begin(), line_q.end());
  z->insert(z->end(), line_z.begin(), line_z.end());
}

}  // namespace

void line_differences(const std::vector<double> &inches, std::vector<double> *q,
                      std::vector<double> *z) {
  for (size_t i = 2; i < inches.size(); ++i) {
    q->push_back(inches[i] - 2.0 * inches[i - 1] + inches[i - 2]);
  }
  for (size_t i = kLevelnessReadings; i < inches.size(); ++i) {
    z->push_back(inches[i] - inches[i - kLevelnessReadings]);
  }
}

double f_number(const std::vector<double> &values, double numerator) {
  if (values.size() < 2) {
    return NAN;
  }
  double mean = 0.0, deviation = 0.0;
  mean_and_deviation(values, &mean, &deviation);
  const double spread = 3.0 * deviation + std::fabs(mean);
  return spread > 0.0 ? numerator / spread : INFINITY;
}

FNumbers floor_f_numbers(const FloorReadings &readings, double horizontal, double vertical) {
  FNumbers numbers;
  const double step = kReadingIntervalMetres / horizontal;  // cloud units between readings
  const double to_inches = vertical / kMetresPerInch;
  const int across = int(std::floor(double(readings.columns) * readings.cell / step));
  const int up = int(std::floor(double(readings.rows) * readings.cell / step));
  std::vector<double> q, z;
  // Lines along x at every fourth station row, from the second foot, then along y alike.
  for (int pass = 0; pass < 2; ++pass) {
    const bool along_x = pass == 0;
    const int lines = along_x ? up : across, stations = along_x ? across : up;
    for (int line = kEdgeReadings; line < lines; line += kLineSpacingReadings) {
      std::vector<double> run;
      double run_from = 0.0;
      const double at = (along_x ? readings.y0 : readings.x0) + (line + 0.5) * step;
      for (int s = 0; s <= stations; ++s) {
        double height = NAN;
        if (s < stations) {
          const double along = (along_x ? readings.x0 : readings.y0) + (s + 0.5) * step;
          const double x = along_x ? along : at, y = along_x ? at : along;
          const int column = int(std::floor((x - readings.x0) / readings.cell));
          const int row = int(std::floor((y - readings.y0) / readings.cell));
          height = floor_reading(readings, column, row, 1);
        }
        if (std::isnan(height)) {
          add_line(run, along_x ? 'x' : 'y', at, run_from, step, &numbers, &q, &z);
          run.clear();
          continue;
        }
        if (run.empty()) {
          run_from = (along_x ? readings.x0 : readings.y0) + (s + 0.5) * step;
        }
        run.push_back(height * to_inches);
      }
    }
  }
  numbers.curvatures = int64_t(q.size());
  numbers.differences = int64_t(z.size());
  numbers.ff = f_number(q, kFlatnessNumerator);
  numbers.fl = f_number(z, kLevelnessNumerator);
  if (numbers.lines.empty()) {
    numbers.none = "no sample line of " + std::to_string(kLeastLineReadings) +
                   " readings 12 inches apart (11 feet) lies on the floor, 2 feet from its "
                   "edges: too small or too sparse a floor for F-numbers";
  }
  return numbers;
}

}  // namespace levelling
