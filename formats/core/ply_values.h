// Single PLY values: loaded from and stored into binary records of either byte order, and
// parsed from and written as ASCII tokens. Every PLY type's values are exact in a double.
#ifndef LEVELLING_FORMATS_CORE_PLY_VALUES_H
#define LEVELLING_FORMATS_CORE_PLY_VALUES_H

#include <string_view>

#include "formats/core/byte_io.h"
#include "formats/core/ply_types.h"

namespace levelling {

// The value of `type` at `bytes` (ply_type_size(type) of them), in the given byte order.
double load_ply_value(PlyType type, bool big_endian, const char *bytes);

// Stores `value` as `type` at `bytes`: integers are truncated toward zero (values read from the
// same type come back exactly), floats rounded to nearest.
void store_ply_value(PlyType type, bool big_endian, double value, char *bytes);

// The same for n values spaced `stride` bytes apart (a column of records): loads them into
// values[0, n), or stores values[0, n) into them. Much faster than one call a value.
void load_ply_column(PlyType type, bool big_endian, const char *bytes, size_t stride, size_t n,
                     double *values);
void store_ply_column(PlyType type, bool big_endian, const double *values, size_t n,
                      char *bytes, size_t stride);

// Parses an ASCII token as `type`: an integer type takes an integer within its range, a float
// type any number. False when the token is not such a value.
bool parse_ply_token(PlyType type, std::string_view token, double *value);

// Writes `value` as an ASCII token of `type`: integers in decimal, floats with the shortest
// digits that read back to the same float or double.
void write_ply_token(PlyType type, double value, ByteWriter *out);

}  // namespace levelling

#endif
