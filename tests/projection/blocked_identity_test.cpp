// The block-wise projection and the row-wise product give, bit for bit, what the straightforward
// forms give: every element summed alone in one matrix of all the points. The straightforward
// forms are kept here, as they stood before the points were levelled in blocks, with the NaN
// that each operation keeps when both of its operands are NaN spelled out (a compiler may
// otherwise pick either): a sum's NaN over the term added, B's over A's in the product, a
// coordinate's over a slope's in the lifted height.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "linalg/matrix.h"
#include "linalg/point_count.h"
#include "projection/level_projection.h"

namespace levelling {
namespace {

constexpr int kSide = 4;
constexpr int kBlock = 512;  // the projection's block of points
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kHuge = 3.0e38f;
constexpr float kDenormal = 1.0e-40f;

// A rows x cols matrix as one row-major vector, with row pointers into it (set afresh each
// time, so the values may be replaced as a whole).
struct Dense {
  Dense(int rows, int columns)
      : cols(columns), values(size_t(rows) * size_t(columns)), pointers(size_t(rows)) {}
  Matrix matrix() {
    for (size_t r = 0; r < pointers.size(); ++r) {
      pointers[r] = values.data() + r * size_t(cols);
    }
    return pointers.data();
  }
  int cols;
  std::vector<float> values;
  std::vector<float *> pointers;
};

double first_nan_product(double kept, double other) {
  return std::isnan(kept) ? kept : kept * other;
}
double first_nan_sum(double kept, double other) { return std::isnan(kept) ? kept : kept + other; }

// The product one element at a time: j inside i, the sum over k innermost.
void reference_multiply(int rows, int inner, int cols, ConstMatrix a, ConstMatrix b, Matrix c) {
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) {
      double sum = 0.0;
      for (int k = 0; k < inner; ++k) {
        sum = first_nan_sum(sum, first_nan_product(b[k][j], a[i][k]));
      }
      c[i][j] = float(sum);
    }
  }
}

float reference_lifted_z(float x, float y, float a, float b, float c) {
  return float(first_nan_sum(
      first_nan_sum(first_nan_product(x, a), first_nan_product(y, b)), c));
}

struct Projected {
  std::vector<float> x, y, z;
  float angle_y = 0.0f;
  float angle_x = 0.0f;
};

// The levelling projection over one 4 x m matrix of all the points.
Projected reference_projection(const std::vector<float> &xs, const std::vector<float> &ys,
                               float a, float b, float c, bool centre) {
  const int m = int(xs.size());
  Dense lifted(kSide, m), centred(kSide, m), turned_y(kSide, m), levelled(kSide, m),
      restored(kSide, m);
  for (int i = 0; i < m; ++i) {
    lifted.matrix()[0][i] = xs[size_t(i)];
    lifted.matrix()[1][i] = ys[size_t(i)];
    lifted.matrix()[2][i] = reference_lifted_z(xs[size_t(i)], ys[size_t(i)], a, b, c);
    lifted.matrix()[3][i] = 1.0f;
  }
  float mx = 0.0f, my = 0.0f, mz = 0.0f;
  if (m > 0) {
    double sum_x = 0.0, sum_y = 0.0, sum_z = 0.0;
    for (int i = 0; i < m; ++i) {
      sum_x = first_nan_sum(sum_x, lifted.matrix()[0][i]);
      sum_y = first_nan_sum(sum_y, lifted.matrix()[1][i]);
      sum_z = first_nan_sum(sum_z, lifted.matrix()[2][i]);
    }
    const float stored_sum_y = float(sum_y);
    const float stored_sum_z = float(sum_z);
    mx = float(sum_x / m);
    my = float(stored_sum_y / double(m));
    mz = float(stored_sum_z / double(m));
  }
  Dense to_centroid(kSide, kSide), about_y(kSide, kSide), about_x(kSide, kSide),
      from_centroid(kSide, kSide);
  to_centroid.values = {1, 0, 0, -mx, 0, 1, 0, -my, 0, 0, 1, -mz, 0, 0, 0, 1};
  from_centroid.values = {1, 0, 0, mx, 0, 1, 0, my, 0, 0, 1, mz, 0, 0, 0, 1};
  if (centre) {
    reference_multiply(kSide, kSide, m, to_centroid.matrix(), lifted.matrix(), centred.matrix());
  }
  Projected out;
  const float unit_z[] = {0.0f, 0.0f, 1.0f};
  const float normal_xz[] = {-a, 0.0f, 1.0f};
  const float norm_k = float(vector_norm(3, unit_z));
  const float norm_xz = float(vector_norm(3, normal_xz));
  double theta_y = std::acos(1.0 / (double(norm_k) * norm_xz));
  if (a > 0.0f) {
    theta_y = -theta_y;
  }
  out.angle_y = float(theta_y);
  const double cos_y = std::cos(double(out.angle_y));
  const double sin_y = std::sin(double(out.angle_y));
  about_y.values = {float(cos_y), 0, float(-sin_y), 0, 0, 1, 0, 0,
                    float(sin_y), 0, float(cos_y),  0, 0, 0, 0, 1};
  reference_multiply(kSide, kSide, m, about_y.matrix(),
                     centre ? centred.matrix() : lifted.matrix(), turned_y.matrix());
  ConstMatrix r1 = about_y.matrix();
  const float ny = float(((double(-a) * r1[1][0] + double(-b) * r1[1][1]) + r1[1][3]) + r1[1][2]);
  const float nz = float(((double(-a) * r1[2][0] + double(-b) * r1[2][1]) + r1[2][3]) + r1[2][2]);
  const float normal_yz[] = {0.0f, ny, nz};
  const float norm_yz = float(vector_norm(3, normal_yz));
  double theta_x = std::acos(double(nz) / (double(norm_k) * norm_yz));
  if (b < 0.0f) {
    theta_x = -theta_x;
  }
  out.angle_x = float(theta_x);
  const double cos_x = std::cos(double(out.angle_x));
  const double sin_x = std::sin(double(out.angle_x));
  about_x.values = {1, 0, 0, 0, 0, float(cos_x), float(sin_x), 0,
                    0, float(-sin_x), float(cos_x), 0, 0, 0, 0, 1};
  reference_multiply(kSide, kSide, m, about_x.matrix(), turned_y.matrix(), levelled.matrix());
  if (centre) {
    reference_multiply(kSide, kSide, m, from_centroid.matrix(), levelled.matrix(),
                       restored.matrix());
  }
  ConstMatrix result = centre ? restored.matrix() : levelled.matrix();
  out.x.assign(result[0], result[0] + m);
  out.y.assign(result[1], result[1] + m);
  out.z.assign(result[2], result[2] + m);
  return out;
}

// Values that a product or a projection must carry through exactly as the straightforward form.
const float kHostile[] = {kNaN, -kNaN, kInf, -kInf, kHuge, -kHuge, kDenormal, -kDenormal,
                          0.0f, -0.0f, 1.0f, -1.0e-30f};

// Random values, with one in `hostile_one_in` drawn from kHostile (never when 0).
std::vector<float> random_values(std::mt19937 &generator, size_t n, int hostile_one_in) {
  std::uniform_real_distribution<float> ordinary(-1000.0f, 1000.0f);
  std::vector<float> values(n);
  for (float &value : values) {
    value = ordinary(generator);
    if (hostile_one_in > 0 && generator() % unsigned(hostile_one_in) == 0) {
      value = kHostile[generator() % (sizeof kHostile / sizeof kHostile[0])];
    }
  }
  return values;
}

bool same_bits(const std::vector<float> &expected, const float *actual) {
  return expected.empty() ||
         std::memcmp(expected.data(), actual, expected.size() * sizeof(float)) == 0;
}

TEST(BlockedIdentityTest, ProductMatchesTheElementByElementSumForEveryShape) {
  std::mt19937 generator(11);
  // Inner sizes about the unrolled 4 and the widened limit; widths about the column chunk.
  for (int inner : {0, 1, 3, 4, 5, 8, 9, 17}) {
    for (int cols : {1, 4, 15, 16, 17, 33, 1025}) {
      for (int hostile_one_in : {0, 7}) {
        const int rows = 1 + int(generator() % 5);
        Dense a(rows, inner), b(inner, cols), expected(rows, cols), actual(rows, cols);
        a.values = random_values(generator, a.values.size(), hostile_one_in);
        b.values = random_values(generator, b.values.size(), hostile_one_in);
        reference_multiply(rows, inner, cols, a.matrix(), b.matrix(), expected.matrix());
        matrix_multiply(rows, inner, cols, a.matrix(), b.matrix(), actual.matrix());
        EXPECT_TRUE(same_bits(expected.values, actual.values.data()))
            << rows << " x " << inner << " x " << cols << ", hostile 1 in " << hostile_one_in;
      }
    }
  }
}

struct PlaneCase {
  float a, b, c;
};

TEST(BlockedIdentityTest, ProjectionMatchesOneMatrixOfAllThePoints) {
  std::mt19937 generator(5);
  std::uniform_real_distribution<float> slope(-3.0f, 3.0f);
  std::vector<PlaneCase> planes = {{0.3f, -0.2f, 5.0f},       {-1.5f, 2.5f, -40.0f},
                                   {kNaN, 0.1f, 1.0f},        {0.2f, kInf, 1.0f},
                                   {0.1f, 0.2f, -kInf},       {kHuge, -kHuge, kHuge},
                                   {kDenormal, -kDenormal, kDenormal}, {-0.0f, 0.0f, -0.0f}};
  for (int i = 0; i < 4; ++i) {
    planes.push_back({slope(generator), slope(generator), 100.0f * slope(generator)});
  }
  const int counts[] = {0, 1, 3, kBlock - 1, kBlock, kBlock + 1, 3 * kBlock + 17, 100000};
  for (int count : counts) {
    for (const PlaneCase &plane : planes) {
      for (int hostile_one_in : {0, 50}) {
        for (bool centre : {false, true}) {
          const std::vector<float> xs = random_values(generator, size_t(count), hostile_one_in);
          const std::vector<float> ys = random_values(generator, size_t(count), hostile_one_in);
          const Projected expected = reference_projection(xs, ys, plane.a, plane.b, plane.c,
                                                          centre);
          const size_t n = size_t(count);
          std::vector<float> x(n), y(n), z(n);
          float angle_y = 0.0f, angle_x = 0.0f;
          level_plane_projection(xs.data(), ys.data(), float(count), x.data(), y.data(),
                                 z.data(), plane.a, plane.b, plane.c, &angle_y, &angle_x, centre);
          const std::string where = "count " + std::to_string(count) + ", plane " +
                                    std::to_string(plane.a) + " " + std::to_string(plane.b) +
                                    " " + std::to_string(plane.c) + ", hostile 1 in " +
                                    std::to_string(hostile_one_in) + (centre ? ", centred" : "");
          EXPECT_TRUE(same_bits(expected.x, x.data())) << where;
          EXPECT_TRUE(same_bits(expected.y, y.data())) << where;
          EXPECT_TRUE(same_bits(expected.z, z.data())) << where;
          EXPECT_EQ(0, std::memcmp(&expected.angle_y, &angle_y, sizeof angle_y)) << where;
          EXPECT_EQ(0, std::memcmp(&expected.angle_x, &angle_x, sizeof angle_x)) << where;
        }
      }
    }
  }
}

TEST(BlockedIdentityTest, ProjectionInPlaceMatchesSeparateOutputs) {
  // The outputs may be the input arrays themselves: x and y levelled where they lie.
  std::mt19937 generator(3);
  for (bool centre : {false, true}) {
    std::vector<float> xs = random_values(generator, 3 * kBlock + 5, 0);
    std::vector<float> ys = random_values(generator, xs.size(), 0);
    const Projected expected = reference_projection(xs, ys, 0.4f, -0.7f, 3.0f, centre);
    std::vector<float> z(xs.size());
    float angle_y, angle_x;
    level_plane_projection(xs.data(), ys.data(), float(xs.size()), xs.data(), ys.data(),
                           z.data(), 0.4f, -0.7f, 3.0f, &angle_y, &angle_x, centre);
    EXPECT_TRUE(same_bits(expected.x, xs.data())) << centre;
    EXPECT_TRUE(same_bits(expected.y, ys.data())) << centre;
    EXPECT_TRUE(same_bits(expected.z, z.data())) << centre;
  }
}

}  // namespace
}  // namespace levelling
