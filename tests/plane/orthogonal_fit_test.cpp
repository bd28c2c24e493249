#include "plane/orthogonal_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "tests/support/scenes.h"

namespace levelling {
namespace {

using test::kRadiansPerDegree;
using test::Scene;

OrthogonalPlane fit_of(const Scene &scene) {
  CloudFit fit;
  cloud_fit_add(&fit, int64_t(scene.size()), scene.x.data(), scene.y.data(), scene.z.data());
  return orthogonal_fit(fit);
}

// The angle in degrees between two directions, either sign.
double degrees_between(const double (&a)[3], const double (&b)[3]) {
  const double dot = std::fabs(a[0] * b[0] + a[1] * b[1] + a[2] * b[2]);
  return std::acos(std::fmin(1.0, dot / std::sqrt((a[0] * a[0] + a[1] * a[1] + a[2] * a[2]) *
                                                  (b[0] * b[0] + b[1] * b[1] + b[2] * b[2])))) /
         kRadiansPerDegree;
}

// A square patch 10 wide about (0, 0, 0) in the plane with the given normal, Gaussian noise
// `noise` along the normal, shifted by `shift`.
Scene patch(const double (&normal)[3], double noise, int n, const double (&shift)[3]) {
  // Two directions in the plane.
  const double helper[3] = {std::fabs(normal[0]) < 0.9 ? 1.0 : 0.0,
                            std::fabs(normal[0]) < 0.9 ? 0.0 : 1.0, 0.0};
  double u[3] = {normal[1] * helper[2] - normal[2] * helper[1],
                 normal[2] * helper[0] - normal[0] * helper[2],
                 normal[0] * helper[1] - normal[1] * helper[0]};
  const double lu = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
  for (double &each : u) {
    each *= 10.0 / lu;
  }
  double v[3] = {normal[1] * u[2] - normal[2] * u[1], normal[2] * u[0] - normal[0] * u[2],
                 normal[0] * u[1] - normal[1] * u[0]};
  const double corner[3] = {shift[0] - 0.5 * (u[0] + v[0]), shift[1] - 0.5 * (u[1] + v[1]),
                            shift[2] - 0.5 * (u[2] + v[2])};
  std::mt19937_64 random(3);
  Scene scene;
  test::add_patch(&scene, &random, n, corner, u, v, noise);
  return scene;
}

struct Orientation {
  const char *what;
  double normal[3];
  double noise;
  double shift[3];
  double tolerance_degrees;
};

TEST(OrthogonalFitTest, EveryOrientationComesBackVerticalAndSteepIncluded) {
  const double s85 = std::sin(85 * kRadiansPerDegree), c85 = std::cos(85 * kRadiansPerDegree);
  const Orientation cases[] = {
      {"level, far from the origin", {0, 0, 1}, 0.01, {512345, 4012345, 300}, 1e-3},
      {"tilted", {0.3, -0.2, 0.9}, 0.01, {0, 0, 0}, 1e-3},
      // A fit by vertical residuals gives 81.9 degrees here.
      {"85 degrees, noise 0.2", {s85, 0, c85}, 0.2, {0, 0, 0}, 0.05},
      {"a wall", {0.6, 0.8, 0}, 0.001, {10, 20, 30}, 1e-3},
      {"a wall facing x", {1, 0, 0}, 0.001, {0, 0, 0}, 1e-3},
      {"upside down", {0.1, 0.1, -1}, 0.01, {0, 0, 0}, 1e-3},
  };
  for (const Orientation &each : cases) {
    const Scene scene = patch(each.normal, each.noise, 100000, each.shift);
    const OrthogonalPlane plane = fit_of(scene);
    ASSERT_EQ(OrthogonalFitStatus::kFitted, plane.status) << each.what;
    EXPECT_LT(degrees_between(plane.normal, each.normal), each.tolerance_degrees) << each.what;
    EXPECT_NEAR(1.0, std::hypot(plane.normal[0], plane.normal[1], plane.normal[2]), 1e-12);
    EXPECT_GE(plane.normal[2], 0.0) << each.what;
    // The plane passes through the centroid, and the rms is the noise's deviation.
    EXPECT_NEAR(plane.offset,
                plane.normal[0] * plane.centroid[0] + plane.normal[1] * plane.centroid[1] +
                    plane.normal[2] * plane.centroid[2],
                1e-9 * (1 + std::fabs(plane.offset)));
    EXPECT_NEAR(each.noise, plane.rms, 0.05 * each.noise) << each.what;
    if (each.normal[2] != 0.0) {
      EXPECT_TRUE(plane.has_slopes) << each.what;
    }
  }
}

TEST(OrthogonalFitTest, TurnsWithTheCloudNoiseIncluded) {
  Scene scene = test::room_scene();
  const OrthogonalPlane before = fit_of(scene);
  test::turn_scene(&scene, 0.7, -1.1, {1000, -2000, 50});
  const OrthogonalPlane after = fit_of(scene);
  // The normal turned by the same turn: about x, then about y.
  const double cx = std::cos(0.7), sx = std::sin(0.7), cy = std::cos(-1.1), sy = std::sin(-1.1);
  const double *n = before.normal;
  const double y1 = cx * n[1] - sx * n[2], z1 = sx * n[1] + cx * n[2];
  const double turned[3] = {cy * n[0] + sy * z1, y1, -sy * n[0] + cy * z1};
  EXPECT_LT(degrees_between(after.normal, turned), 1e-9);
  EXPECT_NEAR(before.rms, after.rms, 1e-9 * before.rms);
}

TEST(OrthogonalFitTest, TheRmsOfFewPointsIsTheirDistance) {
  // Four points 0.1 above and below z = 0 by turns: the plane z = 0, each 0.1 from it.
  const double x[] = {0, 1, 0, 1}, y[] = {0, 0, 1, 1}, z[] = {0.1, -0.1, -0.1, 0.1};
  CloudFit fit;
  cloud_fit_add(&fit, 4, x, y, z);
  const OrthogonalPlane plane = orthogonal_fit(fit);
  ASSERT_EQ(OrthogonalFitStatus::kFitted, plane.status);
  EXPECT_NEAR(1.0, std::fabs(plane.normal[2]), 1e-12);
  EXPECT_NEAR(0.1, plane.rms, 1e-12);
  // Three points: a plane through them, at no distance.
  CloudFit three;
  cloud_fit_add(&three, 3, x, y, z);
  EXPECT_NEAR(0.0, orthogonal_fit(three).rms, 1e-8);  // the square root of rounding
}

TEST(OrthogonalFitTest, DegenerateCloudsSayWhy) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Scene line, far_point, one_place;
  for (int i = 0; i < 1000; ++i) {
    line.x.push_back(1e6 + 0.37 * i);
    line.y.push_back(4e6 - 0.11 * i);
    line.z.push_back(100.0 + 0.05 * i);
    one_place.x.push_back(7);
    one_place.y.push_back(2);
    one_place.z.push_back(1);
    // A plane 1 wide with one point on it 10^5 away: still a plane, not a line.
    far_point.x.push_back(i == 0 ? 1e5 : (i % 31) / 31.0);
    far_point.y.push_back(i == 0 ? 0 : (i % 37) / 37.0);
    far_point.z.push_back(0.0);
  }
  const struct {
    const char *what;
    Scene scene;
    OrthogonalFitStatus status;
  } cases[] = {
      {"two points", {{0, 1}, {0, 1}, {0, 1}, {}, {}}, OrthogonalFitStatus::kTooFewPoints},
      {"one place", one_place, OrthogonalFitStatus::kCollinear},
      {"a line", line, OrthogonalFitStatus::kCollinear},
      {"a far point on a plane", far_point, OrthogonalFitStatus::kFitted},
      {"a NaN", {{0, 1, 0}, {0, 0, nan}, {0, 1, 2}, {}, {}}, OrthogonalFitStatus::kNonFinite},
      {"squares beyond double", {{0, 1e200, 0}, {0, 0, 1e200}, {0, 1, 2}, {}, {}},
       OrthogonalFitStatus::kNonFinite},
  };
  for (const auto &each : cases) {
    const OrthogonalPlane plane = fit_of(each.scene);
    EXPECT_EQ(each.status, plane.status) << each.what;
    EXPECT_EQ(int64_t(each.scene.size()), plane.count) << each.what;
  }
  // Finite coordinates near 1e80 still fit.
  Scene huge = patch({0, 0, 1}, 0.0, 100, {0, 0, 0});
  for (double *column : {huge.x.data(), huge.y.data(), huge.z.data()}) {
    for (size_t i = 0; i < huge.size(); ++i) {
      column[i] *= 1e80;
    }
  }
  EXPECT_EQ(OrthogonalFitStatus::kFitted, fit_of(huge).status);
}

TEST(OrthogonalFitTest, EigenDecompositionOfKnownMatrices) {
  // diag(1, 3, 2) turned by 30 degrees about z: values 3, 2, 1 whatever the turn.
  const double c = std::cos(kRadiansPerDegree * 30), s = std::sin(kRadiansPerDegree * 30);
  const double m[3][3] = {{c * c * 1 + s * s * 3, c * s * (3 - 1), 0}, {0, s * s * 1 + c * c * 3, 0},
                          {0, 0, 2}};
  double values[3], vectors[3][3];
  symmetric_eigen_3x3(m, values, vectors);
  EXPECT_NEAR(3.0, values[0], 1e-14);
  EXPECT_NEAR(2.0, values[1], 1e-14);
  EXPECT_NEAR(1.0, values[2], 1e-14);
  // The eigenvector of 1 is (c, -s, 0) (either sign); of 2, the z axis.
  EXPECT_NEAR(1.0, std::fabs(vectors[0][2] * c - vectors[1][2] * s), 1e-14);
  EXPECT_NEAR(1.0, std::fabs(vectors[2][1]), 1e-14);
  // A tiny eigenvalue beside large ones keeps its relative accuracy.
  const double flat[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1e-12}};
  symmetric_eigen_3x3(flat, values, vectors);
  EXPECT_EQ(1e-12, values[2]);
}

}  // namespace
}  // namespace levelling
