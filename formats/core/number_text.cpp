#include "formats/core/number_text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace levelling {

namespace {

// from_chars takes no leading '+'; drop one that a number follows.
std::string_view without_plus(std::string_view text) {
  if (text.size() > 1 && text[0] == '+' && text[1] != '-' && text[1] != '+') {
    text.remove_prefix(1);
  }
  return text;
}

// Powers of ten that a double holds exactly.
constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kMaxExactDigits = 15;  // below 2^53: the mantissa is exact
constexpr int kMaxExactPower = 22;
// Adding and taking away 1.5 * 2^52 rounds a double below 2^51 in magnitude to an integer.
constexpr double kRoundingShift = 6755399441055744.0;
constexpr double kLargestRoundedInteger = 2251799813685248.0;
// Half a unit in the last place of x is below |x| times this (2^-53), doubled for margin.
constexpr double kErrorBound = 2.220446049250313e-16;
// "00" to "99".
constexpr char kTwoDigits[] =
    "00010203040506070809101112131415161718192021222324"
    "25262728293031323334353637383940414243444546474849"
    "50515253545556575859606162636465666768697071727374"
    "75767778798081828384858687888990919293949596979899";

// The common case of a text cloud's numbers, a plain decimal of at most 15 significant digits
// ("-512345.678901"), read exactly: the digits as an integer, divided by a power of ten, both
// exact, so the quotient is the correctly rounded value (Clinger's fast path), as from_chars
// gives it; *decimals its digits after the decimal point. Returns nullptr for anything else
// (exponents, long mantissas, inf, nan...), which from_chars then reads.
const char *parse_plain_decimal(const char *first, const char *last, double *value,
                                int *decimals) {
  const char *p = first;
  const bool negative = p < last && *p == '-';
  p += negative ? 1 : 0;
  const char *const digits_begin = p;
  uint64_t mantissa = 0;  // (leading zeros add nothing; more than 19 digits are refused below)
  for (; p < last && unsigned(*p - '0') <= 9; ++p) {
    mantissa = mantissa * 10 + unsigned(*p - '0');
  }
  const int whole_digits = int(p - digits_begin);
  int power = 0;
  if (p < last && *p == '.') {
    const char *const fraction = ++p;
    for (; p < last && unsigned(*p - '0') <= 9; ++p) {
      mantissa = mantissa * 10 + unsigned(*p - '0');
    }
    power = int(p - fraction);
  }
  const int digits = whole_digits + power;
  if (digits == 0 || power > kMaxExactPower || (p < last && (*p == 'e' || *p == 'E'))) {
    return nullptr;
  }
  if (digits > kMaxExactDigits) {
    // Only significant digits count: leading zeros (0.000001234) are not (rare: long numbers).
    int zeros = 0;
    for (const char *q = digits_begin; q < p && (*q == '0' || *q == '.'); ++q) {
      zeros += *q == '0' ? 1 : 0;
    }
    if (digits - zeros > kMaxExactDigits) {
      return nullptr;
    }
  }
  const double magnitude = double(mantissa) / kExactPowersOfTen[power];
  *value = negative ? -magnitude : magnitude;
  *decimals = power;
  return p;
}

}  // namespace

const char *parse_number_prefix(const char *first, const char *last, double *value) {
  int decimals = 0;
  bool exponent = false;
  return parse_number_prefix(first, last, value, &decimals, &exponent);
}

const char *parse_number_prefix(const char *first, const char *last, double *value,
                                int *decimals, bool *exponent) {
  const char *start = first;
  if (last - first > 1 && first[0] == '+' && first[1] != '-' && first[1] != '+') {
    ++start;  // from_chars takes no leading '+'
  }
  *exponent = false;
  if (const char *end = parse_plain_decimal(start, last, value, decimals)) {
    return end;
  }
  double parsed = 0.0;
  const auto [end, error] = std::from_chars(start, last, parsed);
  if (error != std::errc() && error != std::errc::result_out_of_range) {
    return nullptr;
  }
  // The digits after the decimal point, up to an exponent (-1 without a point: inf, nan).
  *decimals = -1;
  for (const char *p = start; p < end; ++p) {
    if (*p == '.') {
      *decimals = 0;
    } else if (*p == 'e' || *p == 'E') {
      *exponent = true;
      break;
    } else if (*decimals >= 0 && unsigned(*p - '0') <= 9) {
      ++*decimals;
    }
  }
  if (error == std::errc::result_out_of_range) {
    // A value beyond double's range is still a number: an infinity or a zero, as strtod gives
    // it (in the C locale, which this program never leaves).
    const std::string copy(start, end);
    *value = std::strtod(copy.c_str(), nullptr);
    return end;
  }
  *value = parsed;
  return end;
}

bool parse_number(std::string_view text, double *value) {
  const char *last = text.data() + text.size();
  double parsed = 0.0;
  if (text.empty() || parse_number_prefix(text.data(), last, &parsed) != last) {
    return false;
  }
  *value = parsed;
  return true;
}

bool parse_integer(std::string_view text, int64_t *value) {
  text = without_plus(text);
  int64_t parsed = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
    return false;
  }
  *value = parsed;
  return true;
}

namespace {

// Plain decimals (100000, 0.25) for the magnitudes coordinates have, the exponent form only
// beyond them, where plain digits would run long. Either way the shortest that reads back.
constexpr double kSmallestPlain = 1e-5;
constexpr double kLargestPlain = 1e16;

template <typename T>
size_t shortest(T value, char *out) {
  const double magnitude = std::fabs(double(value));
  const std::chars_format form = magnitude == 0.0 ||
                                         (magnitude >= kSmallestPlain && magnitude < kLargestPlain)
                                     ? std::chars_format::fixed
                                     : std::chars_format::general;
  return size_t(std::to_chars(out, out + kNumberTextSize, value, form).ptr - out);
}

}  // namespace

size_t format_number(double value, char *out) { return shortest(value, out); }

size_t format_number(float value, char *out) { return shortest(value, out); }

size_t format_number_fixed(double value, int decimals, char *out) {
  if (!(std::fabs(value) < kLargestPlain)) {
    return format_number(value, out);
  }
  // Half a unit in the last place written, for 0 to kMaxFixedDecimals decimals.
  static constexpr double kHalfUnit[kMaxFixedDecimals + 1] = {
      0.5,   0.05,   0.005,   5e-4,    5e-5,    5e-6,    5e-7,    5e-8,   5e-9,
      5e-10, 5e-11,  5e-12,   5e-13,   5e-14,   5e-15,   5e-16,   5e-17,  5e-18};
  decimals = decimals < 0 ? 0 : decimals > kMaxFixedDecimals ? kMaxFixedDecimals : decimals;
  if (std::fabs(value) < kHalfUnit[decimals]) {
    value = 0.0;  // no "-0.000"
  }
  // The fast way: the value in units of the last place, rounded to the nearest integer (ties to
  // even, by adding and taking away 1.5 * 2^52, exact below 2^51). The product's rounding error
  // is at most half a unit in its last place, below |scaled| * 2^-53: unless that could move it
  // across a half unit, the integer is the exact value's. Otherwise, and for values too large
  // for it, the exact decimal expansion of to_chars decides.
  const double scaled = value * kExactPowersOfTen[decimals];
  const double magnitude = std::fabs(scaled);
  const double rounded = (scaled + kRoundingShift) - kRoundingShift;
  const double from_half = std::fabs(std::fabs(scaled - rounded) - 0.5);
  if (magnitude < kLargestRoundedInteger && from_half > magnitude * kErrorBound) {
    uint64_t units = uint64_t(std::fabs(rounded));
    char digits[kNumberTextSize];
    char *const digits_end = digits + kNumberTextSize;
    char *first = digits_end;
    for (; units >= 100; units /= 100) {
      first -= 2;
      std::memcpy(first, kTwoDigits + 2 * (units % 100), 2);
    }
    if (units >= 10) {
      first -= 2;
      std::memcpy(first, kTwoDigits + 2 * units, 2);
    } else {
      *--first = char('0' + units);
    }
    while (digits_end - first <= decimals) {
      *--first = '0';  // at least one digit before the point
    }
    const size_t whole = size_t(digits_end - first) - size_t(decimals);
    size_t length = 0;
    if (rounded < 0.0) {
      out[length++] = '-';
    }
    std::memcpy(out + length, first, whole);
    length += whole;
    if (decimals > 0) {
      out[length++] = '.';
      std::memcpy(out + length, first + whole, size_t(decimals));
      length += size_t(decimals);
    }
    return length;
  }
  return size_t(
      std::to_chars(out, out + kNumberTextSize, value, std::chars_format::fixed, decimals).ptr -
      out);
}

size_t format_integer(int64_t value, char *out) {
  return size_t(std::to_chars(out, out + kNumberTextSize, value).ptr - out);
}

}  // namespace levelling
