#include "formats/number_text.h"

#include <charconv>
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

bool parse_number(std::string_view text, double *value) {
  text = without_plus(text);
  double parsed = 0.0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
    // A value beyond double's range is still a number: an infinity or a zero, as strtod gives
    // it (in the C locale, which this program never leaves).
    if (error == std::errc::result_out_of_range && end == text.data() + text.size()) {
      const std::string copy(text);
      *value = std::strtod(copy.c_str(), nullptr);
      return true;
    }
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

size_t format_number(double value, char *out) {
  return size_t(std::to_chars(out, out + kNumberTextSize, value).ptr - out);
}

size_t format_number(float value, char *out) {
  return size_t(std::to_chars(out, out + kNumberTextSize, value).ptr - out);
}

size_t format_integer(int64_t value, char *out) {
  return size_t(std::to_chars(out, out + kNumberTextSize, value).ptr - out);
}

}  // namespace levelling
