#include "linalg/matrix.h"

#include <cstddef>

namespace levelling {

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
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) {
      double sum = 0.0;
      for (int k = 0; k < inner; ++k) {
        sum = double(b[k][j]) * a[i][k] + sum;
      }
      c[i][j] = float(sum);
    }
  }
}

}  // namespace levelling
