#include "formats/number_text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
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
// Below 2^52 a double's integers and halves are exact.
constexpr double kLargestExactInteger = 4503599627370496.0;

// The common case of a text cloud's numbers, a plain decimal of at most 15 significant digits
// ("-512345.678901"), read exactly: the digits as an integer, divided by a power of ten, both
// exact, so the quotient is the correctly rounded value (Clinger's fast path), as from_chars
// gives it. Returns nullptr for anything else (exponents, long mantissas, inf, nan...), which
// from_chars then reads.
const char *parse_plain_decimal(const char *first, const char *last, double *value) {
  const char *p = first;
  const bool negative = p < last && *p == '-';
  p += negative ? 1 : 0;
  uint64_t mantissa = 0;
  int digits = 0, significant = 0, decimals = -1;
  for (; p < last; ++p) {
    const char c = *p;
    if (c >= '0' && c <= '9') {
      ++digits;
      if (mantissa != 0 || c != '0') {
        ++significant;
      }
      mantissa = mantissa * 10 + uint64_t(c - '0');
      decimals += decimals >= 0 ? 1 : 0;
    } else if (c == '.' && decimals < 0) {
      decimals = 0;
    } else {
      break;
    }
  }
  if (digits == 0 || significant > kMaxExactDigits || (p < last && (*p == 'e' || *p == 'E'))) {
    return nullptr;
  }
  const int power = decimals < 0 ? 0 : decimals;
  if (power > kMaxExactPower) {
    return nullptr;
  }
  const double magnitude = double(mantissa) / kExactPowersOfTen[power];
  *value = negative ? -magnitude : magnitude;
  return p;
}

}  // namespace

const char *parse_number_prefix(const char *first, const char *last, double *value) {
  const char *start = first;
  if (last - first > 1 && first[0] == '+' && first[1] != '-' && first[1] != '+') {
    ++start;  // from_chars takes no leading '+'
  }
  if (const char *end = parse_plain_decimal(start, last, value)) {
    return end;
  }
  double parsed = 0.0;
  const auto [end, error] = std::from_chars(start, last, parsed);
  if (error == std::errc::result_out_of_range) {
    // A value beyond double's range is still a number: an infinity or a zero, as strtod gives
    // it (in the C locale, which this program never leaves).
    const std::string copy(start, end);
    *value = std::strtod(copy.c_str(), nullptr);
    return end;
  }
  if (error != std::errc()) {
    return nullptr;
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
  // The fast way: the value in units of the last place, rounded as an integer. The product's
  // rounding error (exact, by a fused multiply-add) tells whether it could move the value across
  // a half unit; only then, and for values too large for it, the exact decimal expansion of
  // to_chars decides.
  const double scaled = value * kExactPowersOfTen[decimals];
  const double error = std::fma(value, kExactPowersOfTen[decimals], -scaled);
  const double rounded = std::nearbyint(scaled);
  const double from_half = std::fabs(std::fabs(scaled - rounded) - 0.5);
  if (std::fabs(scaled) < kLargestExactInteger && (error == 0.0 || from_half > 2 * std::fabs(error))) {
    uint64_t units = uint64_t(std::fabs(rounded));
    char digits[kNumberTextSize];
    int count = 0;
    do {
      digits[count++] = char('0' + units % 10);
      units /= 10;
    } while (units != 0 || count <= decimals);
    size_t length = 0;
    if (rounded < 0.0) {
      out[length++] = '-';
    }
    while (count > decimals) {
      out[length++] = digits[--count];
    }
    if (decimals > 0) {
      out[length++] = '.';
      while (count > 0) {
        out[length++] = digits[--count];
      }
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
