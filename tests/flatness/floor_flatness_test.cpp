// Floors of known shape measured as a survey would: F-numbers against their values worked out
// from the shape, DIN 18202's rows against the gaps the shape has.
#include "flatness/floor_flatness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

namespace levelling {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kInch = 0.0254;     // metres
constexpr double kStation = 0.3048;  // metres between readings

// The readings of a floor `side` metres square whose height at (x, y) is `height` (metres),
// points every 2.5 cm with normal noise `noise` (seeded), in a unit of `unit` metres.
FloorReadings floor_of(double side, const std::function<double(double, double)> &height,
                       double noise = 0.0, uint64_t seed = 1, double unit = 1.0) {
  FloorReadings readings;
  EXPECT_TRUE(floor_readings_start(0, 0, side / unit, side / unit, kReadingCellMetres / unit,
                                   &readings));
  std::mt19937_64 random(seed);
  std::normal_distribution<double> jitter(0.0, noise > 0.0 ? noise : 1.0);
  const double step = 0.025;
  for (double y = step / 2; y < side; y += step) {
    std::vector<double> xs, ys, hs;
    for (double x = step / 2; x < side; x += step) {
      xs.push_back(x / unit);
      ys.push_back(y / unit);
      hs.push_back((height(x, y) + (noise > 0.0 ? jitter(random) : 0.0)) / unit);
    }
    floor_readings_add(&readings, int64_t(xs.size()), xs.data(), ys.data(), hs.data());
  }
  return readings;
}

TEST(FNumbersTest, AWavyFloorHasTheNumbersItsWavesGive) {
  // Waves of amplitude a and wavelength w along x and along y: every line sees one sine, whose
  // curvature over 12-inch readings has the deviation 4 sin^2(pi s / w) a / sqrt(2) and whose
  // 10-foot differences 2 |sin(10 pi s / w)| a / sqrt(2).
  const struct {
    double amplitude, wavelength;
  } waves[] = {{0.002, 6.0}, {0.001, 4.0}, {0.004, 9.0}};
  for (const auto &wave : waves) {
    const double a = wave.amplitude, w = wave.wavelength;
    const auto height = [&](double x, double y) {
      return a * std::sin(2 * kPi * x / w) + a * std::sin(2 * kPi * y / w);
    };
    const double sq = 4 * std::pow(std::sin(kPi * kStation / w), 2) * a / std::sqrt(2.0) / kInch;
    const double sz = 2 * std::fabs(std::sin(10 * kPi * kStation / w)) * a / std::sqrt(2.0) / kInch;
    const FNumbers f = floor_f_numbers(floor_of(20, height), 1.0, 1.0);
    ASSERT_TRUE(f.none.empty()) << f.none;
    EXPECT_NEAR(4.57 / (3 * sq), f.ff, 0.04 * 4.57 / (3 * sq)) << w;
    EXPECT_NEAR(12.5 / (3 * sz), f.fl, 0.04 * 12.5 / (3 * sz)) << w;
    EXPECT_GT(f.lines.size(), 20u);
    EXPECT_EQ(f.curvatures, f.readings - 2 * int64_t(f.lines.size()));
  }
  // The same floor in feet: the same numbers.
  const auto height = [](double x, double y) {
    return 0.002 * std::sin(2 * kPi * x / 6) + 0.002 * std::sin(2 * kPi * y / 6);
  };
  const FNumbers metres = floor_f_numbers(floor_of(20, height), 1.0, 1.0);
  const FNumbers feet = floor_f_numbers(floor_of(20, height, 0, 1, 0.3048), 0.3048, 0.3048);
  EXPECT_NEAR(metres.ff, feet.ff, 0.01 * metres.ff);
  EXPECT_NEAR(metres.fl, feet.fl, 0.01 * metres.fl);
}

TEST(FNumbersTest, NoiseAloneGivesLargeStableNumbersAndASmallFloorNone) {
  const auto flat = [](double, double) { return 0.0; };
  const FNumbers one = floor_f_numbers(floor_of(12, flat, 0.0003, 1), 1.0, 1.0);
  const FNumbers two = floor_f_numbers(floor_of(12, flat, 0.0003, 2), 1.0, 1.0);
  EXPECT_GT(one.ff, 100.0);
  EXPECT_GT(one.fl, 100.0);
  EXPECT_NEAR(one.ff, two.ff, 0.1 * one.ff);
  EXPECT_NEAR(one.fl, two.fl, 0.15 * one.fl);
  // 3 m square: no line of 12 readings 2 feet from the edges.
  const FNumbers small = floor_f_numbers(floor_of(3, flat, 0.0003), 1.0, 1.0);
  EXPECT_FALSE(small.none.empty());
  EXPECT_TRUE(std::isnan(small.ff));
  EXPECT_TRUE(small.lines.empty());
  // A slope of 1 in 1000 costs levelness, not flatness: z's mean is 3.048 mm, 0.12 in.
  const FNumbers sloped =
      floor_f_numbers(floor_of(12, [](double x, double) { return 0.001 * x; }), 1.0, 1.0);
  EXPECT_TRUE(std::isinf(sloped.ff) || sloped.ff > 1000.0);
}

TEST(Din18202Test, TheRowsMetAreThoseTheKnownGapsKeepTo) {
  // A dip 5 mm deep and 0.8 m across on a flat floor: under a metre's span the gap is the dip's
  // depth (rows 1 and 2 keep to 15 and 8 mm, not rows 3 and 4 to 4 and 3 mm); at 4 m and
  // beyond every row keeps to it; over 0.1 m the dip's curve is well under a millimetre.
  const auto dip = [](double x, double y) {
    const double r = std::hypot(x - 6, y - 6);
    return r < 0.4 ? -0.0025 * (1 + std::cos(kPi * r / 0.4)) : 0.0;
  };
  const std::vector<DinGap> dipped = din_18202_gaps(floor_of(12, dip), 1.0, 1.0);
  ASSERT_EQ(size_t(kDinDistances), dipped.size());
  EXPECT_LT(dipped[0].largest, 1.0);
  EXPECT_EQ(std::vector<int>({1, 2, 3, 4}), dipped[0].rows_met);
  EXPECT_NEAR(5.0, dipped[1].largest, 0.2);
  EXPECT_NEAR(6.0, dipped[1].x, 0.05);
  EXPECT_EQ(std::vector<int>({1, 2}), dipped[1].rows_met);
  EXPECT_EQ(std::vector<int>({1, 2, 3, 4}), dipped[2].rows_met);
  EXPECT_EQ(std::vector<int>({1, 2, 3, 4}), dipped[3].rows_met);
  EXPECT_EQ(0, dipped[4].measured);  // 12 m: no readings 15 m apart
  EXPECT_TRUE(std::isnan(dipped[4].largest));
  // A step of 7 mm: half of it under any span across the step, 3.5 mm (rows 1 to 3 at 1 m).
  const auto step = [](double x, double) { return x < 6.01 ? 0.0 : 0.007; };
  const std::vector<DinGap> stepped = din_18202_gaps(floor_of(12, step), 1.0, 1.0);
  EXPECT_NEAR(3.5, stepped[1].largest, 0.05);
  EXPECT_EQ(std::vector<int>({1, 2, 3}), stepped[1].rows_met);
  EXPECT_NEAR(3.5, stepped[2].largest, 0.05);
  EXPECT_EQ(std::vector<int>({1, 2, 3, 4}), stepped[2].rows_met);
}

TEST(FloorReadingsTest, BoundedAndTheUnitsNamed) {
  FloorReadings readings;
  EXPECT_FALSE(floor_readings_start(0, 0, 1000, 1000, 0.05, &readings));  // 400 million cells
  EXPECT_FALSE(floor_readings_start(0, 0, NAN, 1, 0.05, &readings));
  EXPECT_FALSE(floor_readings_start(0, 0, 1, 1, 0.0, &readings));
  std::string name;
  EXPECT_DOUBLE_EQ(1200.0 / 3937.0, metres_per_unit("us-ft", &name));
  EXPECT_EQ("US survey feet", name);
  EXPECT_EQ(0.0, metres_per_unit("yd", &name));
}

}  // namespace
}  // namespace levelling
