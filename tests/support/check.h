// Comparisons that say which element failed.
#ifndef LEVELLING_TESTS_SUPPORT_CHECK_H
#define LEVELLING_TESTS_SUPPORT_CHECK_H

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace levelling::test {

// `value` as the demonstration prints it ("%f").
inline std::string printed(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%f", value);
  return text;
}

// Expects actual[i] within `tolerance` of expected[i] for i < n, naming the first index off.
inline void expect_all_near(const float *expected, const float *actual, int n, double tolerance,
                            const char *what) {
  for (int i = 0; i < n; ++i) {
    EXPECT_NEAR(expected[i], actual[i], tolerance) << what << "[" << i << "]";
  }
}

}  // namespace levelling::test

#endif
