// Dense single-precision matrices stored as arrays of row pointers.
//
// Representation: a Matrix is a pointer to `rows` row pointers; row r is its own heap block of
// `cols` floats, and element (r, c) is m[r][c]. A matrix does not know its size: every function
// is given the dimensions by its caller, who knows them from the matrix_alloc call. A new matrix
// is not cleared, so its user writes every element before reading it. Allocation failure is not
// detected (the C++ allocator terminates the program).
#ifndef LEVELLING_LINALG_MATRIX_H
#define LEVELLING_LINALG_MATRIX_H

namespace levelling {

using Matrix = float **;
using ConstMatrix = const float *const *;

// Creates an uninitialised rows x cols matrix: the array of row pointers, then the rows, row 0
// first. A count of 0 (or below) rows yields just an empty pointer array; 0 columns yields empty
// rows. Release it with matrix_free and the same row count.
Matrix matrix_alloc(int rows, int cols);

// Releases a matrix made by matrix_alloc(rows, ...): row 0 to row rows - 1, then the row pointer
// array. `rows` must be the count the matrix was created with.
void matrix_free(int rows, Matrix m);

// C = A * B in the usual row-times-column sense: A is rows x inner, B is inner x cols, and C is
// rows x cols, a third matrix distinct from A and B. Each element is summed over k = 0, 1, ...
// in double precision, s = b[k][j] * a[i][k] + s from s = 0, and stored once as a float. Where
// both operands of an operation are NaN, the sum keeps its own NaN and a product B's, so a NaN
// element has the same sign however the loops are compiled. With inner <= 0 every element of C
// becomes 0; with rows <= 0 or cols <= 0 nothing is written and B is not read. Time grows as
// rows x inner x cols; the only scratch is on the stack.
void matrix_multiply(int rows, int inner, int cols, ConstMatrix a, ConstMatrix b, Matrix c);

}  // namespace levelling

#endif
