#include "formats/core/number_text.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <random>
#include <string>

namespace levelling {
namespace {

// The value from_chars reads from `text` (which it must read whole).
double from_chars_value(const std::string &text) {
  double value = 0.0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  EXPECT_EQ(text.data() + text.size(), result.ptr) << text;
  return value;
}

TEST(NumberTextTest, PlainDecimalsReadBitForBitAsFromCharsReadsThem) {
  // Random decimals of 1 to 19 digits with the point anywhere: the fast path (up to 15
  // significant digits) and the rest must both give from_chars's double exactly.
  std::mt19937_64 random(11);
  for (int i = 0; i < 200000; ++i) {
    const int digits = 1 + int(random() % 19);
    std::string text = random() % 2 ? "-" : "";
    const int point = int(random() % size_t(digits + 1));
    for (int d = 0; d < digits; ++d) {
      if (d == point && d > 0) {
        text += '.';
      }
      text += char('0' + random() % 10);
    }
    double parsed = 0.0;
    ASSERT_TRUE(parse_number(text, &parsed)) << text;
    const double expected = from_chars_value(text);
    ASSERT_EQ(0, std::memcmp(&expected, &parsed, sizeof parsed)) << text;
  }
  const struct {
    const char *text;
    bool number;
    double value;
  } cases[] = {{"+3", true, 3},         {"-0", true, -0.0},       {".5", true, 0.5},
               {"5.", true, 5},         {"1e-400", true, 0.0},    {"0.1", true, 0.1},
               {"512345.678901", true, 512345.678901},           {"1.2.3", false, 0},
               {"-", false, 0},         {"+-1", false, 0},        {"1,5", false, 0},
               {"0000000000000000001.25", true, 1.25}};
  for (const auto &each : cases) {
    double parsed = 0.0;
    EXPECT_EQ(each.number, parse_number(each.text, &parsed)) << each.text;
    if (each.number) {
      EXPECT_EQ(each.value, parsed) << each.text;
      EXPECT_EQ(std::signbit(each.value), std::signbit(parsed)) << each.text;
    }
  }
  double infinite = 0.0;
  ASSERT_TRUE(parse_number("1e400", &infinite));
  EXPECT_TRUE(std::isinf(infinite));
}

TEST(NumberTextTest, SignsAndFormsOfNumbersRead) {
  const struct {
    const char *text;
    bool reads;
    double value;
  } cases[] = {{"+5", true, 5.0},   {"-5", true, -5.0}, {"+0.25", true, 0.25},
               {"1e3", true, 1e3},  {"++5", false, 0}, {"+", false, 0},
               {"5+", false, 0},    {"", false, 0}};
  for (const auto &each : cases) {
    double value = -1.0;
    EXPECT_EQ(each.reads, parse_number(each.text, &value)) << each.text;
    if (each.reads) {
      EXPECT_EQ(each.value, value) << each.text;
    }
  }
}

TEST(NumberTextTest, FixedDecimalsRoundAndDropTheSignOfZero) {
  const struct {
    double value;
    int decimals;
    const char *text;
  } cases[] = {{1.23456, 3, "1.235"}, {-0.0004, 3, "0.000"}, {-0.0006, 3, "-0.001"},
               {512345.6789012, 6, "512345.678901"}, {2.5, 0, "2"}, {1e20, 2, "1e+20"},
               // Just inside half a unit below zero: a zero, without a sign.
               {std::nextafter(-0.0005, 0.0), 3, "0.000"}};
  for (const auto &each : cases) {
    char text[kNumberTextSize];
    EXPECT_EQ(each.text, std::string(text, format_number_fixed(each.value, each.decimals, text)))
        << each.value;
  }
  // Whatever way it takes, the digits are those of the exact decimal expansion rounded to
  // nearest (ties to even), as to_chars writes them: random values, and halves at every place.
  std::mt19937_64 random(12);
  std::uniform_real_distribution<double> coordinate(-6e6, 6e6);
  for (int i = 0; i < 200000; ++i) {
    const int decimals = int(random() % 10);
    double value = coordinate(random);
    if (i % 4 == 0) {
      value = (std::floor(value * 1000) + 0.5) / 1000;  // a tie at the fourth place, nearly
    }
    if (std::fabs(value) < 0.5 * std::pow(10.0, -decimals)) {
      continue;
    }
    char fast[kNumberTextSize], exact[64];
    const std::string written(fast, format_number_fixed(value, decimals, fast));
    const std::string expected(
        exact, std::to_chars(exact, exact + sizeof exact, value, std::chars_format::fixed, decimals).ptr);
    ASSERT_EQ(expected, written) << value << " with " << decimals;
  }
}

}  // namespace
}  // namespace levelling
