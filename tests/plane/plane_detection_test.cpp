#include "plane/plane_detection.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "plane/orthogonal_fit.h"
#include "tests/support/scenes.h"

namespace levelling {
namespace {

using test::kRadiansPerDegree;
using test::Scene;
using test::turned;

PointSample sample_of(const Scene &scene, uint64_t seed = 1) {
  PointSample sample;
  point_sample_start(&sample, kDefaultSampleSize, seed);
  point_sample_add(&sample, int64_t(scene.size()), scene.x.data(), scene.y.data(),
                   scene.z.data());
  return sample;
}

// The degrees between the detected normal and the true normal of the scene's known plane
// (the orthogonal fit of its points), the sign counted: an upside-down normal is 180 off.
double degrees_off(const DetectedPlane &found, const Scene &scene) {
  CloudFit fit;
  for (size_t i : scene.plane) {
    cloud_fit_add(&fit, 1, &scene.x[i], &scene.y[i], &scene.z[i]);
  }
  const OrthogonalPlane truth = orthogonal_fit(fit);
  double dot = 0.0;
  for (int k = 0; k < 3; ++k) {
    dot += found.normal[k] * truth.normal[k];
  }
  return std::acos(std::fmin(1.0, std::fabs(dot))) / kRadiansPerDegree;
}

TEST(PointSampleTest, UniformWhateverThePiecesAndTheSameForTheSameSeed) {
  // 10^6 points, x their index: each tenth of the stream holds a tenth of the sample.
  constexpr int64_t kPoints = 1000000;
  std::vector<double> x(kPoints), zero(kPoints, 0.0);
  for (int64_t i = 0; i < kPoints; ++i) {
    x[size_t(i)] = double(i);
  }
  PointSample whole, pieces;
  point_sample_start(&whole, kDefaultSampleSize, 7);
  point_sample_add(&whole, kPoints, x.data(), zero.data(), zero.data());
  point_sample_start(&pieces, kDefaultSampleSize, 7);
  for (int64_t first = 0, piece = 1; first < kPoints; first += piece, piece = piece * 3 + 1) {
    const int64_t n = std::min(piece, kPoints - first);
    point_sample_add(&pieces, n, &x[size_t(first)], zero.data(), zero.data());
  }
  EXPECT_EQ(kPoints, whole.seen);
  ASSERT_EQ(kDefaultSampleSize, whole.x.size());
  EXPECT_EQ(whole.x, pieces.x);
  int tenths[10] = {};
  for (double each : whole.x) {
    ++tenths[int(each) / (kPoints / 10)];
  }
  const double expected = double(kDefaultSampleSize) / 10;
  for (int tenth : tenths) {
    EXPECT_NEAR(expected, tenth, 5 * std::sqrt(expected));  // five standard deviations
  }
  PointSample other;
  point_sample_start(&other, kDefaultSampleSize, 8);
  point_sample_add(&other, kPoints, x.data(), zero.data(), zero.data());
  EXPECT_NE(whole.x, other.x);
  // Fewer points than the sample holds: all of them, in order.
  PointSample small;
  point_sample_start(&small, kDefaultSampleSize, 7);
  point_sample_add(&small, 5, x.data(), zero.data(), zero.data());
  EXPECT_EQ(std::vector<double>(x.begin(), x.begin() + 5), small.x);
}

struct SceneCase {
  const char *what;
  Scene scene;
  DetectionOptions options;
};

DetectionOptions options_with(double max_tilt_degrees, bool any = false,
                              const double (&up)[3] = {0, 0, 1}) {
  DetectionOptions options;
  options.max_tilt = max_tilt_degrees * kRadiansPerDegree;
  options.any_orientation = any;
  for (int k = 0; k < 3; ++k) {
    options.up[k] = up[k];
  }
  return options;
}

TEST(PlaneDetectionTest, FindsTheKnownPlaneOfEveryScene) {
  const SceneCase cases[] = {
      {"a room tilted a few degrees", turned(test::room_scene(), 2.5, -1.5), options_with(45)},
      {"walls with three times the floor's points",
       turned(test::room_scene(3.0, 4.0, 1.5), -3, 2), options_with(45)},
      {"terrain with roofs and trees, georeferenced",
       turned(test::terrain_scene(), 0.8, 0.5, {512345, 4012345, 120}), options_with(45)},
      // Without walls: turned 60 degrees about x, a wall would stand 30 degrees from up.
      {"a floor at 60 degrees", turned(test::room_scene(3.0, 4.0, 0.0), 60, 0), options_with(70)},
      // Any orientation: the floor must be the largest plane.
      {"an upside-down room", turned(test::room_scene(3.0, 4.0, 0.6), 177, 2),
       options_with(45, true)},
      {"a camera frame, up -y", turned(test::room_scene(), 90 + 35, 3),
       options_with(50, false, {0, -1, 0})},
  };
  for (const SceneCase &each : cases) {
    const DetectedPlane found = detect_plane(sample_of(each.scene), each.options);
    ASSERT_EQ(DetectionStatus::kFound, found.status) << each.what;
    EXPECT_LT(degrees_off(found, each.scene), 0.05) << each.what;
    // Oriented up: the scene's other points (walls, table, roofs) lie above the plane.
    double above = 0.0;
    for (size_t i = 0; i < each.scene.size(); ++i) {
      above += found.normal[0] * each.scene.x[i] + found.normal[1] * each.scene.y[i] +
               found.normal[2] * each.scene.z[i] - found.offset;
    }
    EXPECT_GT(above, 0.0) << each.what;
    EXPECT_GT(found.share, 0.1) << each.what;
    EXPECT_GT(found.threshold, 0.0) << each.what;
  }
}

TEST(PlaneDetectionTest, AutomaticThresholdFollowsTheNoiseInAnyUnits) {
  // The same room in metres and in millimetres: thresholds a thousand times apart, a few times
  // the 3 mm noise.
  const Scene metres = turned(test::room_scene(), 1, 1);
  Scene millimetres = metres;
  for (std::vector<double> *column : {&millimetres.x, &millimetres.y, &millimetres.z}) {
    for (double &each : *column) {
      each *= 1000.0;
    }
  }
  const DetectedPlane m = detect_plane(sample_of(metres), options_with(45));
  const DetectedPlane mm = detect_plane(sample_of(millimetres), options_with(45));
  EXPECT_GT(m.threshold, 0.006);
  EXPECT_LT(m.threshold, 0.02);
  EXPECT_NEAR(1000.0, mm.threshold / m.threshold, 1.0);
  DetectionOptions given = options_with(45);
  given.threshold = 0.05;
  EXPECT_EQ(0.05, detect_plane(sample_of(metres), given).threshold);
}

TEST(PlaneDetectionTest, SaysWhenNoPlaneWithinTheLimitHoldsTheCloud) {
  // A floor at 60 degrees (with a table and a box): named with its tilt and share.
  const DetectedPlane steep = detect_plane(
      sample_of(turned(test::room_scene(3.0, 4.0, 0.0), 60, 0)), options_with(45));
  EXPECT_EQ(DetectionStatus::kNoPlaneInLimit, steep.status);
  EXPECT_NEAR(60.0, steep.outside_tilt / kRadiansPerDegree, 0.5);
  EXPECT_NEAR(6000.0 / 7600, steep.outside_share, 0.05);  // floor, table, box: 7600

  // A wall with 1 mm noise: no floor by default, levelled with the limit at 90 degrees.
  Scene wall;
  std::mt19937_64 random(2);
  test::add_patch(&wall, &random, 20000, {0, 0, 0}, {5, 0, 0}, {0, 0, 3}, 0.001, true);
  const DetectedPlane refused = detect_plane(sample_of(wall), options_with(45));
  EXPECT_EQ(DetectionStatus::kNoPlaneInLimit, refused.status);
  EXPECT_NEAR(90.0, refused.outside_tilt / kRadiansPerDegree, 0.1);
  EXPECT_NEAR(1.0, refused.outside_share, 0.05);
  const DetectedPlane levelled = detect_plane(sample_of(wall), options_with(90));
  ASSERT_EQ(DetectionStatus::kFound, levelled.status);
  EXPECT_LT(degrees_off(levelled, wall), 0.01);

  // Noise in a cube holds no plane.
  Scene noise;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int i = 0; i < 20000; ++i) {
    noise.x.push_back(unit(random));
    noise.y.push_back(unit(random));
    noise.z.push_back(unit(random));
  }
  EXPECT_EQ(DetectionStatus::kNoPlane, detect_plane(sample_of(noise), options_with(45)).status);
  EXPECT_EQ(DetectionStatus::kTooFewPoints, detect_plane(sample_of(Scene()), options_with(45)).status);
}

TEST(PlaneDetectionTest, SameSampleAndSeedSamePlaneBitForBit) {
  const Scene scene = turned(test::terrain_scene(), 1, 1, {512345, 4012345, 0});
  const DetectedPlane a = detect_plane(sample_of(scene), options_with(45));
  const DetectedPlane b = detect_plane(sample_of(scene), options_with(45));
  EXPECT_EQ(0, std::memcmp(a.normal, b.normal, sizeof a.normal));
  EXPECT_EQ(a.offset, b.offset);
  EXPECT_EQ(a.threshold, b.threshold);
}

TEST(PlaneBandTest, RefitTakesOnlyTheBandsPoints) {
  const Scene scene = turned(test::room_scene(), 2, 3, {100, 200, 300});
  const DetectedPlane found = detect_plane(sample_of(scene), options_with(45));
  PlaneBand band;
  for (int k = 0; k < 3; ++k) {
    band.normal[k] = found.normal[k];
  }
  band.offset = found.offset;
  band.threshold = found.threshold;
  CloudFit fit;
  const int64_t taken = plane_band_fit_add(&fit, band, int64_t(scene.size()), scene.x.data(),
                                           scene.y.data(), scene.z.data());
  EXPECT_EQ(taken, fit.count);
  // Nearly every floor point, and few others (the walls' feet).
  EXPECT_GT(double(taken), 0.97 * double(scene.plane.size()));
  EXPECT_LT(double(taken), 1.03 * double(scene.plane.size()));
  const PointSample sample = sample_of(scene);
  EXPECT_EQ(0.0, plane_band_changes(sample, band, band));
  PlaneBand moved = band;
  moved.offset += 10 * band.threshold;
  EXPECT_GT(plane_band_changes(sample, band, moved), 0.9);
}

}  // namespace
}  // namespace levelling
