// levelling-cloud as its users meet it: a process with files, pipes and exit statuses.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "formats/cloud_stream.h"
#include "formats/ply_values.h"
#include "plane/cloud_fit.h"
#include "tests/support/cloud_files.h"

namespace levelling {
namespace {

namespace fs = std::filesystem;

constexpr double kPi = 3.14159265358979323846;

struct Ended {
  int status = -1;
  std::string out, err;
};

std::string read_file(const fs::path &path) { return test::read_bytes(path.string()); }

void write_file(const fs::path &path, const std::string &bytes) {
  test::write_bytes(path.string(), bytes);
}

class LevellingCloudTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) /
           ("levelling_cloud_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path file(const std::string &name) const { return dir_ / name; }

  // Runs `command` through the shell in the test's directory, with levelling-cloud as $L.
  Ended run(const std::string &command) const {
    const std::string line = "cd '" + dir_.string() + "' && L='" LEVELLING_CLOUD_PATH "' && { " +
                             command + "; } > stdout.txt 2> stderr.txt";
    Ended result;
    const int raw = std::system(line.c_str());
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = read_file(file("stdout.txt"));
    result.err = read_file(file("stderr.txt"));
    return result;
  }

  // The files in the directory besides the run's own two.
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir_)) {
      const std::string name = entry.path().filename().string();
      if (name != "stdout.txt" && name != "stderr.txt") {
        names.push_back(name);
      }
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

// A binary little-endian PLY of a level patch at height 10 with a small relief, turned about x
// by `about_x` and then about y by `about_y` (radians, as the demonstration turns its points),
// with each point's normal turned alike, a colour, and two faces after the vertices.
std::string tilted_ply(int n, double about_x, double about_y) {
  const double cx = std::cos(about_x), sx = std::sin(about_x);
  const double cy = std::cos(about_y), sy = std::sin(about_y);
  const auto turn = [&](double x, double y, double z, double *out) {
    // p * Rx, then * Ry, for the row vector p.
    const double y1 = y * cx - z * sx, z1 = y * sx + z * cx;
    out[0] = x * cy + z1 * sy;
    out[1] = y1;
    out[2] = -x * sy + z1 * cy;
  };
  std::vector<test::Column> columns = {
      {"x", PlyType::kFloat64, {}},  {"y", PlyType::kFloat64, {}},  {"z", PlyType::kFloat64, {}},
      {"nx", PlyType::kFloat32, {}}, {"ny", PlyType::kFloat32, {}}, {"nz", PlyType::kFloat32, {}},
      {"red", PlyType::kUint8, {}}};
  for (int i = 0; i < n; ++i) {
    const double x = double(i % 37) * 2.5, y = double(i / 37) * 1.5;
    const double relief = 0.01 * std::sin(0.7 * i);
    double p[3], normal[3];
    turn(x, y, 10.0 + relief, p);
    turn(0.0, 0.0, 1.0, normal);
    for (int k = 0; k < 3; ++k) {
      columns[size_t(k)].values.push_back(p[k]);
      columns[size_t(3 + k)].values.push_back(normal[k]);
    }
    columns[6].values.push_back(double(i % 251));
  }
  const char faces[] = {3, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0,
                        3, 3, 0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0};
  return test::ply_bytes(PlyEncoding::kBinaryLittleEndian, columns,
                         "element face 2\nproperty list uchar int vertex_indices\n",
                         std::string(faces, sizeof faces));
}

// The number after `"key": ` in a one-line JSON object.
double json_number(const std::string &json, const std::string &key) {
  const size_t at = json.find("\"" + key + "\": ");
  return at == std::string::npos ? NAN : std::stod(json.substr(at + key.size() + 4));
}

TEST_F(LevellingCloudTest, TiltedPatchComesBackLevelWithEverythingElseIntact) {
  constexpr int kPoints = 37 * 30;
  const double about_x = 12.0 * kPi / 180.0, about_y = -7.0 * kPi / 180.0;
  const std::string input = tilted_ply(kPoints, about_x, about_y);
  write_file(file("patch.ply"), input);
  const Ended levelled = run("$L patch.ply -o level.ply --report json");
  ASSERT_EQ(0, levelled.status) << levelled.err;
  EXPECT_EQ("", levelled.err);
  EXPECT_NEAR(12.0, json_number(levelled.out, "about_x"), 1e-4) << levelled.out;
  EXPECT_NEAR(-7.0, json_number(levelled.out, "about_y"), 1e-4) << levelled.out;
  EXPECT_EQ(kPoints, json_number(levelled.out, "points"));

  // The same header, the colours and the faces byte for byte; the points level, each at its
  // own height; the normals turned up.
  const std::string output = read_file(file("level.ply"));
  ASSERT_EQ(input.size(), output.size());
  const size_t header = input.find("end_header\n") + 11;
  EXPECT_EQ(input.substr(0, header), output.substr(0, header));
  EXPECT_EQ(input.substr(input.size() - 26), output.substr(output.size() - 26));
  CloudFit fit;
  double lowest = INFINITY, highest = -INFINITY;
  for (int i = 0; i < kPoints; ++i) {
    const char *record = output.data() + header + 37 * i;
    EXPECT_EQ(char(i % 251), record[36]) << i;
    double p[3];
    for (int k = 0; k < 3; ++k) {
      p[k] = load_ply_value(PlyType::kFloat64, false, record + 8 * k);
    }
    cloud_fit_add(&fit, 1, &p[0], &p[1], &p[2]);
    lowest = std::min(lowest, p[2]);
    highest = std::max(highest, p[2]);
    EXPECT_NEAR(1.0, load_ply_value(PlyType::kFloat32, false, record + 32), 1e-6) << i;
  }
  const CloudPlane level = cloud_fit_solve(fit);
  EXPECT_LT(std::fabs(level.a), 1e-6);
  EXPECT_LT(std::fabs(level.b), 1e-6);
  EXPECT_NEAR(0.02, highest - lowest, 1e-3);  // the relief, within +-0.01 of the plane
  EXPECT_EQ((std::vector<std::string>{"level.ply", "patch.ply"}), files());
}

TEST_F(LevellingCloudTest, TextCloudLevelsInAPipe) {
  std::string text = "x y z intensity\n";
  for (int i = 0; i < 500; ++i) {
    const double x = i % 25, y = i / 25;
    text += std::to_string(x) + " " + std::to_string(y) + " " +
            std::to_string(0.5 * x - 0.25 * y + 3.0) + " " + std::to_string(i) + "\n";
  }
  write_file(file("in.xyz"), text);
  const Ended piped = run("cat in.xyz | $L - -o - -q > out.xyz");
  ASSERT_EQ(0, piped.status) << piped.err;
  const std::string out = read_file(file("out.xyz"));
  EXPECT_EQ(0u, out.find("x y z intensity\n"));
  EXPECT_NE(std::string::npos, out.find(" 499\n"));
  EXPECT_EQ(501, std::count(out.begin(), out.end(), '\n'));
  // The report goes to standard error when the cloud takes standard output.
  const Ended reported = run("$L in.xyz -o - > /dev/null");
  EXPECT_NE(std::string::npos, reported.err.find("500 points")) << reported.err;
}

struct Fault {
  std::string command;
  int status;
  std::string message;
};

TEST_F(LevellingCloudTest, FaultsSayWhatAndLeaveNothingBehind) {
  write_file(file("kept.ply"), "what was there\n");
  write_file(file("bad.xyz"), "1 2 3\n4 5 6\n7 x 9\n");
  write_file(file("two.xyz"), "1 2 3\n4 5 6\n");
  write_file(file("line.xyz"), "0 0 0\n1 1 1\n2 2 2\n3 3 3\n");
  write_file(file("good.xyz"), "0 0 0\n1 0 0.1\n0 1 0.2\n1 1 0.3\n");
  const std::string ply = tilted_ply(100, 0.1, 0.2);
  write_file(file("cut.ply"), ply.substr(0, ply.size() / 2));
  write_file(file("faces.ply"), ply);
  const Fault faults[] = {
      {"$L missing.ply -o kept.ply", 3, "missing.ply: No such file or directory"},
      {"$L bad.xyz -o kept.ply", 4, "bad.xyz: line 3: 'x' is not a number (y)"},
      {"$L cut.ply -o kept.ply", 4,
       "cut.ply: truncated: the file ends inside vertex 48 of 100 (at byte " +
           std::to_string(ply.size() / 2) + ")"},
      {"$L two.xyz -o kept.ply", 5, "two.xyz: no plane to level: fewer than 3 points"},
      {"$L line.xyz -o kept.ply", 5, "line.xyz: no plane to level: all points lie on one line"},
      {"$L good.xyz -o /dev/full", 6, "/dev/full: No space left on device"},
      {"$L good.xyz -o nowhere/out.xyz", 6, "nowhere/out.xyz: No such file or directory"},
      {"$L good.xyz -o ./good.xyz", 7, "is the input; use --in-place"},
      {"$L faces.ply -o kept.xyz", 8, "the element 'face' has no place in a text cloud"},
      {"$L good.xyz --pivot middle", 2, "--pivot: middle not in {centroid,origin}"},
  };
  for (const Fault &fault : faults) {
    const Ended ended = run(fault.command);
    EXPECT_EQ(fault.status, ended.status) << fault.command << "\n" << ended.err;
    EXPECT_NE(std::string::npos, ended.err.find(fault.message)) << fault.command << "\n"
                                                               << ended.err;
    EXPECT_EQ("", ended.out) << fault.command;
    EXPECT_EQ("what was there\n", read_file(file("kept.ply"))) << fault.command;
    EXPECT_EQ((std::vector<std::string>{"bad.xyz", "cut.ply", "faces.ply", "good.xyz",
                                        "kept.ply", "line.xyz", "two.xyz"}),
              files())
        << fault.command;
  }
  // Asked for, the input itself is levelled.
  const Ended in_place = run("$L good.xyz --in-place -q");
  EXPECT_EQ(0, in_place.status) << in_place.err;
  EXPECT_NE("0 0 0\n1 0 0.1\n0 1 0.2\n1 1 0.3\n", read_file(file("good.xyz")));
}

}  // namespace
}  // namespace levelling
