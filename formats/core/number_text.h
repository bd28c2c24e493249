// Numbers in text clouds: read with std::from_chars (locale-free, exact rounding) and written
// with the shortest digits that read back to the same value.
#ifndef LEVELLING_FORMATS_CORE_NUMBER_TEXT_H
#define LEVELLING_FORMATS_CORE_NUMBER_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace levelling {

// Room for any number written by the functions below.
constexpr size_t kNumberTextSize = 48;

// Parses the whole of `text` as a decimal or exponent number (an optional leading '+' or '-';
// "nan" and "inf" are numbers too). Returns false, leaving *value alone, when any character is
// left over or nothing was a number.
bool parse_number(std::string_view text, double *value);

// Parses the number at the start of [first, last) as parse_number does and returns where it
// ends, or nullptr (leaving *value alone) when no number starts there.
const char *parse_number_prefix(const char *first, const char *last, double *value);
// The same, with *decimals its digits after the decimal point (before an exponent; 0 without a
// point, -1 for inf and nan) and *exponent whether it has an exponent.
const char *parse_number_prefix(const char *first, const char *last, double *value,
                                int *decimals, bool *exponent);

// Parses the whole of `text` as a decimal integer (an optional sign). False as above, and when
// the integer does not fit in 64 bits.
bool parse_integer(std::string_view text, int64_t *value);

// Writes the shortest text that reads back to `value` into `out` (kNumberTextSize bytes at
// least) and returns its length: plain decimals from 1e-5 to 1e16 in magnitude (100000, not
// 1e+05), the exponent form beyond. The float overload reads back to the same float.
size_t format_number(double value, char *out);
size_t format_number(float value, char *out);
size_t format_integer(int64_t value, char *out);

// Writes `value` with exactly `decimals` digits after the decimal point (rounded to nearest),
// for magnitudes below 1e16 (beyond, and for NaN and infinities, as format_number); a value that
// rounds to zero is written without a sign. decimals is at most kMaxFixedDecimals.
constexpr int kMaxFixedDecimals = 17;
size_t format_number_fixed(double value, int decimals, char *out);

}  // namespace levelling

#endif
