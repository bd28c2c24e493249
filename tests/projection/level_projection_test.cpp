#include "projection/level_projection.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "plane/plane_forms.h"
#include "plane/plane_three_points.h"
#include "tests/support/check.h"
#include "tests/support/points.h"

namespace levelling {
namespace {

constexpr float kUntouched = 42.0f;
constexpr int kCapacity = 8;

struct Levelled {
  float x[kCapacity];
  float y[kCapacity];
  float z[kCapacity];
  float angle_y = kUntouched;
  float angle_x = kUntouched;
};

Levelled level(const float *xs, const float *ys, float count, PlaneSlope plane, bool centre) {
  Levelled out;
  for (int i = 0; i < kCapacity; ++i) {
    out.x[i] = out.y[i] = out.z[i] = kUntouched;
  }
  level_plane_projection(xs, ys, count, out.x, out.y, out.z, plane.a, plane.b, plane.c,
                         &out.angle_y, &out.angle_x, centre);
  return out;
}

const float kXs[] = {3.0f, -4.0f, 12.5f, 0.0f, 7.0f, -9.0f};
const float kStartingX[] = {100.0f, 50.0f, 75.0f, 30.0f, 90.0f, 15.0f};
const float kStartingY[] = {0.0f, 0.0f, 75.0f, 0.0f, 0.0f, 15.0f};
const float kYs[] = {1.0f, 6.0f, -2.0f, 0.0f, 8.5f, -3.0f};

TEST(VectorNormTest, LengthOfAVector) {
  const float v[] = {3.0f, 4.0f, 12.0f};
  EXPECT_EQ(13.0, vector_norm(3, v));
  EXPECT_EQ(5.0, vector_norm(2, v));
  EXPECT_EQ(0.0, vector_norm(0, v));
  EXPECT_EQ(0.0, vector_norm(-1, nullptr));
  // Squared in double: 1e-30 squared is below float's range and 1e30 squared above it.
  const float tiny = 1e-30f, huge = 1e30f;
  EXPECT_EQ(double(tiny), vector_norm(1, &tiny));
  EXPECT_EQ(double(huge), vector_norm(1, &huge));
}

TEST(LevelPlaneProjectionTest, CentredProjectionIsBitForBitTheDescribedArithmetic) {
  // The starting points' x and y on z = 0.3x - 0.2y + 5, levelled about their centroid; the
  // values come from tests/transcripts/model.py's arithmetic (centroid sums in double, the
  // y and z sums stored as floats before the division, then T, R1, R2 and Tb in turn).
  const Levelled out = level(kStartingX, kStartingY, 6.0f, {0.3f, -0.2f, 5.0f}, true);
  const float expected[3][6] = {
      {0x1.9a7e3ap+6f, 0x1.935fb8p+5f, 0x1.20d96p+6f, 0x1.d8a872p+4f, 0x1.70bb5cp+6f, 0x1.a09888p+3f},
      {-0x1.174b8p-2f, -0x1.174bcp-2f, 0x1.305d2ep+6f, -0x1.174bcp-2f, -0x1.174b8p-2f, 0x1.dffffep+3f},
      {0x1.3ffffap+4f, 0x1.3ffffep+4f, 0x1.40000ap+4f, 0x1.4p+4f, 0x1.3ffffcp+4f, 0x1.400004p+4f}};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(expected[0][i], out.x[i]) << i;
    EXPECT_EQ(expected[1][i], out.y[i]) << i;
    EXPECT_EQ(expected[2][i], out.z[i]) << i;
  }
  EXPECT_EQ(-0x1.2a73aap-2f, out.angle_y);
  EXPECT_EQ(-0x1.83a13cp-3f, out.angle_x);
}

TEST(LevelPlaneProjectionTest, LevelPlaneKeepsThePointsAtItsHeight) {
  const Levelled out = level(kXs, kYs, 6.0f, {0.0f, 0.0f, 2.5f}, false);
  EXPECT_EQ(0.0f, out.angle_y);
  EXPECT_EQ(0.0f, out.angle_x);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(kXs[i], out.x[i]) << i;
    EXPECT_EQ(kYs[i], out.y[i]) << i;
    EXPECT_EQ(2.5f, out.z[i]) << i;
  }
}

TEST(LevelPlaneProjectionTest, DefaultTransformationGivesFortyFiveDegreesAboutEachAxis) {
  const PointSet points = test::turned_starting_points(45, 45, 0);
  PlaneGeneral general;
  plane_through_points(points.x, points.y, points.z, &general.A, &general.B, &general.C,
                       &general.D);
  PlaneSlope plane;
  plane_slope_form(general.A, general.B, general.C, general.D, &plane.a, &plane.b, &plane.c);
  const Levelled out = level(points.x, points.y, 6.0f, plane, false);
  EXPECT_EQ("0.785398", test::printed(out.angle_x));
  EXPECT_EQ("0.785398", test::printed(out.angle_y));
  test::expect_all_near(kStartingPoints.x, out.x, 6, 1e-4, "x");
  test::expect_all_near(kStartingPoints.y, out.y, 6, 1e-4, "y");
  test::expect_all_near(kStartingPoints.z, out.z, 6, 1e-4, "z");
}

struct TiltedPlane {
  const char *name;
  PlaneSlope plane;
};

// Test names and failure messages show the case by its name.
void PrintTo(const TiltedPlane &c, std::ostream *os) { *os << c.name; }

const TiltedPlane kTiltedPlanes[] = {
    {"RisingInXAndY", {0.3f, 0.7f, 4.0f}},
    {"FallingInY", {0.3f, -0.7f, 4.0f}},
    {"FallingInX", {-1.2f, 0.2f, -3.0f}},
    {"Steep", {5.0f, -8.0f, 1.0f}},
    {"TiltedOnlyInX", {0.5f, 0.0f, 1.0f}},
};

class TiltedPlaneTest : public ::testing::TestWithParam<TiltedPlane> {};

TEST_P(TiltedPlaneTest, AnglesFollowTheSlopes) {
  const PlaneSlope p = GetParam().plane;
  const Levelled out = level(kXs, kYs, 6.0f, p, false);
  EXPECT_NEAR(-std::atan(double(p.a)), out.angle_y, 1e-6);
  // The normal (-a, -b, 1) after the turn about y is (0, -b, sqrt(1 + a*a)).
  const double angle_x = std::atan2(double(p.b), std::sqrt(1.0 + double(p.a) * p.a));
  EXPECT_NEAR(angle_x, out.angle_x, 1e-6);
}

TEST_P(TiltedPlaneTest, AboutTheOriginPointsLandLevelAndKeepTheirDistances) {
  const PlaneSlope p = GetParam().plane;
  const Levelled out = level(kXs, kYs, 6.0f, p, false);
  const double height = p.c / std::sqrt(1.0 + double(p.a) * p.a + double(p.b) * p.b);
  for (int i = 0; i < 6; ++i) {
    EXPECT_NEAR(height, out.z[i], 1e-4) << "point " << i;
    // A rotation about the origin keeps each point's distance from it.
    const double lifted_z = double(p.a) * kXs[i] + double(p.b) * kYs[i] + p.c;
    const double before = std::sqrt(kXs[i] * kXs[i] + kYs[i] * kYs[i] + lifted_z * lifted_z);
    const double after = std::sqrt(out.x[i] * out.x[i] + out.y[i] * out.y[i] + out.z[i] * out.z[i]);
    EXPECT_NEAR(before, after, 1e-4 * (1.0 + before)) << "point " << i;
  }
}

TEST_P(TiltedPlaneTest, AboutTheCentroidTheCentroidStaysAndThePointsLandAtItsHeight) {
  const PlaneSlope p = GetParam().plane;
  const Levelled out = level(kXs, kYs, 6.0f, p, true);
  double in[3] = {0, 0, 0};
  double moved[3] = {0, 0, 0};
  for (int i = 0; i < 6; ++i) {
    in[0] += kXs[i];
    in[1] += kYs[i];
    in[2] += double(p.a) * kXs[i] + double(p.b) * kYs[i] + p.c;
    moved[0] += out.x[i];
    moved[1] += out.y[i];
    moved[2] += out.z[i];
  }
  for (int axis = 0; axis < 3; ++axis) {
    EXPECT_NEAR(in[axis] / 6, moved[axis] / 6, 1e-4) << "axis " << axis;
  }
  for (int i = 0; i < 6; ++i) {
    EXPECT_NEAR(in[2] / 6, out.z[i], 1e-4) << "point " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Planes, TiltedPlaneTest, ::testing::ValuesIn(kTiltedPlanes),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(LevelPlaneProjectionTest, NoPointsWritesNothingButStillGivesTheAngles) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const float count : {0.0f, 0.5f, -3.0f, nan}) {
    for (const bool centre : {false, true}) {
      const Levelled out = level(kXs, kYs, count, {1.0f, 0.0f, 0.0f}, centre);
      EXPECT_EQ("-0.785398", test::printed(out.angle_y)) << "count " << count;
      EXPECT_EQ(0.0f, out.angle_x) << "count " << count;
      for (int i = 0; i < kCapacity; ++i) {
        EXPECT_EQ(kUntouched, out.x[i]) << "count " << count << ", point " << i;
        EXPECT_EQ(kUntouched, out.z[i]) << "count " << count << ", point " << i;
      }
    }
  }
}

TEST(LevelPlaneProjectionTest, FractionalCountIsItsWholePart) {
  // Regression: a fractional count used to write one point past the whole part.
  const PlaneSlope plane = {0.3f, -0.7f, 4.0f};
  const Levelled two = level(kXs, kYs, 2.0f, plane, true);
  const Levelled two_and_a_half = level(kXs, kYs, 2.5f, plane, true);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(two.x[i], two_and_a_half.x[i]) << i;
    EXPECT_EQ(two.y[i], two_and_a_half.y[i]) << i;
    EXPECT_EQ(two.z[i], two_and_a_half.z[i]) << i;
  }
  EXPECT_EQ(kUntouched, two_and_a_half.x[2]);
  EXPECT_EQ(kUntouched, two_and_a_half.y[2]);
  EXPECT_EQ(kUntouched, two_and_a_half.z[2]);
}

}  // namespace
}  // namespace levelling
