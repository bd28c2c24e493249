#include "flatness/floor_flatness.h"

namespace levelling {

FloorFlatness floor_flatness(const FloorReadings &readings, const std::string &units,
                             double horizontal, double vertical) {
  FloorFlatness flatness;
  flatness.units = units;
  flatness.horizontal = horizontal;
  flatness.vertical = vertical;
  flatness.f_numbers = floor_f_numbers(readings, horizontal, vertical);
  flatness.din_gaps = din_18202_gaps(readings, horizontal, vertical);
  return flatness;
}

double metres_per_unit(const std::string &unit, std::string *name) {
  const struct {
    const char *unit, *name;
    double metres;
  } units[] = {{"m", "metres", 1.0},
               {"cm", "centimetres", 0.01},
               {"mm", "millimetres", 0.001},
               {"ft", "feet", 0.3048},
               {"us-ft", "US survey feet", 1200.0 / 3937.0}};
  for (const auto &each : units) {
    if (unit == each.unit) {
      *name = each.name;
      return each.metres;
    }
  }
  return 0.0;
}

}  // namespace levelling
