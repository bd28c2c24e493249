#include "formats/number_text.h"

#include <charconv>
#include <cmath>
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

}  // namespace

const char *parse_number_prefix(const char *first, const char *last, double *value) {
  const char *start = first;
  if (last - first > 1 && first[0] == '+' && first[1] != '-' && first[1] != '+') {
    ++start;  // from_chars takes no leading '+'
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
  decimals = decimals < 0 ? 0 : decimals > kMaxFixedDecimals ? kMaxFixedDecimals : decimals;
  if (std::fabs(value) < 0.5 * std::pow(10.0, -decimals)) {
    value = 0.0;  // no "-0.000"
  }
  return size_t(
      std::to_chars(out, out + kNumberTextSize, value, std::chars_format::fixed, decimals).ptr -
      out);
}

size_t format_integer(int64_t value, char *out) {
  return size_t(std::to_chars(out, out + kNumberTextSize, value).ptr - out);
}

}  // namespace levelling
