#include "plane/plane_three_points.h"

#include <gtest/gtest.h>

#include "plane/plane_forms.h"
#include "tests/support/check.h"
#include "tests/support/points.h"

namespace levelling {
namespace {

constexpr float kUntouched = 42.0f;

PlaneGeneral through_first_three(const PointSet &points) {
  PlaneGeneral plane;
  plane_through_points(points.x, points.y, points.z, &plane.A, &plane.B, &plane.C, &plane.D);
  return plane;
}

TEST(PlaneThroughPointsTest, StartingPointsGiveTheLevelPlaneAtTen) {
  const PlaneGeneral general = through_first_three(kStartingPoints);
  EXPECT_EQ(0.0f, general.A);
  EXPECT_EQ(0.0f, general.B);
  EXPECT_EQ(-3750.0f, general.C);
  EXPECT_EQ(37500.0f, general.D);
  PlaneSlope slope = {kUntouched, kUntouched, kUntouched};
  plane_slope_form(general.A, general.B, general.C, general.D, &slope.a, &slope.b, &slope.c);
  EXPECT_EQ(0.0f, slope.a);
  EXPECT_EQ(0.0f, slope.b);
  EXPECT_EQ(10.0f, slope.c);
}

TEST(PlaneThroughPointsTest, DefaultTransformationGivesTheKnownSlopes) {
  const PlaneGeneral general = through_first_three(test::turned_starting_points(45, 45, 0));
  PlaneSlope slope;
  plane_slope_form(general.A, general.B, general.C, general.D, &slope.a, &slope.b, &slope.c);
  EXPECT_EQ("-1.000000", test::printed(slope.a));
  EXPECT_EQ("1.414213", test::printed(slope.b));
  EXPECT_EQ("20.000000", test::printed(slope.c));
}

TEST(PlaneThroughPointsTest, EachOfTheThreePointsSatisfiesTheGeneralForm) {
  const float xs[] = {1.0f, -2.0f, 4.0f};
  const float ys[] = {0.5f, 3.0f, -1.0f};
  const float zs[] = {2.0f, 7.0f, -3.0f};
  PlaneGeneral p;
  plane_through_points(xs, ys, zs, &p.A, &p.B, &p.C, &p.D);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(0.0, double(p.A) * xs[i] + double(p.B) * ys[i] + double(p.C) * zs[i] + p.D, 1e-4)
        << "point " << i;
  }
}

TEST(PlaneSlopeFormTest, VerticalPlaneWritesNothing) {
  // A quarter turn about x stands the starting plane on its edge: C = 0.
  const PlaneGeneral vertical = through_first_three(test::turned_starting_points(90, 0, 0));
  EXPECT_EQ(0.0f, vertical.C);
  PlaneSlope slope = {kUntouched, kUntouched, kUntouched};
  plane_slope_form(vertical.A, vertical.B, vertical.C, vertical.D, &slope.a, &slope.b, &slope.c);
  EXPECT_EQ(kUntouched, slope.a);
  EXPECT_EQ(kUntouched, slope.b);
  EXPECT_EQ(kUntouched, slope.c);
}

TEST(PlaneSlopeFormTest, NegativeZeroIsZeroToo) {
  // C = -0.0 (as the answers -180, -90, 0 give) is a vertical plane like C = 0: dividing by it
  // would print -inf and nan.
  PlaneSlope slope = {kUntouched, kUntouched, kUntouched};
  plane_slope_form(-3750.0f, 0.0f, -0.0f, 37500.0f, &slope.a, &slope.b, &slope.c);
  EXPECT_EQ(kUntouched, slope.a);
  EXPECT_EQ(kUntouched, slope.b);
  EXPECT_EQ(kUntouched, slope.c);
}

TEST(PlaneSlopeFormTest, CoincidentPointsGiveAZeroNormalAndNoSlopeForm) {
  const float same[] = {3.0f, 3.0f, 3.0f};
  PlaneGeneral p;
  plane_through_points(same, same, same, &p.A, &p.B, &p.C, &p.D);
  EXPECT_EQ(0.0f, p.A);
  EXPECT_EQ(0.0f, p.B);
  EXPECT_EQ(0.0f, p.C);
  EXPECT_EQ(0.0f, p.D);
  PlaneSlope slope = {kUntouched, kUntouched, kUntouched};
  plane_slope_form(p.A, p.B, p.C, p.D, &slope.a, &slope.b, &slope.c);
  EXPECT_EQ(kUntouched, slope.a);
}

}  // namespace
}  // namespace levelling
