// The flatness of a floor against DIN 18202, table 3 (limits of flatness deviations, rows 1 to
// 4, those of floors): the gap between a reading and the line through the two readings half a
// measuring distance away on either side (the standard's grid levelling, "Flaechennivellement",
// in place of a straightedge on two high points), largest over the floor's rows and columns of
// readings, for each distance of the table, and the table's rows that gap meets.
#ifndef LEVELLING_FLATNESS_DIN_18202_H
#define LEVELLING_FLATNESS_DIN_18202_H

#include <cmath>
#include <cstdint>
#include <vector>

#include "flatness/floor_readings.h"

namespace levelling {

// The measuring distances of the table, metres, and its rows' limits there, millimetres:
// 1 unfinished tops of floors, subfloors and blinding; 2 the same for higher demands (to take
// floating screeds, industrial floors, tiles); 3 finished floors (screeds as wearing surfaces,
// screeds to take coverings, coverings, tiles); 4 as 3, for higher demands.
constexpr int kDinDistances = 5;
constexpr int kDinRows = 4;
constexpr double kDinDistanceMetres[kDinDistances] = {0.1, 1.0, 4.0, 10.0, 15.0};
constexpr double kDinLimitMillimetres[kDinRows][kDinDistances] = {{10, 15, 20, 25, 30},
                                                                  {5, 8, 12, 15, 20},
                                                                  {2, 4, 10, 12, 15},
                                                                  {1, 3, 9, 12, 15}};

struct DinGap {
  double distance = 0.0;       // metres
  int64_t measured = 0;        // the readings that had both neighbours
  double largest = NAN;        // the largest gap, millimetres (NaN: none measured)
  double x = 0.0, y = 0.0;     // where, cloud units
  std::vector<int> rows_met;   // the table's rows (1 to 4) whose limit the gap keeps to
};

// The gaps of the floor in `readings` (each reading one cell's mean), for each distance of the
// table: `horizontal` and `vertical` are the metres in a cloud unit across and up. A distance
// the floor is too small or too sparse for has none measured.
std::vector<DinGap> din_18202_gaps(const FloorReadings &readings, double horizontal,
                                   double vertical);

}  // namespace levelling

#endif
