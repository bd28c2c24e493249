#include "plane/solver.h"

#include <gtest/gtest.h>

namespace levelling {
namespace {

constexpr float kUntouched = 42.0f;

// The augmented matrix of A x = b stored by columns, from A given row by row.
Matrix augmented(int n, const float *a_rows, const float *b) {
  Matrix aug = matrix_alloc(n + 1, n);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      aug[c][r] = a_rows[r * n + c];
    }
    aug[n][r] = b[r];
  }
  return aug;
}

TEST(SolveLinearSystemTest, LargestFirstColumnInTheLastRowIsExchangedToTheTop) {
  const float a[] = {1, 2, 0,  //
                     0, 1, 1,  //
                     4, 1, 1};
  const float b[] = {5, 5, 9};  // x = (1, 2, 3)
  Matrix aug = augmented(3, a, b);
  float x[3];
  ASSERT_EQ(1, solve_linear_system(aug, 3, x));
  EXPECT_FLOAT_EQ(1.0f, x[0]);
  EXPECT_FLOAT_EQ(2.0f, x[1]);
  EXPECT_FLOAT_EQ(3.0f, x[2]);
  // The pivot row of the first column, never touched after its exchange, is the old last row.
  EXPECT_EQ(4.0f, aug[0][0]);
  EXPECT_EQ(1.0f, aug[1][0]);
  EXPECT_EQ(1.0f, aug[2][0]);
  EXPECT_EQ(9.0f, aug[3][0]);
  matrix_free(4, aug);
}

TEST(SolveLinearSystemTest, AmongEqualPivotMagnitudesTheUpperRowWins) {
  const float a[] = {2, 1,  //
                     -2, 1};
  const float b[] = {3, 1};  // x = (0.5, 2)
  Matrix aug = augmented(2, a, b);
  float x[2];
  ASSERT_EQ(1, solve_linear_system(aug, 2, x));
  EXPECT_EQ(0.5f, x[0]);
  EXPECT_EQ(2.0f, x[1]);
  EXPECT_EQ(2.0f, aug[0][0]) << "the lower row was taken as pivot";
  matrix_free(3, aug);
}

TEST(SolveLinearSystemTest, SingularSystemReturnsZeroAndLeavesTheUnknownsAlone) {
  const float a[] = {1, 2,  //
                     2, 4};
  const float b[] = {3, 6};
  Matrix aug = augmented(2, a, b);
  float x[2] = {kUntouched, kUntouched};
  EXPECT_EQ(0, solve_linear_system(aug, 2, x));
  EXPECT_EQ(kUntouched, x[0]);
  EXPECT_EQ(kUntouched, x[1]);
  matrix_free(3, aug);
}

TEST(SolveLinearSystemTest, OneUnknownIsOneDivisionUnlessThePivotIsTiny) {
  const float a[] = {4};
  const float b[] = {2};
  Matrix aug = augmented(1, a, b);
  float x = kUntouched;
  ASSERT_EQ(1, solve_linear_system(aug, 1, &x));
  EXPECT_EQ(0.5f, x);
  matrix_free(2, aug);

  // A negative pivot is as good as a positive one: only its magnitude is tested.
  const float negative[] = {-4};
  Matrix negative_aug = augmented(1, negative, b);
  ASSERT_EQ(1, solve_linear_system(negative_aug, 1, &x));
  EXPECT_EQ(-0.5f, x);
  matrix_free(2, negative_aug);

  const float tiny[] = {0.000009f};
  Matrix tiny_aug = augmented(1, tiny, b);
  x = kUntouched;
  EXPECT_EQ(0, solve_linear_system(tiny_aug, 1, &x));
  EXPECT_EQ(kUntouched, x);
  matrix_free(2, tiny_aug);
}

TEST(SolveLinearSystemTest, EliminationMultipliesBeforeItDivides) {
  // x = (1, 0) exactly. After the rows are exchanged the second pivot is
  // 0.7 - (1.1 * 0.1) / 0.7, stored as a float; dividing first, 0.7 - 1.1 * (0.1 / 0.7),
  // leaves the right-hand side a few 1e-17 off and x1 comes out not quite 0.
  const float a[] = {0.1f, 0.7f,  //
                     0.7f, 1.1f};
  const float b[] = {0.1f, 0.7f};
  Matrix aug = augmented(2, a, b);
  float x[2];
  ASSERT_EQ(1, solve_linear_system(aug, 2, x));
  EXPECT_EQ(1.0f, x[0]);
  EXPECT_EQ(0.0f, x[1]);
  matrix_free(3, aug);
}

TEST(SolveLinearSystemTest, NoUnknownsReadsAndWritesNothing) {
  float x = kUntouched;
  EXPECT_EQ(1, solve_linear_system(nullptr, 0, &x));
  EXPECT_EQ(1, solve_linear_system(nullptr, -3, &x));
  EXPECT_EQ(kUntouched, x);
}

}  // namespace
}  // namespace levelling
