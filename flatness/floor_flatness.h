// What a floor survey reports of a levelled floor: its F-numbers (ASTM E1155) and its gaps
// against DIN 18202's flatness tolerances, from its readings, in the units the cloud is in.
#ifndef LEVELLING_FLATNESS_FLOOR_FLATNESS_H
#define LEVELLING_FLATNESS_FLOOR_FLATNESS_H

#include <string>
#include <vector>

#include "flatness/din_18202.h"
#include "flatness/f_numbers.h"
#include "flatness/floor_readings.h"

namespace levelling {

struct FloorFlatness {
  std::string units;         // the cloud's units as the report names them ("metres")
  double horizontal = 1.0;   // metres in a cloud unit across
  double vertical = 1.0;     // and up
  FNumbers f_numbers;
  std::vector<DinGap> din_gaps;  // one for each of the table's distances
};

// Both measures of the floor in `readings` (heights above the level plane, cloud units).
FloorFlatness floor_flatness(const FloorReadings &readings, const std::string &units,
                             double horizontal, double vertical);

// The metres in one of the units --units names ("m", "cm", "mm", "ft", "us-ft"), 0 for another
// name; its name in full into *name.
double metres_per_unit(const std::string &unit, std::string *name);

}  // namespace levelling

#endif
