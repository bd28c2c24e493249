// E57 as another reader reads it: web-e57 (an E57 reader compiled to WebAssembly, from the npm
// registry) reads what this project writes, E57 converted from another format and E57 levelled
// by its poses, to the points this project means.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "formats/core/cloud_stream.h"
#include "tests/support/cloud_files.h"
#include "tests/support/e57_files.h"

namespace levelling::test {
namespace {

namespace fs = std::filesystem;

// Where web-e57 is installed: $E57_READER_PREFIX, else beside the README's build.
std::string reader_prefix() {
  const char *named = std::getenv("E57_READER_PREFIX");
  return named != nullptr ? named : LEVELLING_E57_READER_PREFIX;
}

bool reader_installed() {
  return fs::exists(fs::path(reader_prefix()) / "node_modules" / "web-e57") &&
         std::system("node --version > /dev/null 2>&1") == 0;
}

// Skips where web-e57 is not installed (bench/install-e57-reader.sh), but never in CI, which
// installs it.
#define REQUIRE_E57_READER()                                                       \
  do {                                                                             \
    if (!reader_installed()) {                                                     \
      if (std::getenv("CI") != nullptr) {                                          \
        FAIL() << "web-e57 is not installed: bench/install-e57-reader.sh";         \
      }                                                                            \
      GTEST_SKIP() << "web-e57 is not installed (bench/install-e57-reader.sh)";    \
    }                                                                              \
  } while (false)

// The points web-e57 reads from `e57` (x, y, z of each line it prints), or none with its
// complaint in *error.
std::vector<std::array<double, 3>> reader_points(const std::string &e57, std::string *error) {
  const std::string folder = fresh_test_folder("e57reader");
  const std::string in = folder + "/in.e57", out = folder + "/points.xyz";
  write_bytes(in, e57);
  const std::string command = "E57_READER_PREFIX='" + reader_prefix() + "' node '" +
                              LEVELLING_E57_READER_SCRIPT + "' '" + in + "' XYZ > '" + out +
                              "' 2> '" + folder + "/said'";
  std::vector<std::array<double, 3>> points;
  if (std::system(command.c_str()) == 0) {
    std::istringstream lines(read_bytes(out));
    for (std::string line; std::getline(lines, line);) {
      std::istringstream words(line);
      std::array<double, 3> point{};
      if (words >> point[0] >> point[1] >> point[2]) {
        points.push_back(point);
      }
    }
  } else {
    *error = read_bytes(folder + "/said");
  }
  fs::remove_all(folder);
  return points;
}

// A scan of n points over rough ground, with an intensity, colours, a normal and a temperature.
std::vector<Column> scan_columns(size_t n) {
  std::vector<Column> columns = {
      {"x", PlyType::kFloat64, {}},       {"y", PlyType::kFloat64, {}},
      {"z", PlyType::kFloat64, {}},       {"intensity", PlyType::kUint16, {}},
      {"red", PlyType::kUint8, {}},      {"green", PlyType::kUint8, {}},
      {"blue", PlyType::kUint8, {}},     {"nx", PlyType::kFloat32, {}},
      {"temperature", PlyType::kInt16, {}}};
  for (size_t i = 0; i < n; ++i) {
    const double t = double(i);
    const double values[] = {t * 0.013 - 20, std::sin(t / 30) * 4, 0.001 * double(i % 97),
                             double(i * 37 % 65536), double(i % 256), double(i * 7 % 256),
                             double(255 - i % 256), 0.25, double(int(i % 600) - 300)};
    for (size_t c = 0; c < columns.size(); ++c) {
      columns[c].values.push_back(values[c]);
    }
  }
  return columns;
}

TEST(E57Reference, TheReaderReadsWhatThisProjectWrites) {
  REQUIRE_E57_READER();
  const size_t n = 5000;  // several packets, several pages
  const std::vector<Column> columns = scan_columns(n);
  const Streamed e57 = stream_bytes(ply_bytes(PlyEncoding::kBinaryLittleEndian, columns),
                                    CloudFormat::kE57, 0.0, int64_t(n));
  ASSERT_EQ(StreamFault::kNone, e57.result.fault) << e57.result.message;
  std::string error;
  const std::vector<std::array<double, 3>> points = reader_points(e57.output, &error);
  ASSERT_EQ(n, points.size()) << error;
  for (size_t i = 0; i < n; ++i) {
    for (size_t k = 0; k < 3; ++k) {
      ASSERT_EQ(columns[k].values[i], points[i][k]) << i << " " << k;
    }
  }
}

// The files other tools wrote that web-e57 reads (it refuses an E57 without images2D): this
// project reads the points web-e57 reads, and levelled, web-e57 reads them where they went.
TEST(E57Reference, GoldenFilesReadAsTheReaderReadsThem) {
  REQUIRE_E57_READER();
  const double motion[4][4] = {{0, -1, 0, 3}, {1, 0, 0, 0}, {0, 0, 1, -1}, {0, 0, 0, 1}};
  for (const char *name : {"bunnyInt32.e57", "ColouredCubeFloat.e57"}) {
    const std::string file =
        read_bytes((fs::path(LEVELLING_TEST_DATA_DIR) / "e57" / name).string());
    std::vector<std::array<double, 3>> moved;
    StreamResult result;
    const std::string levelled = stream_moved(file, CloudFormat::kE57, motion, &result, &moved);
    ASSERT_EQ(StreamFault::kNone, result.fault) << name << ": " << result.message;
    const Streamed read = stream_bytes(file, CloudFormat::kE57);
    std::string error;
    const std::vector<std::array<double, 3>> theirs = reader_points(file, &error);
    const std::vector<std::array<double, 3>> theirs_levelled = reader_points(levelled, &error);
    ASSERT_EQ(read.x.size(), theirs.size()) << name << ": " << error;
    ASSERT_EQ(moved.size(), theirs_levelled.size()) << name << ": " << error;
    for (size_t i = 0; i < theirs.size(); ++i) {
      const double ours[3] = {read.x[i], read.y[i], read.z[i]};
      for (size_t k = 0; k < 3; ++k) {
        ASSERT_NEAR(ours[k], theirs[i][k], 1e-12) << name << " " << i;
        ASSERT_NEAR(moved[i][k], theirs_levelled[i][k], 1e-12) << name << " " << i;
      }
    }
  }
}

TEST(E57Reference, TheReaderPutsLevelledScansWhereTheyWereMoved) {
  REQUIRE_E57_READER();
  // Two scans, each with a pose of its own, levelled by a turn and a shift.
  const auto scan = [](const std::string &pose, double shift) {
    E57TestScan each{pose, {}};
    const char *names[3] = {"cartesianX", "cartesianY", "cartesianZ"};
    for (int k = 0; k < 3; ++k) {
      E57TestField field{std::string("<") + names[k] + " type=\"Float\"/>", 64, {}};
      for (int i = 0; i < 50; ++i) {
        field.raw.push_back(bits_of(shift + double(i * (k + 1)) * 0.1));
      }
      each.fields.push_back(field);
    }
    return each;
  };
  const std::string file =
      e57_file({scan(e57_pose({0.8, 0.6, 0, 0}, {5, -3, 2}), 0.0),
                scan(e57_pose({0.5, 0.5, 0.5, 0.5}, {-1, 4, 0.5}), 3.0)});
  const double motion[4][4] = {{0.6, 0, 0.8, 1}, {0, 1, 0, -2}, {-0.8, 0, 0.6, 3}, {0, 0, 0, 1}};
  std::vector<std::array<double, 3>> moved;
  StreamResult result;
  const std::string levelled = stream_moved(file, CloudFormat::kE57, motion, &result, &moved);
  ASSERT_EQ(StreamFault::kNone, result.fault) << result.message;
  std::string error;
  const std::vector<std::array<double, 3>> points = reader_points(levelled, &error);
  ASSERT_EQ(moved.size(), points.size()) << error;
  for (size_t i = 0; i < moved.size(); ++i) {
    for (size_t k = 0; k < 3; ++k) {
      EXPECT_NEAR(moved[i][k], points[i][k], 1e-12) << i << " " << k;
    }
  }
}

}  // namespace
}  // namespace levelling::test
