// PTX scans: read into the world by each scan's transform, levelled by their transforms with
// every point line kept, converted to and from the other formats; damaged files refused.
#include "formats/ptx/ptx_cloud.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "formats/core/cloud_stream.h"
#include "tests/support/cloud_files.h"

namespace levelling {
namespace {

// A scan's header lines as a scanner writes them: columns, rows, position, axes, transform.
std::string header(int columns, int rows, const std::string &position, const std::string &axes,
                   const std::string &transform) {
  return std::to_string(columns) + "\n" + std::to_string(rows) + "\n" + position + "\n" + axes +
         "\n" + transform + "\n";
}

// Scan A: a quarter turn about z, then (10, 20, 30): [x y z 1] * M puts (1, 2, 3) at
// (-2 + 10, 1 + 20, 3 + 30). Scan B: where it stands, one point without a return (0 0 0).
const std::string kTurned =
    header(2, 1, "10 20 30", "0 1 0\n-1 0 0\n0 0 1", "0 1 0 0\n-1 0 0 0\n0 0 1 0\n10 20 30 1");
const std::string kIdentity =
    header(1, 2, "0 0 0", "1 0 0\n0 1 0\n0 0 1", "1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1");
const std::string kPointsA = "1 2 3 0.25 10 20 30\n4.5 0 -1 0.5 40 50 60\n";
const std::string kPointsB = "7 8 9 1 70 80 90\n0 0 0 0.5 0 0 0\n";
const std::string kTwoScans = kTurned + kPointsA + kIdentity + kPointsB;

// A quarter turn about x, then (1, -2, 0.5): (x, y, z) -> (x + 1, -z - 2, y + 0.5).
constexpr double kMotion[4][4] = {{1, 0, 0, 1}, {0, 0, -1, -2}, {0, 1, 0, 0.5}, {0, 0, 0, 1}};

// The lines of a text from line `first` (1 for the first) on.
std::vector<std::string> lines_from(const std::string &text, size_t first) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  size_t number = 0;
  for (std::string line; std::getline(in, line);) {
    if (++number >= first) {
      lines.push_back(line);
    }
  }
  return lines;
}

TEST(PtxCloudTest, ScansAreReadIntoTheWorldByTheirTransforms) {
  const test::Streamed read = test::stream_bytes(kTwoScans, CloudFormat::kText, 0.0, 4);
  ASSERT_EQ(StreamFault::kNone, read.result.fault) << read.result.message;
  EXPECT_EQ(CloudFormat::kPtx, read.result.format);
  ASSERT_EQ(4u, read.x.size());
  const double expected[3][3] = {{8, 21, 33}, {10, 24.5, 29}, {7, 8, 9}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_DOUBLE_EQ(expected[i][0], read.x[i]) << i;
    EXPECT_DOUBLE_EQ(expected[i][1], read.y[i]) << i;
    EXPECT_DOUBLE_EQ(expected[i][2], read.z[i]) << i;
  }
  // No return: an empty point in its place.
  EXPECT_TRUE(std::isnan(read.x[3]) && std::isnan(read.y[3]) && std::isnan(read.z[3]));
  // As text: the world's coordinates, the intensity and colour of each line.
  EXPECT_EQ("# x y z intensity red green blue\n8 21 33 0.25 10 20 30\n",
            read.output.substr(0, read.output.find('\n', read.output.find('\n') + 1) + 1));
}

TEST(PtxCloudTest, LevelledPtxKeepsItsPointLinesAndMovesItsScans) {
  StreamResult result;
  const std::string levelled = test::stream_moved(kTwoScans, CloudFormat::kPtx, kMotion, &result);
  ASSERT_EQ(StreamFault::kNone, result.fault) << result.message;
  // Every point line as it was, each scan's ten header lines before its points.
  const std::vector<std::string> in = lines_from(kTwoScans, 1), out = lines_from(levelled, 1);
  ASSERT_EQ(in.size(), out.size());
  for (const size_t line : {10, 11, 22, 23}) {
    EXPECT_EQ(in[line], out[line]) << line;
  }
  // The levelled file puts each point where the motion took it: (8, 21, 33) at (9, -35, 21.5).
  const test::Streamed again = test::stream_bytes(levelled, CloudFormat::kPtx);
  ASSERT_EQ(StreamFault::kNone, again.result.fault) << again.result.message;
  const double expected[3][3] = {{9, -35, 21.5}, {11, -31, 25}, {8, -11, 8.5}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_NEAR(expected[i][0], again.x[i], 1e-12) << i;
    EXPECT_NEAR(expected[i][1], again.y[i], 1e-12) << i;
    EXPECT_NEAR(expected[i][2], again.z[i], 1e-12) << i;
  }
  EXPECT_TRUE(std::isnan(again.x[3]));
  // The scanner moved with its scan: scan A's position (10, 20, 30) to (11, -32, 20.5), its
  // axes turned (x's (0, 1, 0) to (0, 0, 1)).
  EXPECT_EQ("11 -32 20.5", out[2]);
  EXPECT_EQ("0 0 1", out[3]);
  // Lines ended by CR LF keep their ends, the scans' header lines take them.
  std::string crlf;
  for (const std::string &line : in) {
    crlf += line + "\r\n";
  }
  const std::string levelled_crlf = test::stream_moved(crlf, CloudFormat::kPtx, kMotion, &result);
  ASSERT_EQ(StreamFault::kNone, result.fault) << result.message;
  size_t bare = 0;
  for (size_t at = 0; (at = levelled_crlf.find('\n', at)) != std::string::npos; ++at) {
    bare += at == 0 || levelled_crlf[at - 1] != '\r' ? 1 : 0;
  }
  EXPECT_EQ(0u, bare);
  EXPECT_EQ(levelled.size() + in.size(), levelled_crlf.size());  // a CR a line, nothing else
}

TEST(PtxCloudTest, ConvertsToOtherFormatsAndFromThem) {
  // From PLY: one scan of every point, 16-bit intensity as a fraction, colours kept.
  const std::vector<test::Column> columns = {
      {"x", PlyType::kFloat64, {1.5, -2, 3}},     {"y", PlyType::kFloat64, {0, 1, 2}},
      {"z", PlyType::kFloat64, {5, 6, 7.25}},     {"intensity", PlyType::kUint16, {0, 65535, 13107}},
      {"red", PlyType::kUint8, {1, 2, 255}},     {"green", PlyType::kUint8, {4, 5, 6}},
      {"blue", PlyType::kUint8, {7, 8, 9}}};
  const test::Streamed ptx = test::stream_bytes(
      test::ply_bytes(PlyEncoding::kBinaryLittleEndian, columns), CloudFormat::kPtx, 0.0, 3);
  ASSERT_EQ(StreamFault::kNone, ptx.result.fault) << ptx.result.message;
  const std::vector<std::string> lines = lines_from(ptx.output, 1);
  EXPECT_EQ((std::vector<std::string>{"3", "1", "0 0 0", "1 0 0", "0 1 0", "0 0 1", "1 0 0 0",
                                      "0 1 0 0", "0 0 1 0", "0 0 0 1"}),
            std::vector<std::string>(lines.begin(), lines.begin() + 10));
  EXPECT_EQ((std::vector<std::string>{"1.5 0 5 0 1 4 7", "-2 1 6 1 2 5 8", "3 2 7.25 0.2 255 6 9"}),
            lines_from(ptx.output, 11));
  // To PLY and back to PTX: the points, their intensities and colours.
  const test::Streamed ply = test::stream_bytes(ptx.output, CloudFormat::kPlyAscii, 0.0, 3);
  ASSERT_EQ(StreamFault::kNone, ply.result.fault) << ply.result.message;
  EXPECT_NE(std::string::npos, ply.output.find("property float intensity\nproperty uchar red\n"));
  const test::Streamed back = test::stream_bytes(ply.output, CloudFormat::kPtx, 0.0, 3);
  ASSERT_EQ(StreamFault::kNone, back.result.fault) << back.result.message;
  EXPECT_EQ(ptx.output, back.output);
}

TEST(PtxCloudTest, BadFilesSayWhatIsWrong) {
  const struct {
    std::string input;
    const char *message;
  } cases[] = {
      // (A file is PTX by its first scan's header: the damage comes after it.)
      {kTurned + kPointsA + kIdentity.substr(0, 16),
       "truncated: the file ends inside a PTX scan's header"},
      {kTurned + "1 2 3 0.5\n", "truncated: the file ends at point 2 of a scan's 2"},
      {"2\n-1\n" + kTurned.substr(4), "line 2: a PTX scan's row count that is no count: '-1'"},
      {kTurned + kPointsA + kIdentity.substr(0, 4) + "1 2\n" + kIdentity.substr(10),
       "line 15: a PTX scan's header line 3 holds 3 numbers, not 2"},
      {kTurned + "1 2 3 0.5 1\n", "line 11: a PTX point of 5 values (x y z intensity, and r g b)"},
      {kTurned + "1 2 3 0.5\n1 2 3 0.5 1 2 3\n", "line 12: a PTX point of 7 values after points of 4"},
      {kTurned + "1 2 3 0.5 256 0 0\n", "line 11: a colour that is no integer from 0 to 255"},
      {kTurned + "1 2 inf 0.5\n", "line 11: a PTX point's value that is no finite number"},
      {kTurned + std::string(70000, '1') + "\n", "line 11: longer than 64 KiB"},
  };
  for (const auto &each : cases) {
    const test::Streamed read = test::stream_bytes(each.input, CloudFormat::kPtx);
    EXPECT_EQ(StreamFault::kMalformed, read.result.fault) << each.message;
    EXPECT_EQ(each.message, read.result.message);
  }
}

}  // namespace
}  // namespace levelling
