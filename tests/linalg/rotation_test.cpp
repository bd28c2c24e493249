#include "linalg/rotation.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/check.h"

namespace levelling {
namespace {

constexpr double kQuarterTurn = 1.5707963267948966;
constexpr double kRounding = 1e-6;  // single-precision rounding of unit-sized values

using Builder = void (*)(double, Matrix);

struct Turn {
  const char *name;
  Builder build;
  Point3 from;
  Point3 to;  // where a quarter turn sends `from`
};

// Test names and failure messages show the case by its name.
void PrintTo(const Turn &c, std::ostream *os) { *os << c.name; }

// Counter-clockwise seen from the positive end of each axis.
const Turn kQuarterTurns[] = {
    {"XSendsYToZ", rotation_x, {0, 1, 0}, {0, 0, 1}},
    {"YSendsZToX", rotation_y, {0, 0, 1}, {1, 0, 0}},
    {"ZSendsXToY", rotation_z, {1, 0, 0}, {0, 1, 0}},
};

class RotationTest : public ::testing::TestWithParam<Turn> {
 protected:
  Matrix r_ = matrix_alloc(3, 3);
  Matrix back_ = matrix_alloc(3, 3);
  ~RotationTest() override {
    matrix_free(3, r_);
    matrix_free(3, back_);
  }
};

void expect_point_near(const Point3 &expected, const Point3 &actual, double tolerance) {
  EXPECT_NEAR(expected.x, actual.x, tolerance) << "x";
  EXPECT_NEAR(expected.y, actual.y, tolerance) << "y";
  EXPECT_NEAR(expected.z, actual.z, tolerance) << "z";
}

TEST_P(RotationTest, QuarterTurnSendsOneAxisToTheNext) {
  GetParam().build(kQuarterTurn, r_);
  Point3 turned;
  transform_point(GetParam().from, r_, &turned);
  expect_point_near(GetParam().to, turned, kRounding);
}

TEST_P(RotationTest, ZeroAngleIsExactlyTheIdentity) {
  GetParam().build(0.0, r_);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      EXPECT_EQ(r == c ? 1.0f : 0.0f, r_[r][c]) << "element (" << r << ", " << c << ")";
    }
  }
}

TEST_P(RotationTest, NegatedAngleUndoesTheTurn) {
  const Point3 start = {75.0f, -75.0f, 10.0f};
  for (const double angle : {0.3, -1.2, 2.5, 30.0}) {
    GetParam().build(angle, r_);
    GetParam().build(-angle, back_);
    Point3 turned;
    Point3 returned;
    transform_point(start, r_, &turned);
    transform_point(turned, back_, &returned);
    SCOPED_TRACE(angle);
    expect_point_near(start, returned, 100 * kRounding);
  }
}

TEST_P(RotationTest, FourQuarterTurnsReturnHome) {
  GetParam().build(kQuarterTurn, r_);
  Point3 p = {1.0f, 2.0f, 3.0f};
  for (int i = 0; i < 4; ++i) {
    Point3 next;
    transform_point(p, r_, &next);
    p = next;
  }
  expect_point_near({1.0f, 2.0f, 3.0f}, p, 10 * kRounding);
}

INSTANTIATE_TEST_SUITE_P(Axes, RotationTest, ::testing::ValuesIn(kQuarterTurns),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(RotationLayoutTest, SineAndCosineStandWhereTheRowVectorConventionPutsThem) {
  Matrix r = matrix_alloc(3, 3);
  const float c = float(std::cos(0.5));
  const float s = float(std::sin(0.5));
  rotation_x(0.5, r);
  EXPECT_EQ(c, r[1][1]);
  EXPECT_EQ(s, r[1][2]);
  EXPECT_EQ(-s, r[2][1]);
  rotation_y(0.5, r);
  EXPECT_EQ(-s, r[0][2]);
  EXPECT_EQ(s, r[2][0]);
  rotation_z(0.5, r);
  EXPECT_EQ(s, r[0][1]);
  EXPECT_EQ(-s, r[1][0]);
  matrix_free(3, r);
}

TEST(TransformPointTest, SumsZThenYThenX) {
  // (1 + 2^60) + -2^60 is 0 in double: the 1 is lost before x is added. Summed x first, the
  // result would be 1.
  const float big = 1152921504606846976.0f;  // 2^60
  Matrix ones = matrix_alloc(3, 3);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      ones[r][c] = 1.0f;
    }
  }
  Point3 out;
  transform_point({-big, big, 1.0f}, ones, &out);
  EXPECT_EQ(0.0f, out.x);
  EXPECT_EQ(0.0f, out.y);
  EXPECT_EQ(0.0f, out.z);
  matrix_free(3, ones);
}

TEST(TransformPointTest, TheDefaultTransformationMovesTheFirstPointAsPrinted) {
  // The XYZ transformation for 45, 45 and 0 degrees, as the run prints it.
  Matrix m = matrix_alloc(3, 3);
  const float half = 0.5f;
  const float root_half = float(std::sqrt(0.5));
  const float rows[3][3] = {{root_half, 0.0f, -root_half}, {half, root_half, half}, {half, -root_half, half}};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      m[r][c] = rows[r][c];
    }
  }
  Point3 out;
  transform_point({100.0f, 0.0f, 10.0f}, m, &out);
  EXPECT_EQ("75.710678", test::printed(out.x));
  EXPECT_EQ("-7.071068", test::printed(out.y));
  EXPECT_EQ("-65.710678", test::printed(out.z));
  matrix_free(3, m);
}

}  // namespace
}  // namespace levelling
