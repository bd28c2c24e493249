#include "plane/plane_detection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "plane/local_spread.h"
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
  point_sample_add(&sample, 0, int64_t(scene.size()), scene.x.data(), scene.y.data(),
                   scene.z.data());
  point_sample_finish(&sample);
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

// The sample of `x` (its index as its value, every `empty`th point empty) split at `cuts`:
// each part sampled alone, then merged, as files, blocks or workers would.
PointSample sample_in_parts(const std::vector<double> &x, const std::vector<int64_t> &cuts,
                            uint64_t seed) {
  const std::vector<double> zero(x.size(), 0.0);
  PointSample whole;
  point_sample_start(&whole, kDefaultSampleSize, seed);
  int64_t first = 0;
  for (size_t c = 0; c <= cuts.size(); ++c) {
    const int64_t end = c < cuts.size() ? cuts[c] : int64_t(x.size());
    PointSample part;
    point_sample_start(&part, kDefaultSampleSize, seed);
    point_sample_add(&part, first, end - first, &x[size_t(first)], zero.data(), zero.data());
    point_sample_merge(&whole, part);
    first = end;
  }
  point_sample_finish(&whole);
  return whole;
}

TEST(PointSampleTest, TheSameSampleHoweverTheCloudIsSplitAndUniform) {
  // 10^6 points, x their index, every tenth one empty.
  constexpr int64_t kPoints = 1000000;
  std::vector<double> x(kPoints);
  for (int64_t i = 0; i < kPoints; ++i) {
    x[size_t(i)] = i % 10 == 3 ? std::nan("") : double(i);
  }
  const PointSample whole = sample_in_parts(x, {}, 7);
  EXPECT_EQ(kPoints - kPoints / 10, whole.seen);
  ASSERT_EQ(kDefaultSampleSize, whole.x.size());
  std::vector<int64_t> eight, blocks, uneven;
  for (int k = 1; k < 8; ++k) {
    eight.push_back(kPoints * k / 8);
  }
  for (int64_t at = 4096; at < kPoints; at += 4096) {
    blocks.push_back(at);
  }
  for (int64_t at = 1, piece = 1; at < kPoints; piece = piece * 3 + 1, at += piece) {
    uneven.push_back(at);
  }
  const struct {
    const char *what;
    std::vector<int64_t> cuts;
  } splits[] = {{"eight files", eight}, {"blocks of 4096", blocks}, {"growing pieces", uneven}};
  for (const auto &split : splits) {
    const PointSample parts = sample_in_parts(x, split.cuts, 7);
    EXPECT_EQ(whole.x, parts.x) << split.what;
    EXPECT_EQ(whole.seen, parts.seen) << split.what;
  }
  int tenths[10] = {};
  for (double each : whole.x) {
    ASSERT_FALSE(std::isnan(each));
    ++tenths[int(each) / (kPoints / 10)];
  }
  const double expected = double(kDefaultSampleSize) / 10;
  for (int tenth : tenths) {
    EXPECT_NEAR(expected, tenth, 5 * std::sqrt(expected));  // five standard deviations
  }
  EXPECT_NE(whole.x, sample_in_parts(x, {}, 8).x);
  // Fewer points than the sample holds: all of them.
  const PointSample small = sample_in_parts({0, 1, 2, 3, 4}, {2}, 7);
  std::vector<double> kept = small.x;
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(std::vector<double>({0, 1, 2, 3, 4}), kept);
}

TEST(PointSampleTest, CandidatesAreTheRecordsAFullReadSamples) {
  // Records 5000 to 105000 of a cloud; no empty ones: the first round is the sample.
  constexpr int64_t kFirst = 5000, kRecords = 100000;
  std::vector<double> x(size_t(kFirst + kRecords));
  for (size_t i = 0; i < x.size(); ++i) {
    x[i] = double(i);
  }
  const PointSample full = sample_in_parts(x, {kFirst}, 3);
  std::vector<int64_t> sampled;
  for (int64_t index : full.index) {
    if (index >= kFirst) {
      sampled.push_back(index);
    }
  }
  PointSample range;
  point_sample_start(&range, kDefaultSampleSize, 3);
  point_sample_add(&range, kFirst, kRecords, &x[kFirst], x.data(), x.data());
  std::vector<int64_t> candidates;
  point_sample_candidates(3, kFirst, kRecords, kDefaultSampleSize, 0, -1, &candidates);
  std::vector<int64_t> indices = range.index;
  std::sort(indices.begin(), indices.end());
  EXPECT_EQ(indices, candidates);
  // A second round after the largest: the next keys, none taken twice.
  point_sample_finish(&range);
  std::vector<int64_t> next;
  point_sample_candidates(3, kFirst, kRecords, 100, range.key.back(), range.index.back(), &next);
  ASSERT_EQ(100u, next.size());
  for (int64_t index : next) {
    EXPECT_FALSE(std::binary_search(candidates.begin(), candidates.end(), index)) << index;
    EXPECT_LT(range.key.back(), point_sample_key(3, index));
  }
  // The whole cloud's sample takes from the range only among its candidates.
  ASSERT_FALSE(sampled.empty());
  for (int64_t index : sampled) {
    EXPECT_TRUE(std::binary_search(candidates.begin(), candidates.end(), index)) << index;
  }
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

TEST(LocalSpreadTest, TellsACurvedSurfaceFromANoisyOne) {
  // Within a 0.1 band about z = 0: ground falling away from a flat core (3 mm of noise) spreads
  // its distances across the band, but each point lies within its noise of its neighbours; a
  // flat patch's noise (3 mm, then 2 cm) is both spreads.
  const double up[3] = {0.0, 0.0, 1.0};
  const Scene curved = test::flat_core_scene();
  std::mt19937_64 random(3);
  Scene flat, rough;
  test::add_patch(&flat, &random, 20000, {0, 0, 0}, {10, 0, 0}, {0, 10, 0}, 0.003);
  test::add_patch(&rough, &random, 20000, {0, 0, 0}, {10, 0, 0}, {0, 10, 0}, 0.02);
  const struct {
    const char *what;
    const Scene &scene;
    double low, high;
  } cases[] = {{"a flat core", curved, 0.002, 0.0045},
               {"a flat patch", flat, 0.0025, 0.0033},
               {"a rough patch", rough, 0.017, 0.022}};
  for (const auto &each : cases) {
    const double spread = local_spread(each.scene.x.data(), each.scene.y.data(),
                                       each.scene.z.data(), each.scene.size(), up, 0.0, 0.1);
    EXPECT_GT(spread, each.low) << each.what;
    EXPECT_LT(spread, each.high) << each.what;
  }
  // The curved ground's distances spread far wider than its noise.
  std::vector<double> distances;
  for (double z : curved.z) {
    if (std::fabs(z) <= 0.1) {
      distances.push_back(std::fabs(z));
    }
  }
  std::nth_element(distances.begin(), distances.begin() + long(distances.size() / 2),
                   distances.end());
  EXPECT_GT(1.4826 * distances[distances.size() / 2], 0.01);
  // Too few points in the band, or all of them on a line: no spread to tell.
  EXPECT_EQ(0.0, local_spread(flat.x.data(), flat.y.data(), flat.z.data(), 10, up, 0.0, 0.1));
  const std::vector<double> along(100, 0.0), line = [] {
    std::vector<double> values(100);
    for (size_t i = 0; i < values.size(); ++i) {
      values[i] = double(i);
    }
    return values;
  }();
  EXPECT_EQ(0.0, local_spread(line.data(), along.data(), along.data(), 100, up, 0.0, 0.1));
}

}  // namespace
}  // namespace levelling
