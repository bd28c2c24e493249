#include "linalg/matrix.h"

#include <cmath>
#include <cstddef>

namespace levelling {

namespace {

// Output columns summed together: a row of double partial sums of this many elements lives on
// the stack, so the innermost loop runs along it and vectorises.
constexpr int kColumnChunk = 16;
// Products with at most this many inner terms (the 4 x 4 transforms of point matrices) first
// widen the chunk of B's rows to double once, for every row of A, instead of once per row.
constexpr int kWidenedRows = 8;
// The inner size of a 4 x 4 transform applied to homogeneous points, compiled on its own.
constexpr int kTransformSide = 4;

// Element (i, j) of A * B summed one operation at a time with the NaN each operation keeps
// pinned. When both operands of a product or a sum are NaN, IEEE 754 leaves open which one the
// result carries, and a compiler picks one by where it keeps its registers; a NaN's sign shows
// when it is printed. Here the NaN already in the sum stays, and in a product a NaN of B wins
// over one of A: what the element-by-element loop has always given on x86-64.
float element_with_pinned_nans(int inner, ConstMatrix a, int i, ConstMatrix b, int j) {
  double sum = 0.0;
  for (int k = 0; k < inner; ++k) {
    const double b_kj = b[k][j];
    const double product = std::isnan(b_kj) ? b_kj : b_kj * a[i][k];
    sum = std::isnan(sum) ? sum : product + sum;
  }
  return float(sum);
}

// Columns first .. first + width - 1 of C = A * B. Each element is its own sum,
// s = b[k][j] * a[i][k] + s over k = 0, 1, ... from 0.0 in double, stored once as a float;
// only the loops are ordered so that k runs outside the row of sums. With a fixed Width the sums
// stay in registers, and a fixed Inner unrolls the sum; 0 takes the size given. A's rows are read
// only when inner > 0. `operands_finite` says that no element of A or B is NaN or infinite.
//
// A float product carried in double cannot overflow, nor can a sum of up to 2^31 of them, so a
// sum comes out NaN only when an operand is NaN or infinite; only then are the sums checked, and
// one that came out NaN is done again with its NaN pinned.
template <int Width, int Inner>
void multiply_columns(int rows, int inner, ConstMatrix a, ConstMatrix b, Matrix c, int first,
                      bool operands_finite, int width = Width) {
  if (Width > 0) {
    width = Width;
  }
  if (Inner > 0) {
    inner = Inner;
  }
  double widened[kWidenedRows][kColumnChunk];
  const bool widen = inner <= kWidenedRows;
  if (widen) {
    for (int k = 0; k < inner; ++k) {
      for (int j = 0; j < width; ++j) {
        widened[k][j] = b[k][first + j];
      }
    }
  }
  for (int i = 0; i < rows; ++i) {
    double sums[kColumnChunk];
    for (int j = 0; j < width; ++j) {
      sums[j] = 0.0;
    }
    for (int k = 0; k < inner; ++k) {
      const double a_ik = a[i][k];
      if (widen) {
        for (int j = 0; j < width; ++j) {
          sums[j] = widened[k][j] * a_ik + sums[j];
        }
      } else {
        const float *b_row = b[k] + first;
        for (int j = 0; j < width; ++j) {
          sums[j] = double(b_row[j]) * a_ik + sums[j];
        }
      }
    }
    float *c_row = c[i] + first;
    for (int j = 0; j < width; ++j) {
      c_row[j] = float(sums[j]);
    }
    for (int j = 0; !operands_finite && j < width; ++j) {
      if (std::isnan(sums[j])) {
        c_row[j] = element_with_pinned_nans(inner, a, i, b, first + j);
      }
    }
  }
}

// True when none of the n floats of v is NaN or infinite. Each lane gathers v * 0, which is 0
// for a finite v and NaN otherwise, so the loop has no branch and vectorises.
bool all_finite(int n, const float *v) {
  float lanes[kColumnChunk] = {};
  int i = 0;
  for (; i + kColumnChunk <= n; i += kColumnChunk) {
    for (int j = 0; j < kColumnChunk; ++j) {
      lanes[j] = lanes[j] + v[i + j] * 0.0f;
    }
  }
  for (; i < n; ++i) {
    lanes[0] = lanes[0] + v[i] * 0.0f;
  }
  float total = 0.0f;
  for (float lane : lanes) {
    total = total + lane;
  }
  return total == 0.0f;
}

// True when none of the rows x cols elements of m is NaN or infinite; with no columns the rows
// are not read.
bool all_finite(int rows, int cols, ConstMatrix m) {
  for (int r = 0; cols > 0 && r < rows; ++r) {
    if (!all_finite(cols, m[r])) {
      return false;
    }
  }
  return true;
}

}  // namespace

Matrix matrix_alloc(int rows, int cols) {
  const size_t row_count = rows > 0 ? size_t(rows) : 0;
  const size_t col_count = cols > 0 ? size_t(cols) : 0;
  Matrix m = new float *[row_count];
  for (size_t r = 0; r < row_count; ++r) {
    m[r] = new float[col_count];
  }
  return m;
}

void matrix_free(int rows, Matrix m) {
  for (int r = 0; r < rows; ++r) {
    delete[] m[r];
  }
  delete[] m;
}

void matrix_multiply(int rows, int inner, int cols, ConstMatrix a, ConstMatrix b, Matrix c) {
  if (rows <= 0 || cols <= 0) {
    return;  // no element to write, and B is not read
  }
  const bool operands_finite = all_finite(rows, inner, a) && all_finite(inner, cols, b);
  int first = 0;
  if (inner == kTransformSide) {
    for (; first + kColumnChunk <= cols; first += kColumnChunk) {
      multiply_columns<kColumnChunk, kTransformSide>(rows, inner, a, b, c, first, operands_finite);
    }
  }
  for (; first + kColumnChunk <= cols; first += kColumnChunk) {
    multiply_columns<kColumnChunk, 0>(rows, inner, a, b, c, first, operands_finite);
  }
  if (first < cols) {
    multiply_columns<0, 0>(rows, inner, a, b, c, first, operands_finite, cols - first);
  }
}

}  // namespace levelling
