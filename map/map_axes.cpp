#include "map/map_axes.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace levelling {

namespace {

// The round multipliers of a power of ten, ascending.
constexpr double kRound[] = {1.0, 2.0, 5.0};
constexpr int kRounds = 3;
// How near a multiple of a step a value must be to be that multiple (shares of the step).
constexpr double kStepSlack = 1e-6;

bool positive(double length) { return length > 0.0 && std::isfinite(length); }

}  // namespace

double round_length_at_least(double length) {
  if (!positive(length)) {
    return 1.0;
  }
  const double power = std::pow(10.0, std::floor(std::log10(length)));
  for (int k = 0; k < kRounds; ++k) {
    if (kRound[k] * power >= length * (1.0 - kStepSlack)) {
      return kRound[k] * power;
    }
  }
  return 10.0 * power;
}

double round_length_at_most(double length) {
  if (!positive(length)) {
    return 1.0;
  }
  const double power = std::pow(10.0, std::floor(std::log10(length)));
  for (int k = kRounds - 1; k >= 0; --k) {
    if (kRound[k] * power <= length * (1.0 + kStepSlack)) {
      return kRound[k] * power;
    }
  }
  return power / 2.0;
}

std::vector<MapTick> edge_ticks(double low, double high, double step, double origin,
                                double pixels_per_unit) {
  std::vector<MapTick> ticks;
  if (!positive(step) || !(low <= high) || (high - low) / step > kMostTicks) {
    return ticks;
  }
  // Counted, not stepped: far from the origin k + 1 may be k again.
  const double first = std::ceil(low / step - kStepSlack);
  for (int n = 0; n <= kMostTicks; ++n) {
    const double value = (first + n) * step;
    if (value > high + kStepSlack * step) {
      break;
    }
    if (value >= low - kStepSlack * step && (ticks.empty() || value > ticks.back().value)) {
      ticks.push_back({int(std::floor(origin + (value - low) * pixels_per_unit)), value});
    }
  }
  return ticks;
}

std::string tick_label(double value, double step) {
  const int decimals = positive(step) ? std::max(0, int(-std::floor(std::log10(step) + 1e-9)))
                                      : 0;
  if (std::fabs(value) < kStepSlack * step) {
    value = 0.0;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

}  // namespace levelling
