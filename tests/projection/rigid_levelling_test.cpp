#include "projection/rigid_levelling.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "plane/cloud_fit.h"
#include "projection/levelling_angles.h"
#include "tests/support/points.h"

namespace levelling {
namespace {

using test::CloudPoints;
using test::PlaneCloud;

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegree = kPi / 180.0;

CloudPlane fit_of(const CloudPoints &points) {
  CloudFit fit;
  cloud_fit_add(&fit, int64_t(points.x.size()), points.x.data(), points.y.data(),
                points.z.data());
  return cloud_fit_solve(fit);
}

double distance(const CloudPoints &p, size_t i, size_t j) {
  return std::hypot(p.x[i] - p.x[j], p.y[i] - p.y[j], p.z[i] - p.z[j]);
}

// Fits the cloud, levels it about its centroid in place and checks what must hold.
void check_levelling(const PlaneCloud &cloud, int points) {
  const CloudPoints before(cloud, points);
  const CloudPlane plane = fit_of(before);
  ASSERT_EQ(CloudFitStatus::kFitted, plane.status);
  const RigidLevelling levelling = rigid_levelling(plane.a, plane.b, plane.centroid);
  CloudPoints after = before;  // levelled in place
  level_points(levelling, points, after.x.data(), after.y.data(), after.z.data(),
               after.x.data(), after.y.data(), after.z.data());
  const std::string where = "noise " + std::to_string(cloud.noise) + " at " +
                            std::to_string(cloud.offset_x);
  if (cloud.noise == 0.0) {
    const CloudPlane level = fit_of(after);
    EXPECT_LE(std::fabs(level.a), 1e-9) << where;
    EXPECT_LE(std::fabs(level.b), 1e-9) << where;
  }
  // Distances between points, and each point's distance from the plane, to 1e-9 of the
  // cloud's size (100).
  const double tolerance = 1e-9 * cloud.side;
  const double normal_length = std::sqrt(1.0 + plane.a * plane.a + plane.b * plane.b);
  for (size_t i = 0; i < size_t(points); i += 997) {
    const size_t j = (i * 7919 + 1) % size_t(points);
    EXPECT_NEAR(distance(before, i, j), distance(after, i, j), tolerance) << where << " " << i;
    const double height = (before.z[i] - plane.centroid[2]) -
                          plane.a * (before.x[i] - plane.centroid[0]) -
                          plane.b * (before.y[i] - plane.centroid[1]);
    EXPECT_NEAR(height / normal_length, after.z[i] - plane.centroid[2], tolerance)
        << where << " " << i;
  }
}

TEST(RigidLevellingTest, LevelledCloudIsLevelAndKeepsItsShapeAndRelief) {
  constexpr int kPoints = 20000;
  // Without noise the levelled points lie on a level plane; with it (a fit by vertical residuals
  // does not turn with the cloud) only their shape and relief are checked.
  for (const double noise : {0.0, 0.5}) {
    for (const double offset : {0.0, 1e6}) {
      PlaneCloud cloud{0.3, -0.2, 5.0};
      cloud.offset_x = 0.5 * offset;
      cloud.offset_y = 4.0 * offset;
      cloud.noise = noise;
      check_levelling(cloud, kPoints);
    }
  }
}

TEST(RigidLevellingTest, AboutTheOriginThePlaneEndsAtItsDistanceFromTheOrigin) {
  const CloudPoints on_plane(PlaneCloud{-0.5, 0.25, 12.0}, 100);
  const RigidLevelling levelling = rigid_levelling(-0.5, 0.25, {0.0, 0.0, 0.0});
  std::vector<double> x(100), y(100), z(100);
  level_points(levelling, 100, on_plane.x.data(), on_plane.y.data(), on_plane.z.data(),
               x.data(), y.data(), z.data());
  const double height = 12.0 / std::sqrt(1.0 + 0.25 + 0.0625);
  for (size_t i = 0; i < 100; ++i) {
    EXPECT_NEAR(height, z[i], 1e-12) << i;
  }
  // The plane's unit normal turns onto the z axis, without the pivot.
  const double n = std::sqrt(1.0 + 0.25 + 0.0625);
  double nx = 0.5 / n, ny = -0.25 / n, nz = 1.0 / n;
  turn_directions(levelling, 1, &nx, &ny, &nz, &nx, &ny, &nz);
  EXPECT_NEAR(0.0, nx, 1e-15);
  EXPECT_NEAR(0.0, ny, 1e-15);
  EXPECT_NEAR(1.0, nz, 1e-15);
}

// The slopes of the level plane turned about x by ax, then about y by ay (as the demonstration
// turns its points): the normal (0, 0, 1) becomes (cos ax sin ay, -sin ax, cos ax cos ay).
void tilted_slopes(double ax, double ay, double *a, double *b) {
  const double nx = std::cos(ax) * std::sin(ay), ny = -std::sin(ax);
  const double nz = std::cos(ax) * std::cos(ay);
  *a = -nx / nz;
  *b = -ny / nz;
}

TEST(LevellingAnglesTest, TiltsComeBackAndBeyondAQuarterTurnFoldBack) {
  const double inside[][2] = {{10, 20},  {-30, 45},   {1e-7, -2e-7}, {0, 0},
                              {89.9, 5}, {-60, -89.5}, {45, 45}};
  for (const auto &tilt : inside) {
    double a, b, angle_y, angle_x;
    tilted_slopes(tilt[0] * kDegree, tilt[1] * kDegree, &a, &b);
    levelling_angles(a, b, &angle_y, &angle_x);
    EXPECT_NEAR(tilt[0], angle_x / kDegree, 1e-9) << tilt[0] << " " << tilt[1];
    EXPECT_NEAR(tilt[1], angle_y / kDegree, 1e-9) << tilt[0] << " " << tilt[1];
  }
  // Beyond a quarter turn: angles inside (-90, 90) degrees that make the same plane.
  const double beyond[][2] = {{120, 0}, {30, 100}, {-135, -160}, {170, 95}};
  for (const auto &tilt : beyond) {
    double a, b, angle_y, angle_x, a2, b2;
    tilted_slopes(tilt[0] * kDegree, tilt[1] * kDegree, &a, &b);
    levelling_angles(a, b, &angle_y, &angle_x);
    EXPECT_LT(std::fabs(angle_x), kPi / 2);
    EXPECT_LT(std::fabs(angle_y), kPi / 2);
    tilted_slopes(angle_x, angle_y, &a2, &b2);
    EXPECT_NEAR(a, a2, 1e-12 * (1.0 + std::fabs(a))) << tilt[0] << " " << tilt[1];
    EXPECT_NEAR(b, b2, 1e-12 * (1.0 + std::fabs(b))) << tilt[0] << " " << tilt[1];
  }
}

}  // namespace
}  // namespace levelling
