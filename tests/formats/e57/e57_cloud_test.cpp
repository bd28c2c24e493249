// E57 files: scans read into the world by their poses (scaled integers, integers, floats,
// spherical coordinates, invalid points), levelled by their poses with every binary byte kept,
// converted to and from the other formats; damaged files refused. The files are built by the
// tests' own E57 builder (tests/support/e57_files.h).
#include "formats/e57/e57_cloud.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/core/cloud_stream.h"
#include "tests/support/cloud_files.h"
#include "tests/support/e57_files.h"

namespace levelling {
namespace {

using test::E57TestField;
using test::E57TestScan;
using test::bits_of;

constexpr double kHalfRoot2 = 0.70710678118654757;  // a quarter turn's quaternion parts
constexpr int64_t kScaledMinimum = -100000;

// Scaled integers of 0.001 in [-100, 100]: 18 bits, crossing bytes.
E57TestField scaled(const char *name, const std::vector<double> &values) {
  E57TestField field{std::string("<") + name +
                         " type=\"ScaledInteger\" minimum=\"-100000\" maximum=\"100000\" "
                         "scale=\"0.001\"/>",
                     18,
                     {}};
  for (const double value : values) {
    field.raw.push_back(uint64_t(std::llround(value * 1000) - kScaledMinimum));
  }
  return field;
}

E57TestField doubles(const char *name, const std::vector<double> &values) {
  E57TestField field{std::string("<") + name + " type=\"Float\"/>", 64, {}};
  for (const double value : values) {
    field.raw.push_back(bits_of(value));
  }
  return field;
}

E57TestField singles(const char *name, const std::vector<float> &values) {
  E57TestField field{std::string("<") + name + " type=\"Float\" precision=\"single\"/>", 32, {}};
  for (const float value : values) {
    field.raw.push_back(bits_of(value));
  }
  return field;
}

// Scan A: a quarter turn about z, then (10, 20, 30): (1, 2, 3) lies at (8, 21, 33) in the world.
const std::string kQuarterTurnPose = test::e57_pose({kHalfRoot2, 0, 0, kHalfRoot2}, {10, 20, 30});

// A quarter turn about x, then (1, -2, 0.5): (x, y, z) -> (x + 1, -z - 2, y + 0.5).
constexpr double kMotion[4][4] = {{1, 0, 0, 1}, {0, 0, -1, -2}, {0, 1, 0, 0.5}, {0, 0, 0, 1}};

TEST(E57CloudTest, ScansAreReadIntoTheWorldByTheirPoses) {
  const E57TestScan posed{
      kQuarterTurnPose,
      {scaled("cartesianX", {1, -0.5, 7}), scaled("cartesianY", {2, 0.25, 7}),
       scaled("cartesianZ", {3, 4, 7}),
       {"<intensity type=\"Integer\" minimum=\"0\" maximum=\"4095\"/>", 12, {100, 200, 4095}},
       {"<cartesianInvalidState type=\"Integer\" minimum=\"0\" maximum=\"2\"/>", 2, {0, 0, 2}}}};
  const float kRightAngle = float(M_PI / 2);
  const E57TestScan spherical{"",
                              {singles("sphericalRange", {2, 1}),
                               singles("sphericalAzimuth", {kRightAngle, 0}),
                               singles("sphericalElevation", {0, kRightAngle})}};
  const std::string file = test::e57_file({posed, spherical});
  const test::Streamed read = test::stream_bytes(file, CloudFormat::kE57);
  ASSERT_EQ(StreamFault::kNone, read.result.fault) << read.result.message;
  EXPECT_EQ(CloudFormat::kE57, read.result.format);
  ASSERT_EQ(5u, read.x.size());
  const double expected[5][3] = {{8, 21, 33}, {9.75, 19.5, 34}, {NAN, NAN, NAN}, {0, 2, 0}, {0, 0, 1}};
  for (size_t i = 0; i < 5; ++i) {
    if (std::isnan(expected[i][0])) {
      EXPECT_TRUE(std::isnan(read.x[i]) && std::isnan(read.y[i]) && std::isnan(read.z[i]));
      continue;
    }
    EXPECT_NEAR(expected[i][0], read.x[i], 1e-6) << i;
    EXPECT_NEAR(expected[i][1], read.y[i], 1e-6) << i;
    EXPECT_NEAR(expected[i][2], read.z[i], 1e-6) << i;
  }
  // The scans hold different fields: no one cloud of another format holds both.
  const test::Streamed ply = test::stream_bytes(file, CloudFormat::kPlyAscii, 0.0, 5);
  EXPECT_EQ(StreamFault::kUnsupported, ply.result.fault);
  EXPECT_EQ("scans whose points hold different fields, which PLY cannot hold; write E57 instead",
            ply.result.message);
}

// The XML without its pose elements.
std::string without_poses(std::string xml) {
  const std::string open = "<pose type=\"Structure\">", close = "</pose>";
  for (size_t at; (at = xml.find(open)) != std::string::npos;) {
    xml.erase(at, xml.find(close, at) + close.size() - at);
  }
  return xml;
}

TEST(E57CloudTest, LevelledE57MovesOnlyItsPoses) {
  const E57TestScan scan{kQuarterTurnPose,
                         {doubles("cartesianX", {1, 4}), doubles("cartesianY", {2, 5}),
                          doubles("cartesianZ", {3, 6})}};
  // An image with a pose, and one written as an empty element (no pose: the identity).
  const std::string image = "<vectorChild type=\"Structure\"><name type=\"String\">photo</name>" +
                            test::e57_pose({1, 0, 0, 0}, {1, 2, 3}) +
                            "</vectorChild><vectorChild type=\"Structure\"/>";
  const std::string file = test::e57_file({scan}, image);
  StreamResult result;
  const std::string levelled = test::stream_moved(file, CloudFormat::kE57, kMotion, &result);
  ASSERT_EQ(StreamFault::kNone, result.fault) << result.message;
  // Whole pages, the header's length their length; every byte between the header and the XML
  // (the points' section) as it was.
  ASSERT_EQ(0u, levelled.size() % 1024);
  uint64_t length = 0;
  std::memcpy(&length, levelled.data() + 16, 8);
  EXPECT_EQ(levelled.size(), length);
  const std::string xml = test::e57_xml_of(file);
  const size_t xml_at = test::e57_logical_bytes(file).find(xml.substr(0, 40));
  EXPECT_EQ(test::e57_logical_bytes(file).substr(48, xml_at - 48),
            test::e57_logical_bytes(levelled).substr(48, xml_at - 48));
  // The XML as it was but for its poses; the first image's moved: (1, 2, 3) to (2, -5, 2.5).
  const std::string moved_xml = test::e57_xml_of(levelled);
  std::string opened = xml;  // (the empty image's element opened to hold its pose)
  opened.replace(opened.find("<vectorChild type=\"Structure\"/>"), 31,
                 "<vectorChild type=\"Structure\"></vectorChild>");
  EXPECT_EQ(without_poses(opened), without_poses(moved_xml));
  EXPECT_NE(std::string::npos,
            moved_xml.find("<translation type=\"Structure\"><x type=\"Float\">2</x><y "
                           "type=\"Float\">-5</y><z type=\"Float\">2.5</z></translation>"));
  // The empty image took the motion itself as its pose, inside its element.
  EXPECT_NE(std::string::npos,
            moved_xml.find("<vectorChild type=\"Structure\"><pose type=\"Structure\">"));
  EXPECT_NE(std::string::npos,
            moved_xml.find("<x type=\"Float\">1</x><y type=\"Float\">-2</y><z "
                           "type=\"Float\">0.5</z></translation></pose></vectorChild>"));
  // Read again, each point is where the motion took it: (8, 21, 33) to (9, -35, 21.5).
  const test::Streamed again = test::stream_bytes(levelled, CloudFormat::kE57);
  ASSERT_EQ(StreamFault::kNone, again.result.fault) << again.result.message;
  const double expected[2][3] = {{9, -35, 21.5}, {6, -38, 24.5}};
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_NEAR(expected[i][0], again.x[i], 1e-12) << i;
    EXPECT_NEAR(expected[i][1], again.y[i], 1e-12) << i;
    EXPECT_NEAR(expected[i][2], again.z[i], 1e-12) << i;
  }
}

TEST(E57CloudTest, ConvertsToOtherFormatsAndBack) {
  // From PLY: doubles, a 16-bit intensity, colours, a normal (a field of this program's own);
  // back to PLY, every value as it was.
  const std::vector<test::Column> columns = {
      {"x", PlyType::kFloat64, {1.5, -2, 3}},      {"y", PlyType::kFloat64, {0, 1e-9, 2}},
      {"z", PlyType::kFloat64, {5, 6, 7.25}},      {"intensity", PlyType::kUint16, {0, 65535, 7}},
      {"red", PlyType::kUint8, {1, 2, 255}},      {"green", PlyType::kUint8, {4, 5, 6}},
      {"blue", PlyType::kUint8, {7, 8, 9}},       {"nx", PlyType::kFloat32, {0.5, -0.25, 1}},
      {"temperature", PlyType::kInt16, {-300, 0, 300}}};
  const std::string ply = test::ply_bytes(PlyEncoding::kBinaryLittleEndian, columns);
  const test::Streamed e57 = test::stream_bytes(ply, CloudFormat::kE57, 0.0, 3);
  ASSERT_EQ(StreamFault::kNone, e57.result.fault) << e57.result.message;
  EXPECT_NE(std::string::npos, test::e57_xml_of(e57.output).find("<colorRed type=\"Integer\""));
  const test::Streamed back =
      test::stream_bytes(e57.output, CloudFormat::kPlyBinaryLittleEndian, 0.0, 3);
  ASSERT_EQ(StreamFault::kNone, back.result.fault) << back.result.message;
  const auto body = [](const std::string &bytes) {
    return bytes.substr(bytes.find("element vertex"));
  };
  EXPECT_EQ(body(ply), body(back.output));
  // A record too wide for E57's packets of 64 KiB: refused, nothing written.
  std::vector<test::Column> wide = test::xyz_columns({1, 2}, {3, 4}, {5, 6});
  for (int c = 0; c < 9000; ++c) {
    wide.push_back({"c" + std::to_string(c), PlyType::kUint8, {1, 2}});
  }
  const test::Streamed refused = test::stream_bytes(
      test::ply_bytes(PlyEncoding::kBinaryLittleEndian, wide), CloudFormat::kE57, 0.0, 2);
  EXPECT_EQ(StreamFault::kUnsupported, refused.result.fault);
  EXPECT_EQ("records of 9004 fields, too many for E57's packets of 64 KiB", refused.result.message);
  EXPECT_EQ("", refused.output);
}

// Elements in elements, `depth` deep.
std::string nested(int depth) {
  std::string xml;
  for (int k = 0; k < depth; ++k) {
    xml += "<a>";
  }
  for (int k = 0; k < depth; ++k) {
    xml += "</a>";
  }
  return xml;
}

TEST(E57CloudTest, DamagedFilesAreRefused) {
  const E57TestScan scan{"",
                         {doubles("cartesianX", {1, 4}), doubles("cartesianY", {2, 5}),
                          doubles("cartesianZ", {3, 6})}};
  std::string flipped = test::e57_file({scan});
  flipped[100] = char(flipped[100] ^ 1);
  // An XML length that runs past the file (its page's checksum made again).
  std::string long_xml = test::e57_file({scan});
  long_xml.replace(32, 8, std::string("\0\0\0\x01\0\0\0\0", 8));  // 16 MiB
  long_xml.replace(1020, 4, test::e57_page_checksum(long_xml.substr(0, 1020)));
  E57TestScan short_of_one = scan;
  short_of_one.fields[0].raw.push_back(bits_of(7.0));
  // One field's values far ahead of the others' (5 million one-bit values, no coordinates).
  const std::vector<uint64_t> bits(5000000, 0);
  E57TestScan lopsided{"",
                       {{"<cartesianInvalidState type=\"Integer\" minimum=\"0\" "
                         "maximum=\"1\"/>",
                         1, bits},
                        {"<cartesianX type=\"Float\"/>", 64, {}},
                        {"<cartesianY type=\"Float\"/>", 64, {}},
                        {"<cartesianZ type=\"Float\"/>", 64, {}}}};
  E57TestScan zipped = scan;
  zipped.codecs = "<vectorChild type=\"Structure\"><inputs type=\"Vector\"/><zlibCodec "
                  "type=\"Structure\"/></vectorChild>";
  E57TestScan with_text = scan;
  with_text.fields.push_back({"<note type=\"String\"/>", 0, {0, 0}});
  const struct {
    std::string file;
    StreamFault fault;
    const char *message;
  } cases[] = {
      {flipped, StreamFault::kMalformed, "damaged: page 1 of 1 fails its checksum"},
      {long_xml, StreamFault::kMalformed,
       "truncated: an XML section of 16777216 bytes at byte 140 runs past the file's end"},
      {test::e57_file({short_of_one}), StreamFault::kMalformed,
       "damaged: the points end after 2 of 3 records"},
      {test::e57_file({lopsided}), StreamFault::kMalformed,
       "damaged: the field cartesianInvalidState's values run more than 4194304 ahead of the "
       "other fields'"},
      {test::e57_file({zipped}), StreamFault::kUnsupported,
       "scan 1: points compressed by the codec zlibCodec (bit-packing is read)"},
      {test::e57_file({with_text}), StreamFault::kUnsupported,
       "scan 1: the field note of type String (Float, Integer and ScaledInteger are read)"},
      {test::e57_file({scan}, nested(70)), StreamFault::kMalformed,
       "an XML section deeper than 64 elements"},
      {test::e57_file({scan}, "<a>"), StreamFault::kMalformed,
       "XML not well formed at line 17: mismatched tag"},
  };
  for (const auto &each : cases) {
    const test::Streamed read = test::stream_bytes(each.file, CloudFormat::kE57);
    EXPECT_EQ(each.fault, read.result.fault) << each.message;
    EXPECT_EQ(each.message, read.result.message);
  }
}

}  // namespace
}  // namespace levelling
