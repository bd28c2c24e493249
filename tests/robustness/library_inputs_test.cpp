// The library functions on random, extreme and non-finite coefficients and on every kind of
// point count: nothing is written outside the caller's arrays (guard elements around every
// output stay as they were), and inputs are allocated at exactly the size the count allows, so
// that AddressSanitizer reports any read beyond them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "linalg/matrix.h"
#include "plane/plane_fit.h"
#include "plane/solver.h"
#include "projection/level_projection.h"

namespace levelling {
namespace {

constexpr int kGuard = 8;
constexpr float kCanary = -1234.5f;
constexpr int kTrials = 200;

// An output array of `size` floats with kGuard canaries on each side.
class GuardedOutput {
 public:
  explicit GuardedOutput(int size) : storage_(size_t(size + 2 * kGuard), kCanary) {}
  float *data() { return storage_.data() + kGuard; }
  float at(int i) const { return storage_[size_t(kGuard + i)]; }
  bool guards_intact() const {
    const size_t size = storage_.size();
    for (size_t i = 0; i < size_t(kGuard); ++i) {
      if (storage_[i] != kCanary || storage_[size - 1 - i] != kCanary) {
        return false;
      }
    }
    return true;
  }

 private:
  std::vector<float> storage_;
};

// Values of every kind: ordinary, tiny, huge, infinite and NaN.
class HostileValues {
 public:
  explicit HostileValues(uint32_t seed) : generator_(seed) {}

  float next() {
    static const float kSpecial[] = {
        0.0f, -0.0f, 1.0f, -1.0f, 1e-40f, -1e-40f, 1e30f, -1e30f,
        std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
        std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
        std::numeric_limits<float>::quiet_NaN()};
    constexpr uint32_t kSpecialCount = sizeof kSpecial / sizeof kSpecial[0];
    const uint32_t pick = generator_() % (2 * kSpecialCount);
    if (pick < kSpecialCount) {
      return kSpecial[pick];
    }
    // An ordinary value in (-1000, 1000).
    return float(int32_t(generator_() % 2000001u) - 1000000) / 1000.0f;
  }

  // `n` values on the heap, exactly n of them.
  std::unique_ptr<float[]> array(int n) {
    std::unique_ptr<float[]> values(new float[size_t(n)]);
    for (int i = 0; i < n; ++i) {
      values[size_t(i)] = next();
    }
    return values;
  }

 private:
  std::mt19937 generator_;
};

struct Count {
  float count;
  int points;  // how many points the count stands for
};

const Count kCounts[] = {
    {0.0f, 0},  {1.0f, 1},   {2.0f, 2},    {2.5f, 2},   {3.0f, 3},  {3.99f, 3},
    {6.0f, 6},  {6.7f, 6},   {17.0f, 17},  {-1.0f, 0},  {-0.5f, 0}, {-1e30f, 0},
    {std::numeric_limits<float>::quiet_NaN(), 0}, {-std::numeric_limits<float>::infinity(), 0},
};

TEST(LibraryInputsTest, SolverStaysInsideItsMatrixAndUnknowns) {
  HostileValues values(1);
  for (int trial = 0; trial < kTrials; ++trial) {
    const int n = trial % 7 - 1;  // -1 to 5 unknowns
    const int rows = n + 1 > 0 ? n + 1 : 0;
    const int cols = n > 0 ? n : 0;
    Matrix aug = matrix_alloc(rows, cols);
    for (int r = 0; r < rows; ++r) {
      for (int c = 0; c < cols; ++c) {
        aug[r][c] = values.next();
      }
    }
    GuardedOutput x(cols);
    const int solved = solve_linear_system(aug, n, x.data());
    EXPECT_TRUE(x.guards_intact()) << "trial " << trial;
    if (solved == 0) {
      for (int i = 0; i < cols; ++i) {
        EXPECT_EQ(kCanary, x.at(i)) << "a singular system wrote x[" << i << "]";
      }
    }
    matrix_free(rows, aug);
  }
}

TEST(LibraryInputsTest, FitReadsOnlyTheCountedPointsAndFailsBelowThree) {
  HostileValues values(2);
  for (const Count &count : kCounts) {
    for (int trial = 0; trial < kTrials / 10; ++trial) {
      const auto xs = values.array(count.points);
      const auto ys = values.array(count.points);
      const auto zs = values.array(count.points);
      GuardedOutput a(1), b(1), c(1);
      const int fitted = fit_plane_least_squares(a.data(), b.data(), c.data(), count.count,
                                                 xs.get(), ys.get(), zs.get());
      EXPECT_TRUE(a.guards_intact() && b.guards_intact() && c.guards_intact());
      // Below three points it fails with zeros; from three on it reports success, with zeros
      // too when the system was singular.
      EXPECT_EQ(count.points < kMinimumPlanePoints ? 0 : 1, fitted) << "count " << count.count;
      if (count.points < kMinimumPlanePoints) {
        EXPECT_EQ(0.0f, a.at(0));
        EXPECT_EQ(0.0f, b.at(0));
        EXPECT_EQ(0.0f, c.at(0));
      }
    }
  }
}

TEST(LibraryInputsTest, ProjectionWritesExactlyTheCountedPoints) {
  HostileValues values(3);
  for (const Count &count : kCounts) {
    for (int trial = 0; trial < kTrials / 10; ++trial) {
      const auto xs = values.array(count.points);
      const auto ys = values.array(count.points);
      GuardedOutput out_x(count.points), out_y(count.points), out_z(count.points);
      GuardedOutput angle_y(1), angle_x(1);
      const bool centre = trial % 2 == 1;
      level_plane_projection(xs.get(), ys.get(), count.count, out_x.data(), out_y.data(),
                             out_z.data(), values.next(), values.next(), values.next(),
                             angle_y.data(), angle_x.data(), centre);
      EXPECT_TRUE(out_x.guards_intact() && out_y.guards_intact() && out_z.guards_intact())
          << "count " << count.count << ", trial " << trial;
      EXPECT_TRUE(angle_y.guards_intact() && angle_x.guards_intact());
      EXPECT_NE(kCanary, angle_y.at(0)) << "angle about y not written";
      EXPECT_NE(kCanary, angle_x.at(0)) << "angle about x not written";
    }
  }
}

}  // namespace
}  // namespace levelling
