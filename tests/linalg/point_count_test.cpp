#include "linalg/point_count.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace levelling {
namespace {

TEST(WholePointCountTest, TakesTheWholePartAndNothingOutsideTheIntRange) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float infinity = std::numeric_limits<float>::infinity();
  const int largest = std::numeric_limits<int>::max();
  const struct {
    float count;
    int points;
  } cases[] = {
      {6.0f, 6},       {6.7f, 6},        {0.999f, 0},  {0.0f, 0},       {-0.0f, 0},
      {-2.5f, 0},      {nan, 0},         {-nan, 0},    {-infinity, 0},  {infinity, largest},
      {3e9f, largest}, {2147483520.0f, 2147483520},    {1e30f, largest},
      {2147483648.0f, largest},  // 2^31, the first float beyond the int range
  };
  for (const auto &c : cases) {
    EXPECT_EQ(c.points, whole_point_count(c.count)) << "count " << c.count;
  }
}

}  // namespace
}  // namespace levelling
