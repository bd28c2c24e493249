// Throughput of the plane fits, the levelling projection and the rigid levelling on large point
// sets, each beside a floor: one pass that reads the same input arrays and writes as much
// output, the least any function of those inputs and outputs must cost. Points per second are
// reported as items_per_second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "plane/cloud_fit.h"
#include "plane/plane_fit.h"
#include "projection/level_projection.h"
#include "projection/rigid_levelling.h"

namespace {

constexpr int64_t kFewest = 1000;
constexpr int64_t kMost = 10000000;
constexpr int kSizeStep = 10;

// The tilted plane the points lie near.
constexpr float kSlopeX = 0.3f;
constexpr float kSlopeY = -0.2f;
constexpr float kHeight = 5.0f;

struct PointArrays {
  std::vector<float> x, y, z;
};

// n points scattered over a 1000 x 1000 square, lying within 0.01 of the tilted plane.
PointArrays points_near_plane(int64_t n) {
  std::mt19937 generator(7);
  const auto unit = [&generator] { return float(generator()) / 4294967296.0f; };
  PointArrays points;
  points.x.resize(size_t(n));
  points.y.resize(size_t(n));
  points.z.resize(size_t(n));
  for (size_t i = 0; i < size_t(n); ++i) {
    points.x[i] = 1000.0f * unit() - 500.0f;
    points.y[i] = 1000.0f * unit() - 500.0f;
    points.z[i] = kSlopeX * points.x[i] + kSlopeY * points.y[i] + kHeight + 0.02f * unit() - 0.01f;
  }
  return points;
}

void BM_FitPlaneLeastSquares(benchmark::State &state) {
  const PointArrays points = points_near_plane(state.range(0));
  const float count = float(state.range(0));
  for (auto _ : state) {
    float a, b, c;
    levelling::fit_plane_least_squares(&a, &b, &c, count, points.x.data(), points.y.data(),
                                       points.z.data());
    benchmark::DoNotOptimize(a);
    benchmark::DoNotOptimize(b);
    benchmark::DoNotOptimize(c);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void level(benchmark::State &state, bool centre) {
  const PointArrays points = points_near_plane(state.range(0));
  const float count = float(state.range(0));
  std::vector<float> out_x(size_t(state.range(0))), out_y(out_x.size()), out_z(out_x.size());
  for (auto _ : state) {
    float angle_y, angle_x;
    levelling::level_plane_projection(points.x.data(), points.y.data(), count, out_x.data(),
                                      out_y.data(), out_z.data(), kSlopeX, kSlopeY, kHeight,
                                      &angle_y, &angle_x, centre);
    benchmark::DoNotOptimize(out_z.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_LevelPlaneProjection(benchmark::State &state) { level(state, false); }
void BM_LevelPlaneProjectionCentred(benchmark::State &state) { level(state, true); }

// Reads x and y once and writes three output arrays, as the projection does.
void BM_FloorOfProjection(benchmark::State &state) {
  const PointArrays points = points_near_plane(state.range(0));
  const size_t n = size_t(state.range(0));
  std::vector<float> out_x(n), out_y(n), out_z(n);
  for (auto _ : state) {
    for (size_t i = 0; i < n; ++i) {
      out_x[i] = points.x[i];
      out_y[i] = points.y[i];
      out_z[i] = kSlopeX * points.x[i] + kSlopeY * points.y[i] + kHeight;
    }
    benchmark::DoNotOptimize(out_z.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The same points in double, as the cloud functions take them.
struct CloudArrays {
  std::vector<double> x, y, z;
  explicit CloudArrays(const PointArrays &points)
      : x(points.x.begin(), points.x.end()), y(points.y.begin(), points.y.end()),
        z(points.z.begin(), points.z.end()) {}
};

void BM_CloudFit(benchmark::State &state) {
  const CloudArrays points(points_near_plane(state.range(0)));
  for (auto _ : state) {
    levelling::CloudFit fit;
    levelling::cloud_fit_add(&fit, state.range(0), points.x.data(), points.y.data(),
                             points.z.data());
    levelling::CloudPlane plane = levelling::cloud_fit_solve(fit);
    benchmark::DoNotOptimize(plane);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Reads x, y and z once (floats, or the doubles the cloud fit takes) and writes three values,
// as the fits do.
template <typename Arrays, typename Value>
void floor_of_fit(benchmark::State &state) {
  const Arrays points(points_near_plane(state.range(0)));
  const size_t n = size_t(state.range(0));
  for (auto _ : state) {
    double sx = 0.0, sy = 0.0, sz = 0.0;
    for (size_t i = 0; i < n; ++i) {
      sx += points.x[i];
      sy += points.y[i];
      sz += points.z[i];
    }
    Value out[3] = {Value(sx), Value(sy), Value(sz)};
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_FloorOfFit(benchmark::State &state) { floor_of_fit<PointArrays, float>(state); }
void BM_FloorOfCloudFit(benchmark::State &state) { floor_of_fit<CloudArrays, double>(state); }

void BM_LevelPoints(benchmark::State &state) {
  const CloudArrays points(points_near_plane(state.range(0)));
  std::vector<double> out_x(points.x.size()), out_y(out_x.size()), out_z(out_x.size());
  const levelling::RigidLevelling levelling =
      levelling::rigid_levelling(kSlopeX, kSlopeY, {0.0, 0.0, kHeight});
  for (auto _ : state) {
    levelling::level_points(levelling, state.range(0), points.x.data(), points.y.data(),
                            points.z.data(), out_x.data(), out_y.data(), out_z.data());
    benchmark::DoNotOptimize(out_z.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Reads x, y and z in double once and writes three double arrays, as the rigid levelling does.
void BM_FloorOfLevelPoints(benchmark::State &state) {
  const CloudArrays points(points_near_plane(state.range(0)));
  const size_t n = size_t(state.range(0));
  std::vector<double> out_x(n), out_y(n), out_z(n);
  for (auto _ : state) {
    for (size_t i = 0; i < n; ++i) {
      out_x[i] = points.x[i];
      out_y[i] = points.y[i];
      out_z[i] = points.z[i] - kHeight;
    }
    benchmark::DoNotOptimize(out_z.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

#define LEVELLING_AT_SCALE(benchmark_function)                                    \
  BENCHMARK(benchmark_function)->RangeMultiplier(kSizeStep)->Range(kFewest, kMost) \
      ->Unit(benchmark::kMicrosecond)

LEVELLING_AT_SCALE(BM_FitPlaneLeastSquares);
LEVELLING_AT_SCALE(BM_FloorOfFit);
LEVELLING_AT_SCALE(BM_LevelPlaneProjection);
LEVELLING_AT_SCALE(BM_LevelPlaneProjectionCentred);
LEVELLING_AT_SCALE(BM_FloorOfProjection);
LEVELLING_AT_SCALE(BM_CloudFit);
LEVELLING_AT_SCALE(BM_FloorOfCloudFit);
LEVELLING_AT_SCALE(BM_LevelPoints);
LEVELLING_AT_SCALE(BM_FloorOfLevelPoints);

}  // namespace

BENCHMARK_MAIN();
