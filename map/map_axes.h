// What a map needs to be read as a map: round lengths for its scale bar and ticks, the ticks of
// an edge at round coordinates, and their labels.
#ifndef LEVELLING_MAP_MAP_AXES_H
#define LEVELLING_MAP_MAP_AXES_H

#include <string>
#include <vector>

namespace levelling {

// A tick of a map's edge: the pixel (along the edge) that marks `value`, a coordinate.
struct MapTick {
  int pixel = 0;
  double value = 0.0;
};

// The least of 1, 2 and 5 times a power of ten that is at least `length` (positive and finite);
// 1 for any other.
double round_length_at_least(double length);

// The greatest of 1, 2 and 5 times a power of ten not beyond `length` (positive and finite); 1
// for any other.
double round_length_at_most(double length);

// The multiples of `step` (positive) within [low, high], each at pixel
// origin + (value - low) * pixels_per_unit, rounded down (pixels_per_unit negative for an edge
// whose pixels run against its coordinates). None when the step is not positive or leaves more
// than kMostTicks of them.
constexpr int kMostTicks = 1000;
std::vector<MapTick> edge_ticks(double low, double high, double step, double origin,
                                double pixels_per_unit);

// A coordinate as its tick says it: with as many decimals as `step` needs, "0" for a value
// within a millionth of a step of it.
std::string tick_label(double value, double step);

}  // namespace levelling

#endif
