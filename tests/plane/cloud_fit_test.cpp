#include "plane/cloud_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "tests/support/points.h"

namespace levelling {
namespace {

using test::CloudPoints;
using test::PlaneCloud;

constexpr int64_t kStreamBlock = 65536;  // points drawn and added at a time

// Fits n points of `cloud`, drawn and added block by block, so that no size needs the cloud
// in memory whole.
CloudPlane fit_streamed(PlaneCloud cloud, int64_t n) {
  std::vector<double> x(kStreamBlock), y(kStreamBlock), z(kStreamBlock);
  CloudFit fit;
  for (int64_t first = 0; first < n; first += kStreamBlock) {
    const int64_t width = std::min(kStreamBlock, n - first);
    cloud.fill(width, x.data(), y.data(), z.data());
    cloud_fit_add(&fit, width, x.data(), y.data(), z.data());
  }
  return cloud_fit_solve(fit);
}

struct Accuracy {
  int64_t points;
  double offset_x, offset_y;
};

TEST(CloudFitTest, NoiseFreePlanesComeBackWhateverTheSizeAndOffset) {
  const Accuracy cases[] = {{10, 0, 0},         {10, 1e6, 1e6},      {1000, 1e3, -1e3},
                            {100000, 0, 0},     {100000, 1e6, 1e6},  {100000, 5e5, 4e6},
                            {10000000, 0, 0},   {10000000, 1e6, 1e6}};
  for (const Accuracy &each : cases) {
    PlaneCloud cloud{-0.3, 0.2, 5.0};
    cloud.offset_x = each.offset_x;
    cloud.offset_y = each.offset_y;
    const CloudPlane plane = fit_streamed(cloud, each.points);
    const std::string where = std::to_string(each.points) + " points at (" +
                              std::to_string(each.offset_x) + ", " +
                              std::to_string(each.offset_y) + ")";
    ASSERT_EQ(CloudFitStatus::kFitted, plane.status) << where;
    EXPECT_EQ(each.points, plane.count) << where;
    EXPECT_NEAR(-0.3, plane.a, 1e-9) << where;
    EXPECT_NEAR(0.2, plane.b, 1e-9) << where;
    EXPECT_NEAR(5.0, plane.c, 1e-6) << where;
    EXPECT_LT(plane.rms, 1e-6) << where;
  }
}

TEST(CloudFitTest, PiecesOfAnySizeGiveTheFitOfTheWhole) {
  PlaneCloud cloud{0.7, -1.1, -20.0};
  cloud.noise = 0.5;
  cloud.offset_x = 3e5;
  const CloudPoints points(cloud, 20000);
  CloudFit whole;
  cloud_fit_add(&whole, 20000, points.x.data(), points.y.data(), points.z.data());
  CloudFit pieces;
  int64_t first = 0;
  for (int64_t piece : {1, 2, 2047, 2049, 7000, 8901}) {
    cloud_fit_add(&pieces, piece, &points.x[size_t(first)], &points.y[size_t(first)],
                  &points.z[size_t(first)]);
    first += piece;
  }
  const CloudPlane a = cloud_fit_solve(whole), b = cloud_fit_solve(pieces);
  ASSERT_EQ(CloudFitStatus::kFitted, b.status);
  EXPECT_EQ(a.count, b.count);
  EXPECT_NEAR(a.a, b.a, 1e-12);
  EXPECT_NEAR(a.b, b.b, 1e-12);
  EXPECT_NEAR(a.c, b.c, 1e-6);
  // Uniform noise within +-0.5 has a standard deviation of 0.5 / sqrt(3).
  EXPECT_NEAR(0.5 / std::sqrt(3.0), a.rms, 0.01);
  EXPECT_NEAR(a.rms, b.rms, 1e-9);
  EXPECT_NEAR(3e5 + 50.0, a.centroid[0], 1.0);
}

struct Degenerate {
  const char *what;
  std::vector<double> x, y, z;
  CloudFitStatus status;
};

TEST(CloudFitTest, DegenerateCloudsSayWhy) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> line_x, line_y, line_z, wall_x, wall_y, wall_z;
  for (int i = 0; i < 1000; ++i) {
    // A line through space far from the origin, and a vertical wall x = 2y + 5.
    line_x.push_back(1e6 + 0.37 * i);
    line_y.push_back(4e6 - 0.11 * i);
    line_z.push_back(100.0 + 0.05 * i);
    wall_y.push_back(0.1 * i);
    wall_x.push_back(2.0 * wall_y.back() + 5.0);
    wall_z.push_back(double(i % 17));
  }
  const Degenerate cases[] = {
      {"no points", {}, {}, {}, CloudFitStatus::kTooFewPoints},
      {"two points", {0, 1}, {0, 1}, {0, 1}, CloudFitStatus::kTooFewPoints},
      {"one place", {7, 7, 7, 7}, {2, 2, 2, 2}, {1, 1, 1, 1}, CloudFitStatus::kCollinear},
      {"a line", line_x, line_y, line_z, CloudFitStatus::kCollinear},
      {"a wall", wall_x, wall_y, wall_z, CloudFitStatus::kVerticalPlane},
      {"a NaN", {0, 1, 0, 1}, {0, 0, 1, nan}, {0, 1, 2, 3}, CloudFitStatus::kNonFinite},
      {"an infinity", {inf, 1, 0, 1}, {0, 0, 1, 1}, {0, 1, 2, 3}, CloudFitStatus::kNonFinite},
  };
  for (const Degenerate &each : cases) {
    CloudFit fit;
    cloud_fit_add(&fit, int64_t(each.x.size()), each.x.data(), each.y.data(), each.z.data());
    const CloudPlane plane = cloud_fit_solve(fit);
    EXPECT_EQ(each.status, plane.status) << each.what;
    EXPECT_EQ(int64_t(each.x.size()), plane.count) << each.what;
    EXPECT_TRUE(plane.a == 0.0 && plane.b == 0.0 && plane.c == 0.0) << each.what;
  }
  // A strip 100 long and 0.01 wide is still a plane.
  PlaneCloud strip{0.1, 0.2, 3.0};
  const CloudPoints points(strip, 1000);
  std::vector<double> narrow_y(points.y);
  for (double &y : narrow_y) {
    y = 1e-4 * y;
  }
  CloudFit fit;
  cloud_fit_add(&fit, 1000, points.x.data(), narrow_y.data(), points.z.data());
  EXPECT_EQ(CloudFitStatus::kFitted, cloud_fit_solve(fit).status);
}

}  // namespace
}  // namespace levelling
