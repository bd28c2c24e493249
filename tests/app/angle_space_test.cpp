// Properties of the whole run over the space of typed angles: the printed estimates recover the
// x and y answers, and the printed final points reproduce the starting points, or the starting
// points turned by half a turn when a cosine of the answers is negative.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "app/key_press.h"
#include "app/point_set.h"
#include "tests/support/transcript.h"

namespace levelling::test {
namespace {

constexpr double kTolerance = 0.001;  // degrees for angles, units for coordinates

std::string answers(double x, double y, double z) {
  char text[96];
  std::snprintf(text, sizeof text, "%g\n%g\n%g\n", x, y, z);
  return text;
}

// The largest distance from the printed final points to the starting points, each starting
// coordinate first multiplied by the sign given for its axis.
double largest_point_error(const LevelledResult &result, int sign_x, int sign_y, int sign_z) {
  double largest = 0.0;
  for (int i = 0; i < kPointCount; ++i) {
    largest = std::max(largest, std::fabs(result.x[i] - sign_x * double(kStartingPoints.x[i])));
    largest = std::max(largest, std::fabs(result.y[i] - sign_y * double(kStartingPoints.y[i])));
    largest = std::max(largest, std::fabs(result.z[i] - sign_z * double(kStartingPoints.z[i])));
  }
  return largest;
}

TEST(AngleSpaceTest, AnswersInsideTheQuarterTurnAreRecoveredAndThePointsReturn) {
  const double z_answers[] = {0.0, 30.0, -135.0};
  double largest_angle_error = 0.0;
  double largest_point_error_seen = 0.0;
  for (double x = -84.0; x <= 84.0; x += 7.0) {
    for (double y = -84.0; y <= 84.0; y += 7.0) {
      for (const double z : z_answers) {
        const RunResult run = run_in_process(answers(x, y, z), kNoConsole);
        const LevelledResult result = parse_levelled_result(run.output);
        const double angle_error =
            std::max(std::fabs(result.angle_x - x), std::fabs(result.angle_y - y));
        const double point_error = largest_point_error(result, 1, 1, 1);
        EXPECT_LT(angle_error, kTolerance) << "answers " << x << ", " << y << ", " << z;
        EXPECT_LT(point_error, kTolerance) << "answers " << x << ", " << y << ", " << z;
        largest_angle_error = std::max(largest_angle_error, angle_error);
        largest_point_error_seen = std::max(largest_point_error_seen, point_error);
      }
    }
  }
  RecordProperty("largest_angle_error_degrees", std::to_string(largest_angle_error));
  RecordProperty("largest_point_error", std::to_string(largest_point_error_seen));
  std::printf("largest estimate error %.9f degrees, largest point error %.9f\n",
              largest_angle_error, largest_point_error_seen);
}

// With a negative cosine of x, of y or of both (and no z answer), the estimates are the angles
// inside the quarter turn that give the same plane, and the final points are the starting
// points turned by half a turn about x (y and z negated), y (x and z negated) or z (x and y
// negated).
TEST(AngleSpaceTest, AnswersBeyondTheQuarterTurnGiveTheStartingPointsTurnedByHalfATurn) {
  const double beyond[] = {100.0, 135.0, 170.0, 190.0, 225.0, 260.0, -100.0, -135.0, -170.0,
                           -225.0};
  const double inside[] = {-80.0, -45.0, -10.0, 0.0, 20.0, 60.0, 80.0};
  for (const double x : beyond) {
    for (const double y : inside) {
      const LevelledResult about_x = parse_levelled_result(run_in_process(answers(x, y, 0), kNoConsole).output);
      EXPECT_LT(largest_point_error(about_x, 1, -1, -1), kTolerance) << "answers " << x << ", " << y;
      const LevelledResult about_y = parse_levelled_result(run_in_process(answers(y, x, 0), kNoConsole).output);
      EXPECT_LT(largest_point_error(about_y, -1, 1, -1), kTolerance) << "answers " << y << ", " << x;
    }
    for (const double y : beyond) {
      const LevelledResult about_z = parse_levelled_result(run_in_process(answers(x, y, 0), kNoConsole).output);
      EXPECT_LT(largest_point_error(about_z, -1, -1, 1), kTolerance) << "answers " << x << ", " << y;
    }
  }
}

}  // namespace
}  // namespace levelling::test
