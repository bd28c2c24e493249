// PCD clouds: every kind of data comes through byte for byte, converts to the others exactly,
// moves its sensor with its points, and converts to and from the other formats.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "formats/core/cloud_stream.h"
#include "tests/support/cloud_files.h"

namespace levelling {
namespace {

using test::Column;
using test::stream_bytes;
using test::Streamed;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// An organised 2 x 2 cloud: one empty pixel, normals, a packed colour with alpha, an intensity,
// a feature of three values, a signed label and a double.
std::vector<Column> organised_columns() {
  return {{"x", PlyType::kFloat32, {0.5, kNaN, 1.5, -2.25}},
          {"y", PlyType::kFloat32, {1.0, kNaN, 2.0, 3.5}},
          {"z", PlyType::kFloat32, {3.0, kNaN, 3.25, 2.75}},
          {"normal_x", PlyType::kFloat32, {0.0, kNaN, 0.6, 0.0}},
          {"normal_y", PlyType::kFloat32, {0.6, kNaN, 0.0, 0.0}},
          {"normal_z", PlyType::kFloat32, {0.8, kNaN, 0.8, 1.0}},
          {"rgba", PlyType::kUint32, {4278255360.0, 0.0, 4294967295.0, 16909060.0}},
          {"intensity", PlyType::kUint16, {7, 0, 65535, 300}},
          {"fpfh", PlyType::kFloat32, {0.25, 0, 1, 2}},
          {"fpfh", PlyType::kFloat32, {0.5, 0, 3, 4}},
          {"fpfh", PlyType::kFloat32, {0.75, 0, 5, 6}},
          {"label", PlyType::kInt32, {-1, 0, 2147483647, -2147483647}},
          {"curvature", PlyType::kFloat64, {1e-300, 0, 0.1, 2}}};
}

const char *const kKinds[] = {"ascii", "binary", "binary_compressed"};
const CloudFormat kPcdFormats[] = {CloudFormat::kPcdAscii, CloudFormat::kPcdBinary,
                                   CloudFormat::kPcdBinaryCompressed};

TEST(PcdCloudTest, EveryKindOfDataComesThroughAndConvertsExactly) {
  const std::vector<Column> columns = organised_columns();
  for (int from = 0; from < 3; ++from) {
    const std::string input = test::pcd_bytes(kKinds[from], columns, 2);
    for (int to = 0; to < 3; ++to) {
      const Streamed same = stream_bytes(input, kPcdFormats[to]);
      ASSERT_EQ(StreamFault::kNone, same.result.fault) << kKinds[from] << ": " << same.result.message;
      EXPECT_EQ(kPcdFormats[from], same.result.format);
      EXPECT_EQ(4, same.result.points);
      EXPECT_TRUE(same.result.has_normals);
      EXPECT_EQ(test::pcd_bytes(kKinds[to], columns, 2), same.output)
          << kKinds[from] << " to " << kKinds[to];
    }
    // Moved: the points move, the empty one stays empty, every other byte stays.
    const Streamed moved = stream_bytes(input, kPcdFormats[from], 0.25);
    ASSERT_EQ(StreamFault::kNone, moved.result.fault);
    std::vector<Column> expected = columns;
    for (int k = 0; k < 3; ++k) {
      for (double &value : expected[size_t(k)].values) {
        value += 0.25;
      }
    }
    EXPECT_EQ(test::pcd_bytes(kKinds[from], expected, 2), moved.output) << kKinds[from];
    EXPECT_TRUE(std::isnan(moved.x[1]) && std::isnan(moved.y[1]) && std::isnan(moved.z[1]));
  }
}

TEST(PcdCloudTest, OlderHeadersWithoutSomeLinesRead) {
  // Version 0.5: no COUNT, WIDTH, HEIGHT or VIEWPOINT; its fields named by COLUMNS.
  const std::string old = "VERSION .5\nCOLUMNS x y z\nSIZE 4 4 4\nTYPE F F F\nPOINTS 2\n"
                          "DATA ascii\n1 2 3\n4 5 6.5\n";
  const Streamed same = stream_bytes(old, CloudFormat::kPcdAscii);
  ASSERT_EQ(StreamFault::kNone, same.result.fault) << same.result.message;
  EXPECT_EQ(old, same.output);
  EXPECT_EQ(std::vector<double>({3, 6.5}), same.z);
}

TEST(PcdCloudTest, TheSensorMovesWithTheCloud) {
  // A quarter turn about y, then a shift: the sensor at (1, 2, 3), turned a quarter about z,
  // ends at (3 + 10, 2, -1 + 1), turned by both: the rotation [[0 0 1] [1 0 0] [0 1 0]], whose
  // quaternion is (1/2, 1/2, 1/2, 1/2).
  const double motion[4][4] = {{0, 0, 1, 10}, {0, 1, 0, 0}, {-1, 0, 0, 1}, {0, 0, 0, 1}};
  StreamOptions options;
  options.write.motion = motion;
  const std::string input = test::pcd_bytes("binary", test::xyz_columns({0}, {0}, {0}), 1,
                                            "1 2 3 0.70710678118654757 0 0 0.70710678118654757");
  const Streamed moved = stream_bytes(input, CloudFormat::kPcdBinary, 0.0, -1, options);
  ASSERT_EQ(StreamFault::kNone, moved.result.fault) << moved.result.message;
  const size_t at = moved.output.find("VIEWPOINT ");
  ASSERT_NE(std::string::npos, at);
  std::istringstream line(moved.output.substr(at + 10, moved.output.find('\n', at) - at - 10));
  double pose[7];
  for (double &value : pose) {
    ASSERT_TRUE(line >> value);
  }
  const double expected[7] = {13, 2, 0, 0.5, 0.5, 0.5, 0.5};
  for (int v = 0; v < 7; ++v) {
    EXPECT_NEAR(expected[v], pose[v], 1e-15) << v;
  }
}

TEST(PcdCloudTest, ConvertsToTheOtherFormatsAndBackWithoutLoss) {
  // Colours unpacked to bytes and packed again; normals named as each format names them.
  const std::vector<Column> columns = {
      {"x", PlyType::kFloat32, {0.5, 1.5}},       {"y", PlyType::kFloat32, {1.0, 2.0}},
      {"z", PlyType::kFloat32, {3.0, 3.25}},      {"normal_x", PlyType::kFloat32, {0, 0.6}},
      {"normal_y", PlyType::kFloat32, {0.6, 0}},  {"normal_z", PlyType::kFloat32, {0.8, 0.8}},
      {"rgba", PlyType::kUint32, {4278255360.0, 16909060.0}},
      {"intensity", PlyType::kUint16, {7, 300}}};
  const std::string input = test::pcd_bytes("binary", columns);
  const Streamed ply = stream_bytes(input, CloudFormat::kPlyAscii);
  ASSERT_EQ(StreamFault::kNone, ply.result.fault) << ply.result.message;
  EXPECT_NE(std::string::npos,
            ply.output.find("property float nx\nproperty float ny\nproperty float nz\n"
                            "property uchar red\nproperty uchar green\nproperty uchar blue\n"
                            "property uchar alpha\nproperty ushort intensity\n"));
  EXPECT_NE(std::string::npos, ply.output.find("0.5 1 3 0 0.6 0.8 0 255 0 255 7\n"));
  const Streamed back = stream_bytes(ply.output, CloudFormat::kPcdBinary, 0.0, 2);
  ASSERT_EQ(StreamFault::kNone, back.result.fault) << back.result.message;
  EXPECT_NE(std::string::npos,
            back.output.find("FIELDS x y z normal_x normal_y normal_z rgba intensity\n"));
  EXPECT_EQ(input.substr(input.find("DATA")), back.output.substr(back.output.find("DATA")));
  EXPECT_EQ(std::vector<double>({0.8, 0.8}), back.nz);

  const Streamed text = stream_bytes(input, CloudFormat::kText);
  EXPECT_EQ("# x y z nx ny nz red green blue alpha intensity\n"
            "0.5 1 3 0 0.6 0.8 0 255 0 255 7\n1.5 2 3.25 0.6 0 0.8 2 3 4 1 300\n",
            text.output);

  // 64-bit integers are exact in no other format: refused before a byte is written.
  const std::string wide =
      "FIELDS x y z stamp\nSIZE 4 4 4 8\nTYPE F F F U\nCOUNT 1 1 1 1\nWIDTH 1\nHEIGHT 1\n"
      "POINTS 1\nDATA ascii\n1 2 3 18446744073709551615\n";
  const Streamed refused = stream_bytes(wide, CloudFormat::kPlyBinaryLittleEndian);
  EXPECT_EQ(StreamFault::kUnsupported, refused.result.fault);
  EXPECT_EQ("the field stamp holds 64-bit integers, which PLY cannot hold; write PCD instead",
            refused.result.message);
  EXPECT_EQ("", refused.output);
  const Streamed kept = stream_bytes(wide, CloudFormat::kPcdBinary);
  ASSERT_EQ(StreamFault::kNone, kept.result.fault);
  const Streamed again = stream_bytes(kept.output, CloudFormat::kPcdAscii);
  EXPECT_EQ(wide.substr(wide.find("DATA")), again.output.substr(again.output.find("DATA")));
}

TEST(PcdCloudTest, BadFilesSayWhatIsWrong) {
  const std::string head = "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n";
  // Compressed data one byte short of what it was.
  std::string compressed = test::pcd_bytes("binary_compressed", test::xyz_columns({1}, {2}, {3}));
  compressed.pop_back();
  const size_t sizes = compressed.find("DATA binary_compressed\n") + 23;
  compressed[sizes] = char(compressed[sizes] - 1);
  const struct {
    std::string input;
    const char *message;
  } cases[] = {
      {"VERSION 0.7\nSIZE 4\nDATA ascii\n", "the header has no FIELDS"},
      {"FIELDS x y z\nSIZE 4 4\nTYPE F F F\nPOINTS 0\nDATA ascii\n",
       "SIZE has 2 values for 3 fields"},
      {"FIELDS x y z\nSIZE 4 4 2\nTYPE F F F\nPOINTS 0\nDATA ascii\n",
       "field z: TYPE F with SIZE 2 is no PCD type"},
      {"FIELDS x y\nSIZE 4 4\nTYPE F F\nPOINTS 0\nDATA ascii\n", "no field z"},
      {"FIELDS x y z\nTYPE F F F\nPOINTS 0\nDATA ascii\n", "SIZE has 0 values for 3 fields"},
      {head + "WIDTH 3\nHEIGHT 2\nPOINTS 5\nDATA ascii\n", "WIDTH 3 times HEIGHT 2 is not POINTS 5"},
      {head + "POINTS 1\nDATA lzf\n", "line 6: DATA is ascii, binary or binary_compressed"},
      {head + "POINTS 1\nSPEED 3\nDATA ascii\n", "line 6: unknown keyword 'SPEED'"},
      {head + "POINTS 2\nDATA ascii\n1 2 3\n", "truncated: the file ends inside point 2 of 2"},
      {head + "POINTS 1\nDATA ascii\n1 2 3\n4 5 6\n", "line 8: more points than POINTS says"},
      {head + "POINTS 1\nDATA ascii\n1 2 x\n", "line 7: 'x' is not a F 4 value (z)"},
      {head + "POINTS 1\nDATA ascii\n1 inf 3\n", "point 1: y is not a finite number"},
      {head + "POINTS 2\nDATA binary\n" + std::string(20, '\0'),
       "truncated: the file ends inside point 2 of 2"},
      {compressed, "the compressed data does not decompress to POINTS records"},
  };
  for (const auto &each : cases) {
    const Streamed streamed = stream_bytes(each.input, CloudFormat::kPcdBinary);
    EXPECT_NE(StreamFault::kNone, streamed.result.fault) << each.message;
    EXPECT_EQ(each.message, streamed.result.message);
  }
}

}  // namespace
}  // namespace levelling
