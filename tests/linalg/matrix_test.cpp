#include "linalg/matrix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace levelling {
namespace {

// A rows x cols matrix filled from `values`, row by row.
Matrix matrix_from(int rows, int cols, const float *values) {
  Matrix m = matrix_alloc(rows, cols);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      m[r][c] = values[r * cols + c];
    }
  }
  return m;
}

void expect_matrix_eq(int rows, int cols, const float *expected, ConstMatrix actual) {
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      EXPECT_EQ(expected[r * cols + c], actual[r][c]) << "element (" << r << ", " << c << ")";
    }
  }
}

TEST(MatrixMultiplyTest, FirstArgumentIsTheLeftFactor) {
  // A swaps the first two coordinates, B scales them: A * B and B * A differ.
  const float a_values[] = {0, 1, 0, 1, 0, 0, 0, 0, 1};
  const float b_values[] = {2, 0, 0, 0, 3, 0, 0, 0, 4};
  Matrix a = matrix_from(3, 3, a_values);
  Matrix b = matrix_from(3, 3, b_values);
  Matrix c = matrix_alloc(3, 3);
  matrix_multiply(3, 3, 3, a, b, c);
  const float a_times_b[] = {0, 3, 0, 2, 0, 0, 0, 0, 4};
  expect_matrix_eq(3, 3, a_times_b, c);
  matrix_free(3, a);
  matrix_free(3, b);
  matrix_free(3, c);
}

TEST(MatrixMultiplyTest, RectangularShapes) {
  const float a_values[] = {1, 2, 3, 4, 5, 6};       // 2 x 3
  const float b_values[] = {7, 8, 9, 10, 11, 12};    // 3 x 2
  Matrix a = matrix_from(2, 3, a_values);
  Matrix b = matrix_from(3, 2, b_values);
  Matrix c = matrix_alloc(2, 2);
  matrix_multiply(2, 3, 2, a, b, c);
  const float product[] = {58, 64, 139, 154};
  expect_matrix_eq(2, 2, product, c);
  matrix_free(2, a);
  matrix_free(3, b);
  matrix_free(2, c);
}

TEST(MatrixMultiplyTest, IdentityLeavesAPointMatrixUnchanged) {
  const float identity_values[] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  const float points_values[] = {1.5f, -2.25f, 3e7f, 0.1f, 4, 5, 6, 7, -8, 9e-9f, 10, 11, 1, 1, 1, 1, 1, 1, 1, 1};
  Matrix identity = matrix_from(4, 4, identity_values);
  Matrix points = matrix_from(4, 5, points_values);
  Matrix result = matrix_alloc(4, 5);
  matrix_multiply(4, 4, 5, identity, points, result);
  expect_matrix_eq(4, 5, points_values, result);
  matrix_free(4, identity);
  matrix_free(4, points);
  matrix_free(4, result);
}

TEST(MatrixMultiplyTest, EmptyInnerDimensionGivesZerosAndEmptyOuterWritesNothing) {
  const float sentinel[] = {7, 7, 7, 7};
  Matrix c = matrix_from(2, 2, sentinel);
  matrix_multiply(2, 0, 2, nullptr, nullptr, c);
  const float zeros[] = {0, 0, 0, 0};
  expect_matrix_eq(2, 2, zeros, c);

  Matrix untouched = matrix_from(2, 2, sentinel);
  matrix_multiply(0, 2, 2, nullptr, nullptr, untouched);
  matrix_multiply(2, 2, 0, nullptr, nullptr, untouched);
  expect_matrix_eq(2, 2, sentinel, untouched);
  matrix_free(2, c);
  matrix_free(2, untouched);
}

TEST(MatrixMultiplyTest, TwoNaNOperandsKeepTheSumsAndThenBsNaN) {
  // Row a = (-NaN, 1), column b = (+NaN, -NaN): the first product keeps B's +NaN, and the sum,
  // NaN from then on, keeps it against the second product's -NaN. Seventeen equal columns take
  // both the chunked and the remainder path; -NaN there would print as "-nan".
  constexpr int kColumns = 17;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float a_values[] = {-nan, 1.0f};
  float b_values[2 * kColumns];
  for (int j = 0; j < kColumns; ++j) {
    b_values[j] = nan;
    b_values[kColumns + j] = -nan;
  }
  Matrix a = matrix_from(1, 2, a_values);
  Matrix b = matrix_from(2, kColumns, b_values);
  Matrix c = matrix_alloc(1, kColumns);
  matrix_multiply(1, 2, kColumns, a, b, c);
  for (int j = 0; j < kColumns; ++j) {
    EXPECT_TRUE(std::isnan(c[0][j]) && !std::signbit(c[0][j])) << "column " << j;
  }
  matrix_free(1, a);
  matrix_free(2, b);
  matrix_free(1, c);
}

TEST(MatrixMultiplyTest, SumsInDoublePrecisionAndRoundsOnce) {
  // 1e8 + 1 - 1e8 is 1 in double precision; in float the 1 would be lost.
  const float a_values[] = {1, 1, 1};
  const float b_values[] = {1e8f, 1, -1e8f};
  Matrix a = matrix_from(1, 3, a_values);
  Matrix b = matrix_from(3, 1, b_values);
  Matrix c = matrix_alloc(1, 1);
  matrix_multiply(1, 3, 1, a, b, c);
  EXPECT_EQ(1.0f, c[0][0]);
  matrix_free(1, a);
  matrix_free(3, b);
  matrix_free(1, c);
}

TEST(MatrixAllocTest, EmptyShapesCanBeCreatedAndReleased) {
  // An empty pointer array, and rows that are empty blocks: each its own allocation, which the
  // sanitizers' leak check sees released.
  Matrix no_rows = matrix_alloc(0, 3);
  EXPECT_NE(nullptr, no_rows);
  matrix_free(0, no_rows);
  Matrix empty_rows = matrix_alloc(4, 0);
  ASSERT_NE(nullptr, empty_rows);
  for (int r = 0; r < 4; ++r) {
    EXPECT_NE(nullptr, empty_rows[r]) << r;
  }
  matrix_free(4, empty_rows);
}

}  // namespace
}  // namespace levelling
