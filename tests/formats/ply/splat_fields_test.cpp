// Gaussian splats streamed with a motion, under the sanitizers too: every colour seen from every
// direction kept, orientations composed, the other properties' bytes as they were.
#include "formats/ply/splat_fields.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "formats/core/moved_fields.h"
#include "formats/core/ply_values.h"
#include "projection/rigid_levelling.h"
#include "tests/support/cloud_files.h"

namespace levelling {
namespace {

constexpr int kSplats = 40, kRest = 45, kDirections = 300;
constexpr double kFloatTolerance = 2e-5;
// A turn that moves every axis: rows of an orthonormal matrix, and a shift.
constexpr double kTurn[4][4] = {
    {0.36, 0.48, -0.8, 5}, {-0.8, 0.6, 0, -2}, {0.48, 0.64, 0.6, 1}, {0, 0, 0, 1}};

// Property names in file order: position, colour terms, opacity, scales, rotation.
std::vector<test::Column> splat_columns() {
  std::vector<std::string> names = {"x", "y", "z", "f_dc_0", "f_dc_1", "f_dc_2"};
  for (int i = 0; i < kRest; ++i) {
    names.push_back("f_rest_" + std::to_string(i));
  }
  for (const char *name : {"opacity", "scale_0", "scale_1", "scale_2", "rot_0", "rot_1",
                           "rot_2", "rot_3"}) {
    names.push_back(name);
  }
  std::vector<test::Column> columns;
  unsigned seed = 12345;
  for (const std::string &name : names) {
    test::Column column{name, PlyType::kFloat32, {}};
    for (int i = 0; i < kSplats; ++i) {
      seed = seed * 1103515245u + 12345u;
      column.values.push_back(double(float((seed >> 8) % 2001) / 1000.0f - 1.0f));
    }
    columns.push_back(column);
  }
  return columns;
}

double value(const std::string &bytes, size_t header, size_t record, int splat, int property) {
  return load_ply_value(PlyType::kFloat32, false,
                        bytes.data() + header + size_t(splat) * record + size_t(property) * 4);
}

TEST(SplatFieldsTest, ColoursOrientationsAndKeptBytesOfALevelledSplat) {
  const std::vector<test::Column> columns = splat_columns();
  const std::string input = test::ply_bytes(PlyEncoding::kBinaryLittleEndian, columns);
  StreamOptions options;
  options.write.motion = kTurn;
  StreamResult result;
  std::vector<size_t> empties;
  std::vector<double> kept;
  const std::string output = test::stream_through(
      input, CloudFormat::kPlyBinaryLittleEndian, options,
      [&](PointBlock *block) { move_block(kTurn, block, &empties, &kept); }, &result);
  ASSERT_EQ(StreamFault::kNone, result.fault) << result.message;
  ASSERT_EQ(input.size(), output.size());
  const size_t record = columns.size() * 4, header = input.size() - kSplats * record;
  const int rest = 6, rotation = 6 + kRest + 4;
  for (int s = 0; s < kSplats; ++s) {
    // f_dc, opacity and scales: byte for byte.
    for (int p : {3, 4, 5, 6 + kRest, 7 + kRest, 8 + kRest, 9 + kRest}) {
      const size_t at = header + size_t(s) * record + size_t(p) * 4;
      EXPECT_EQ(0, std::memcmp(input.data() + at, output.data() + at, 4)) << s << " " << p;
    }
    double q[4], turned[4];
    for (int k = 0; k < 4; ++k) {
      q[k] = value(input, header, record, s, rotation + k);
    }
    turn_orientation(kTurn, q, turned);
    for (int k = 0; k < 4; ++k) {
      EXPECT_NEAR(turned[k], value(output, header, record, s, rotation + k), kFloatTolerance);
    }
    // Each channel's colour along d before is its colour along R d after.
    for (int channel = 0; channel < 3; ++channel) {
      double before[15], after[15];
      for (int c = 0; c < 15; ++c) {
        before[c] = value(input, header, record, s, rest + channel * 15 + c);
        after[c] = value(output, header, record, s, rest + channel * 15 + c);
      }
      for (int i = 0; i < kDirections; ++i) {
        const double z = 1.0 - (2.0 * i + 1.0) / kDirections, r = std::sqrt(1.0 - z * z);
        const double d[3] = {r * std::cos(2.4 * i), r * std::sin(2.4 * i), z};
        double turned_d[3];
        for (int k = 0; k < 3; ++k) {
          turned_d[k] = kTurn[k][0] * d[0] + kTurn[k][1] * d[1] + kTurn[k][2] * d[2];
        }
        EXPECT_NEAR(splat_rest_colour(3, before, d), splat_rest_colour(3, after, turned_d),
                    kFloatTolerance * 10)
            << s << " " << channel << " " << i;
      }
    }
  }
}

TEST(SplatFieldsTest, SplatsWhoseColoursCannotBeTurnedAreRefused) {
  std::vector<test::Column> columns = splat_columns();
  columns.erase(columns.begin() + 6 + 44);  // f_rest_44: 44 of them, no degree's count
  const std::string input = test::ply_bytes(PlyEncoding::kBinaryLittleEndian, columns);
  // Read (to fit it) it is fine; written turned it is refused.
  EXPECT_EQ(StreamFault::kNone, test::stream_bytes(input, CloudFormat::kText).result.fault);
  StreamOptions turned;
  turned.write.motion = kTurn;
  const test::Streamed streamed =
      test::stream_bytes(input, CloudFormat::kPlyBinaryLittleEndian, 0.0, -1, turned);
  EXPECT_EQ(StreamFault::kUnsupported, streamed.result.fault);
  EXPECT_NE(std::string::npos, streamed.result.message.find("44 f_rest"))
      << streamed.result.message;
}

}  // namespace
}  // namespace levelling
