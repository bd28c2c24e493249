#include "plane/plane_fit.h"

#include <gtest/gtest.h>

#include <limits>

#include "tests/support/check.h"
#include "tests/support/points.h"

namespace levelling {
namespace {

using test::printed;
using test::turned_starting_points;

constexpr float kUntouched = 42.0f;

struct Fit {
  int status;
  float a = kUntouched;
  float b = kUntouched;
  float c = kUntouched;
};

Fit fit(const PointSet &points, float count) {
  Fit result;
  result.status =
      fit_plane_least_squares(&result.a, &result.b, &result.c, count, points.x, points.y, points.z);
  return result;
}

struct KnownFit {
  const char *name;
  double x, y, z;  // the answers that turned the starting points
  const char *a;
  const char *b;
  const char *c;
};

// Test names and failure messages show the case by its name.
void PrintTo(const KnownFit &c, std::ostream *os) { *os << c.name; }

const KnownFit kKnownFits[] = {
    {"StartingPoints", 0, 0, 0, "0.000000", "0.000000", "9.999999"},
    {"Defaults", 45, 45, 0, "-1.000000", "1.414213", "20.000006"},
    // With the y*y and z*y sums kept in double precision, c would print -20.000004.
    {"XBeyondQuarterTurn", 120, 0, 0, "0.000000", "-1.732051", "-20.000000"},
};

class KnownFitTest : public ::testing::TestWithParam<KnownFit> {};

TEST_P(KnownFitTest, PrintsTheKnownCoefficients) {
  const KnownFit &known = GetParam();
  const Fit result = fit(turned_starting_points(known.x, known.y, known.z), 6.0f);
  EXPECT_EQ(1, result.status);
  EXPECT_EQ(known.a, printed(result.a));
  EXPECT_EQ(known.b, printed(result.b));
  EXPECT_EQ(known.c, printed(result.c));
}

INSTANTIATE_TEST_SUITE_P(Answers, KnownFitTest, ::testing::ValuesIn(kKnownFits),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(FitPlaneLeastSquaresTest, SingularNormalEquationsReportFailureWithZeros) {
  // Turned a quarter turn about x, every point has y = -10: a vertical plane.
  const Fit result = fit(turned_starting_points(90, 0, 0), 6.0f);
  EXPECT_EQ(0, result.status);
  EXPECT_EQ(0.0f, result.a);
  EXPECT_EQ(0.0f, result.b);
  EXPECT_EQ(0.0f, result.c);
}

TEST(FitPlaneLeastSquaresTest, FewerThanThreePointsReportFailureWithZeros) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const float count : {2.0f, 2.9f, 0.0f, -1.0f, nan}) {
    const Fit result = fit(kStartingPoints, count);
    EXPECT_EQ(0, result.status) << "count " << count;
    EXPECT_EQ(0.0f, result.a) << "count " << count;
    EXPECT_EQ(0.0f, result.b) << "count " << count;
    EXPECT_EQ(0.0f, result.c) << "count " << count;
  }
}

TEST(FitPlaneLeastSquaresTest, FractionalCountIsItsWholePartAndReadsNoFurther) {
  // Regression: a fractional count used to read the point after its whole part.
  PointSet points = turned_starting_points(10, 20, 30);
  const Fit six = fit(points, 6.0f);
  const Fit six_and_more = fit(points, 6.7f);
  EXPECT_EQ(six.a, six_and_more.a);
  EXPECT_EQ(six.b, six_and_more.b);
  EXPECT_EQ(six.c, six_and_more.c);

  const Fit three = fit(points, 3.0f);
  points.x[3] = points.y[3] = points.z[3] = std::numeric_limits<float>::quiet_NaN();
  const Fit three_and_a_half = fit(points, 3.5f);
  EXPECT_EQ(1, three_and_a_half.status);
  EXPECT_EQ(three.a, three_and_a_half.a);
  EXPECT_EQ(three.b, three_and_a_half.b);
  EXPECT_EQ(three.c, three_and_a_half.c);
}

TEST(FitPlaneLeastSquaresTest, PointsOnATiltedPlaneGiveThatPlane) {
  // z = 0.5 x - 0.25 y + 3 on a 4 x 4 grid.
  float xs[16], ys[16], zs[16];
  for (int i = 0; i < 16; ++i) {
    xs[i] = float(i % 4);
    ys[i] = float(i / 4);
    zs[i] = 0.5f * xs[i] - 0.25f * ys[i] + 3.0f;
  }
  float a, b, c;
  ASSERT_EQ(1, fit_plane_least_squares(&a, &b, &c, 16.0f, xs, ys, zs));
  EXPECT_NEAR(0.5, a, 1e-5);
  EXPECT_NEAR(-0.25, b, 1e-5);
  EXPECT_NEAR(3.0, c, 1e-5);
}

}  // namespace
}  // namespace levelling
