// E57 files other tools wrote (tests/data/e57, provenance beside them): read with their points
// inside the bounds their prototypes state, their images' bytes kept when levelled, their
// colours and extension fields converted, a damaged page refused.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "formats/core/cloud_stream.h"
#include "tests/support/cloud_files.h"
#include "tests/support/e57_files.h"

namespace levelling::test {
namespace {

namespace fs = std::filesystem;

const fs::path kGolden = fs::path(LEVELLING_TEST_DATA_DIR) / "e57";

std::string golden(const char *name) { return read_bytes((kGolden / name).string()); }

// A quarter turn about x, then (1, -2, 0.5).
constexpr double kMotion[4][4] = {{1, 0, 0, 1}, {0, 0, -1, -2}, {0, 1, 0, 0.5}, {0, 0, 0, 1}};

TEST(E57Golden, FilesOtherToolsWroteAreRead) {
  const struct {
    const char *name;
    size_t points;
    double bound;  // the prototype's: every coordinate within +-bound
  } cases[] = {{"bunnyInt32.e57", 30571, 2147.483648},
               {"ColouredCubeFloat.e57", 7680, 0.5},
               {"ColourRepresentation.e57", 153, 0.5},
               {"ZeroPoints.e57", 0, 0},
               {"PinholeImageWithDistortionParameters.e57", 0, 0}};
  for (const auto &each : cases) {
    const Streamed read = stream_bytes(golden(each.name), CloudFormat::kE57);
    ASSERT_EQ(StreamFault::kNone, read.result.fault) << each.name << ": " << read.result.message;
    ASSERT_EQ(each.points, read.x.size()) << each.name;
    double largest = 0.0, spread = 0.0;
    for (size_t i = 0; i < read.x.size(); ++i) {
      for (const double v : {read.x[i], read.y[i], read.z[i]}) {
        largest = std::max(largest, std::fabs(v));
      }
      spread = std::max(spread, std::fabs(read.x[i] - read.x[0]));
    }
    EXPECT_LE(largest, each.bound) << each.name;
    if (each.points > 0) {
      EXPECT_GT(spread, 0.0) << each.name;  // points, not one value repeated
    }
  }
}

TEST(E57Golden, ADamagedPageIsRefused) {
  const Streamed read = stream_bytes(golden("bad-crc.e57"), CloudFormat::kE57);
  EXPECT_EQ(StreamFault::kMalformed, read.result.fault);
  EXPECT_EQ("damaged: page 1 of 1 fails its checksum", read.result.message);
}

TEST(E57Golden, ImagesKeepTheirBytesAndTakeTheLevellingsPose) {
  const std::string file = golden("PinholeImageWithDistortionParameters.e57");
  StreamResult result;
  const std::string levelled = stream_moved(file, CloudFormat::kE57, kMotion, &result);
  ASSERT_EQ(StreamFault::kNone, result.fault) << result.message;
  // The three JPEG blobs (and all before the XML) as they were.
  const std::string xml = e57_xml_of(file);
  const size_t xml_at = e57_logical_bytes(file).find(xml.substr(0, 40));
  EXPECT_EQ(e57_logical_bytes(file).substr(0, xml_at).substr(48),
            e57_logical_bytes(levelled).substr(48, xml_at - 48));
  // Each image, which had no pose, now has the levelling's: a quarter turn about x, whose
  // quaternion is (cos 45, sin 45, 0, 0), and the shift.
  const std::string moved = e57_xml_of(levelled);
  size_t poses = 0;
  for (size_t at = moved.find("<pose "); at != std::string::npos;
       at = moved.find("<pose ", at + 1)) {
    ++poses;
  }
  EXPECT_EQ(3u, poses);
  const size_t pose = moved.find("<pose ");
  const double expected[7] = {std::sqrt(0.5), std::sqrt(0.5), 0, 0, 1, -2, 0.5};
  const char *names[7] = {"w", "x", "y", "z", "x", "y", "z"};
  size_t at = pose;
  for (int k = 0; k < 7; ++k) {
    at = moved.find(std::string("<") + names[k] + " type=\"Float\">", at);
    ASSERT_NE(std::string::npos, at) << names[k];
    at = moved.find('>', at) + 1;
    EXPECT_NEAR(expected[k], std::stod(moved.substr(at, 30)), 1e-15) << k;
  }
  EXPECT_EQ(StreamFault::kNone, stream_bytes(levelled, CloudFormat::kE57).result.fault);
}

TEST(E57Golden, ColoursAndExtensionFieldsConvert) {
  const Streamed ply =
      stream_bytes(golden("ColourRepresentation.e57"), CloudFormat::kPlyAscii, 0.0, 153);
  ASSERT_EQ(StreamFault::kNone, ply.result.fault) << ply.result.message;
  for (const char *property :
       {"property uchar returnIndex\n", "property ushort las:pointSourceId\n",
        "property ushort red\nproperty ushort green\nproperty ushort blue\n"}) {
    EXPECT_NE(std::string::npos, ply.output.find(property)) << property;
  }
}

}  // namespace
}  // namespace levelling::test
