// levelling-cloud as its users meet it: a process with files, pipes and exit statuses.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "formats/core/cloud_stream.h"
#include "formats/core/ply_values.h"
#include "plane/cloud_fit.h"
#include "plane/point_sample.h"
#include "tests/support/cloud_files.h"
#include "tests/support/cloud_runs.h"
#include "tests/support/e57_files.h"

namespace levelling {
namespace {

namespace fs = std::filesystem;
using test::Ended;
using test::Fault;
using test::LevellingCloudTest;
using test::read_file;
using test::write_file;

constexpr double kPi = 3.14159265358979323846;

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

// The slopes of the valid points of a cloud file (read by the program's own readers), and
// how many points it holds.
CloudPlane slopes_of(const std::string &path, size_t *points) {
  const test::CloudPointsRead read = test::read_cloud_points(path);
  EXPECT_EQ("", read.error) << path;
  CloudFit fit;
  for (size_t i = 0; i < read.x.size(); ++i) {
    if (!is_empty_point(read.x[i], read.y[i], read.z[i])) {
      cloud_fit_add(&fit, 1, &read.x[i], &read.y[i], &read.z[i]);
    }
  }
  *points = read.x.size();
  return cloud_fit_solve(fit);
}

// A floor sloping 3 and 1 in 100 seen by two scanners: scan k's points in its own frame, the
// scanner turned by `turn[k]` radians about z and standing at `at[k]`.
struct ScannedFloor {
  std::vector<std::array<double, 3>> world[2], local[2];
  const double turn[2] = {0.5, -1.2};
  const double at[2][3] = {{2, -1, 1.5}, {-3, 4, 1.2}};
  ScannedFloor() {
    for (int k = 0; k < 2; ++k) {
      const double c = std::cos(turn[k]), s = std::sin(turn[k]);
      for (int i = 0; i < 15; ++i) {
        for (int j = 0; j < 15; ++j) {
          const double x = 0.4 * i - 3 + k, y = 0.3 * j - 2, z = 0.03 * x + 0.01 * y;
          world[k].push_back({x, y, z});
          const double d[3] = {x - at[k][0], y - at[k][1], z - at[k][2]};
          local[k].push_back({c * d[0] + s * d[1], -s * d[0] + c * d[1], d[2]});
        }
      }
    }
  }
  std::string e57() const {
    std::vector<test::E57TestScan> scans;
    for (int k = 0; k < 2; ++k) {
      test::E57TestScan scan{test::e57_pose({std::cos(turn[k] / 2), 0, 0, std::sin(turn[k] / 2)},
                                            {at[k][0], at[k][1], at[k][2]}),
                             {}};
      const char *names[3] = {"cartesianX", "cartesianY", "cartesianZ"};
      for (int a = 0; a < 3; ++a) {
        scan.fields.push_back({std::string("<") + names[a] + " type=\"Float\"/>", 64, {}});
        for (const auto &p : local[k]) {
          scan.fields.back().raw.push_back(test::bits_of(p[size_t(a)]));
        }
      }
      scans.push_back(scan);
    }
    return test::e57_file(scans);
  }
  std::string ptx() const {
    std::ostringstream text;
    text.precision(17);
    for (int k = 0; k < 2; ++k) {
      const double c = std::cos(turn[k]), s = std::sin(turn[k]);
      text << 15 << "\n" << 15 << "\n" << at[k][0] << " " << at[k][1] << " " << at[k][2] << "\n"
           << c << " " << s << " 0\n" << -s << " " << c << " 0\n0 0 1\n"
           << c << " " << s << " 0 0\n" << -s << " " << c << " 0 0\n0 0 1 0\n"
           << at[k][0] << " " << at[k][1] << " " << at[k][2] << " 1\n";
      for (const auto &p : local[k]) {
        text << p[0] << " " << p[1] << " " << p[2] << " 0.5\n";
      }
    }
    return text.str();
  }
};

TEST_F(LevellingCloudTest, TerrestrialScansLevelByTheirPosesAndBack) {
  const ScannedFloor floor;
  write_file(file("site.e57"), floor.e57());
  write_file(file("site.ptx"), floor.ptx());
  for (const char *format : {"e57", "ptx"}) {
    const std::string site = std::string("site.") + format, level = std::string("level.") + format;
    const Ended levelled = run("$L " + site + " -o " + level + " --save-transform t.txt");
    ASSERT_EQ(0, levelled.status) << levelled.err;
    EXPECT_NE(std::string::npos, levelled.out.find("450 points (" + std::string(format) + ")"));
    size_t points = 0;
    const CloudPlane plane = slopes_of(file(level).string(), &points);
    EXPECT_EQ(450u, points) << format;
    EXPECT_LT(std::fabs(plane.a), 1e-9) << format;
    EXPECT_LT(std::fabs(plane.b), 1e-9) << format;
    // Undone, each scan's points are where they were in the world.
    const std::string back = std::string("back.") + format;
    ASSERT_EQ(0, run("$L " + level + " --transform t.txt --inverse -o " + back).status);
    const test::CloudPointsRead read = test::read_cloud_points(file(back).string());
    ASSERT_EQ(450u, read.x.size()) << read.error;
    for (size_t i = 0; i < read.x.size(); ++i) {
      const auto &p = floor.world[i / 225][i % 225];
      EXPECT_NEAR(p[0], read.x[i], 1e-9) << format << " " << i;
      EXPECT_NEAR(p[1], read.y[i], 1e-9) << format << " " << i;
      EXPECT_NEAR(p[2], read.z[i], 1e-9) << format << " " << i;
    }
  }
}

TEST_F(LevellingCloudTest, PcdAndLasLevelInTheirOwnFormats) {
  // A LAS 1.4 tile sloping 3 and 1 in 100, with an EVLR after its points; over 1 MiB, so that
  // through a pipe its header is gone before its last point.
  std::vector<std::array<int32_t, 3>> tile;
  for (int32_t i = 0; i < 200; ++i) {
    for (int32_t j = 0; j < 160; ++j) {
      tile.push_back({i * 150, j * 170, int32_t(std::lround(0.03 * i * 150 + 0.01 * j * 170))});
    }
  }
  const std::string las = test::las_bytes({4, 7, 2, true}, tile);
  write_file(file("tile.las"), las);
  const Ended levelled = run("$L tile.las -o level.las");
  ASSERT_EQ(0, levelled.status) << levelled.err;
  EXPECT_NE(std::string::npos,
            levelled.out.find("note: the output is in a levelled local frame: its coordinate "
                              "system's description (the VLRs) is kept as it was"));
  size_t points = 0;
  CloudPlane plane = slopes_of(file("level.las").string(), &points);
  EXPECT_EQ(tile.size(), points);
  EXPECT_LT(std::fabs(plane.a), 1e-4);  // the re-quantisation: 0.005 over 300 m
  EXPECT_LT(std::fabs(plane.b), 1e-4);
  const std::string output = read_file(file("level.las"));
  EXPECT_EQ(las.substr(las.size() - 65), output.substr(output.size() - 65));  // the EVLR
  // Through a pipe the bounds cannot be written after the points: the box's hold them all,
  // the first pass's, or (a saved transform applied in one pass) the header's.
  ASSERT_EQ(0, run("$L tile.las -o - --format las -q --save-transform t.txt | cat > piped.las")
                   .status);
  ASSERT_EQ(0, run("$L level.las --transform t.txt --inverse -o - -q | cat > back.las").status);
  for (const char *name : {"piped.las", "back.las"}) {
    const std::string piped = read_file(file(name));
    ASSERT_EQ(output.size(), piped.size()) << name;
    const test::CloudPointsRead read = test::read_cloud_points(file(name).string());
    double bounds[6];
    std::memcpy(bounds, piped.data() + test::kLasBounds, sizeof bounds);
    for (size_t i = 0; i < read.x.size(); ++i) {
      const double p[3] = {read.x[i], read.y[i], read.z[i]};
      for (int k = 0; k < 3; ++k) {
        EXPECT_LE(p[k], bounds[2 * k]) << name << " " << i;
        EXPECT_GE(p[k], bounds[2 * k + 1]) << name << " " << i;
      }
    }
  }
  EXPECT_EQ(output.substr(375), read_file(file("piped.las")).substr(375));

  // An organised depth frame (its third row empty) looking at a floor 30 degrees from -y.
  std::vector<test::Column> frame = {{"x", PlyType::kFloat32, {}},
                                     {"y", PlyType::kFloat32, {}},
                                     {"z", PlyType::kFloat32, {}},
                                     {"rgb", PlyType::kUint32, {}}};
  const double c = std::cos(kPi / 6), s = std::sin(kPi / 6);
  for (int row = 0; row < 40; ++row) {
    for (int col = 0; col < 32; ++col) {
      const double u = 0.05 * col, v = 0.05 * row, empty = row == 2 ? NAN : 0.0;
      frame[0].values.push_back(u + empty);
      frame[1].values.push_back(1.0 - v * s + empty);  // the floor, y down, tilted toward z
      frame[2].values.push_back(2.0 + v * c + empty);
      frame[3].values.push_back(double(row * 32 + col));
    }
  }
  write_file(file("frame.pcd"), test::pcd_bytes("binary_compressed", frame, 40));
  const Ended floor = run("$L frame.pcd --up=-y -o level.pcd -q");
  ASSERT_EQ(0, floor.status) << floor.err;
  plane = slopes_of(file("level.pcd").string(), &points);
  EXPECT_EQ(40u * 32u, points);
  EXPECT_LT(std::fabs(plane.a), 1e-6);
  EXPECT_LT(std::fabs(plane.b), 1e-6);
  const std::string pcd = read_file(file("level.pcd"));
  EXPECT_NE(std::string::npos, pcd.find("WIDTH 32\nHEIGHT 40\n"));
  EXPECT_NE(std::string::npos, pcd.find("DATA binary_compressed\n"));
  const Ended refused = run("$L frame.pcd --up=-y -o level.las");
  EXPECT_EQ(8, refused.status);
  EXPECT_EQ("levelling-cloud: frame.pcd: has 32 empty points (no return), which LAS cannot "
            "hold; write PCD instead\n",
            refused.err);
}

TEST_F(LevellingCloudTest, SeveralFilesLevelTogetherAndAFailingOneLeavesTheOthers) {
  const std::string good = tilted_ply(37 * 20, 0.1, 0.05);
  write_file(file("a.ply"), good);
  write_file(file("c.ply"), good);
  // b: tilted otherwise (had its points counted, the plane would move), and truncated near its
  // end; or, large, with a coordinate that is no number in a record its first pass does not
  // sample (only the refit's pass reads it, and the fit starts again without it).
  const std::string other = tilted_ply(37 * 20, 0.3, -0.1);
  std::string large = tilted_ply(70000, 0.3, -0.1);
  std::vector<int64_t> sampled;
  point_sample_candidates(1, 740, 70000, kDefaultSampleSize, 0, -1, &sampled);
  int64_t unsampled = 50000;
  while (std::binary_search(sampled.begin(), sampled.end(), 740 + unsampled)) {
    ++unsampled;
  }
  constexpr size_t kRecord = 3 * 8 + 3 * 4 + 1;
  const double infinite = HUGE_VAL;
  std::memcpy(&large[large.find("end_header\n") + 11 + size_t(unsampled) * kRecord], &infinite,
              sizeof infinite);
  const struct {
    std::string bytes;
    std::string message;
  } faulty[] = {
      {other.substr(0, other.size() - 100),
       "truncated: the file ends inside vertex 739 of 740 (at byte 27553)"},
      {large, "vertex " + std::to_string(unsampled + 1) + ": x is not a finite number"},
  };
  for (const auto &b : faulty) {
    write_file(file("b.ply"), b.bytes);
    fs::remove_all(file("out"));
    fs::create_directory(file("out"));
    const Ended ended = run("$L a.ply b.ply c.ply --output-dir out -j 2 --save-transform t.txt");
    EXPECT_EQ(4, ended.status) << ended.err;
    EXPECT_EQ("levelling-cloud: b.ply: " + b.message + "\n", ended.err);
    EXPECT_NE(std::string::npos, ended.out.find("levelled: out/a.ply\nlevelled: out/c.ply\n"))
        << ended.out;
    EXPECT_EQ(read_file(file("out/a.ply")), read_file(file("out/c.ply")));
    EXPECT_FALSE(fs::exists(file("out/b.ply")));
    // The same transform applied to one of them, alone, gives the same bytes.
    ASSERT_EQ(0, run("$L a.ply -o alone.ply --transform t.txt -q").status);
    EXPECT_EQ(read_file(file("out/a.ply")), read_file(file("alone.ply")));
  }

  const struct {
    const char *command;
    int status;
    const char *message;
  } refusals[] = {
      {"$L a.ply out/a.ply --output-dir out", 2,
       "out/a.ply: another input has the same name, which --output-dir would give both"},
      {"$L a.ply c.ply -o x.ply", 2, "several inputs go to --output-dir (or --in-place), not -o"},
      {"$L a.ply - --output-dir out", 2, "standard input is not one of them"},
      {"$L a.ply --inverse -o x.ply", 2, "--inverse requires --transform"},
      {"$L a.ply --fit-only -o x.ply", 2, "--output excludes --fit-only"},
  };
  for (const auto &refusal : refusals) {
    const Ended refused = run(refusal.command);
    EXPECT_EQ(refusal.status, refused.status) << refusal.command;
    EXPECT_NE(std::string::npos, refused.err.find(refusal.message)) << refused.err;
  }
  // Fitting only: the transform and the report, no cloud; the fit of every point of the files
  // that read holds none of the failed one's.
  const Ended fitted = run("$L a.ply c.ply --fit-only --save-transform fit.txt");
  EXPECT_EQ(0, fitted.status) << fitted.err;
  EXPECT_EQ(read_file(file("t.txt")), read_file(file("fit.txt")));
  EXPECT_EQ(std::string::npos, fitted.out.find("levelled:"));
  run("$L a.ply b.ply c.ply --output-dir out --fit all --save-transform all.txt");
  ASSERT_EQ(0, run("$L a.ply c.ply --fit all --fit-only --save-transform two.txt").status);
  EXPECT_EQ(read_file(file("two.txt")), read_file(file("all.txt")));
}

TEST_F(LevellingCloudTest, TheMapIsDrawnWithTheCloudOrRefusedBeforeIt) {
  write_file(file("patch.ply"), tilted_ply(37 * 30, 0.1, -0.2));
  const Ended drawn = run("$L patch.ply -o level.ply --map map.png --save-transform t.txt");
  ASSERT_EQ(0, drawn.status) << drawn.err;
  EXPECT_NE(std::string::npos, drawn.out.find("map: map.png (heights in cloud units above"));
  EXPECT_EQ("\x89PNG", read_file(file("map.png")).substr(0, 4));
  // Without a cloud written, and with a saved transform: one more pass, the same picture.
  ASSERT_EQ(0, run("$L patch.ply --map alone.png -q").status);
  EXPECT_EQ(read_file(file("map.png")), read_file(file("alone.png")));
  ASSERT_EQ(0, run("$L patch.ply --transform t.txt -o again.ply --map again.png -q").status);
  EXPECT_EQ("\x89PNG", read_file(file("again.png")).substr(0, 4));
  // A map that cannot be written is said before the cloud is: nothing is left behind.
  const std::vector<std::string> before = files();
  const Ended refused = run("$L patch.ply -o never.ply --map missing/map.png");
  EXPECT_EQ(6, refused.status);
  EXPECT_EQ("levelling-cloud: missing/map.png: No such file or directory\n", refused.err);
  EXPECT_EQ(before, files());
  EXPECT_EQ(2, run("$L patch.ply --map-cell 0.5").status);
  // A LAS tile whose coordinate system is in feet: its map says so.
  std::vector<std::array<int32_t, 3>> grid;
  for (int32_t i = 0; i < 400; ++i) {
    grid.push_back({i % 20 * 100, i / 20 * 100, i % 20 * 10 + i / 20 * 5});
  }
  write_file(file("feet.las"),
             test::las_bytes({2, 1, 0, false}, grid,
                             {{2112, "PROJCS[\"p\",UNIT[\"foot\",0.3048]]"}}));
  const Ended feet = run("$L feet.las --map feet.png --report json");
  ASSERT_EQ(0, feet.status) << feet.err;
  EXPECT_NE(std::string::npos, feet.out.find("\"map_unit\": \"feet\", \"map_scale_bar\": 2,"))
      << feet.out;
  // Eight files over one place, each cell given heights by all of them, written side by side in
  // whatever order the threads take: the same picture one file at a time and eight at once.
  std::string tiles;
  for (int k = 0; k < 8; ++k) {
    const std::string name = "over" + std::to_string(k) + ".ply";
    write_file(file(name), tilted_ply(37 * 100, 0.1 + 0.002 * k, -0.2));
    tiles += " " + name;
  }
  for (const char *jobs : {"1", "8"}) {
    fs::create_directory(file(std::string("out") + jobs));
    const Ended mapped = run("$L" + tiles + " --output-dir out" + jobs + " -j " + jobs +
                             " --map map" + jobs + ".png -q");
    ASSERT_EQ(0, mapped.status) << mapped.err;
  }
  EXPECT_TRUE(read_file(file("map1.png")) == read_file(file("map8.png")));
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

TEST_F(LevellingCloudTest, FaultsSayWhatAndLeaveNothingBehind) {
  write_file(file("kept.ply"), "what was there\n");
  write_file(file("bad.xyz"), "1 2 3\n4 5 6\n7 x 9\n");
  write_file(file("two.xyz"), "1 2 3\n4 5 6\n");
  write_file(file("line.xyz"), "0 0 0\n1 1 1\n2 2 2\n3 3 3\n");
  write_file(file("good.xyz"), "0 0 0\n1 0 0.1\n0 1 0.2\n1 1 0.3\n");
  const std::string ply = tilted_ply(100, 0.1, 0.2);
  write_file(file("cut.ply"), ply.substr(0, ply.size() / 2));
  write_file(file("faces.ply"), ply);
  const std::vector<Fault> faults = {
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
      {"$L faces.ply -o kept.xyz", 8, "the element 'face' has no place in text; write PLY"},
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


// Valid files that once drove the memory to hundreds of MB: lines padded with blanks, hundreds
// of properties a vertex. Memory stays within a bound whatever the file holds.
TEST_F(LevellingCloudTest, MemoryStaysBoundedWhateverTheFileHolds) {
#if defined(__SANITIZE_ADDRESS__)
  // A forked child's peak counts its parent's memory, which AddressSanitizer's shadow makes
  // hundreds of MB: no bound can be seen from here.
  GTEST_SKIP() << "peak memory is not measurable under AddressSanitizer";
#endif
  constexpr long kBoundKib = 64 * 1024;
  {  // The files are made in a scope of their own: a child's peak counts its parent's memory.
  std::string padded = "ply\nformat ascii 1.0\nelement vertex 1000\nproperty double x\n"
                       "property double y\nproperty double z\nend_header\n";
  for (int i = 0; i < 1000; ++i) {
    padded += std::to_string(i % 25) + " " + std::to_string(i / 25) + std::string(64000, ' ') +
              std::to_string(0.01 * (i % 25)) + "\n";
  }
  write_file(file("padded.ply"), padded);
  std::vector<test::Column> many = test::xyz_columns({}, {}, {});
  for (int p = 0; p < 200; ++p) {
    many.push_back({"p" + std::to_string(p), PlyType::kUint8, {}});
  }
  for (int i = 0; i < 60000; ++i) {
    many[0].values.push_back(i % 200);
    many[1].values.push_back(i / 200);
    many[2].values.push_back(0.001 * (i % 200));
    for (size_t p = 3; p < many.size(); ++p) {
      many[p].values.push_back(double(p));
    }
  }
  write_file(file("many.ply"), test::ply_bytes(PlyEncoding::kAscii, many));
  }
  for (const char *arguments : {"padded.ply -o out.ply", "many.ply -o out.ply",
                                "many.ply -o out-binary.ply --format ply-binary"}) {
    int status = -1;
    const long peak = peak_kib(arguments, &status);
    EXPECT_EQ(0, status) << arguments;
    EXPECT_LT(peak, kBoundKib) << arguments;
  }
}

TEST_F(LevellingCloudTest, SignalsTheCallerIgnoresStayIgnored) {
  // Under nohup (SIGHUP ignored) or with SIGINT ignored, the program waiting for its input
  // lives through both and levels what comes.
  write_file(file("good.xyz"), "0 0 0\n1 0 0.1\n0 1 0.2\n1 1 0.3\n");
  const Ended ended = run(
      "trap '' INT HUP; mkfifo pipe; ($P pipe -q --report json > report.txt; echo $? > status.txt) &"
      " sleep 0.3; pkill -INT -f 'levelling-clou[d] pipe'; pkill -HUP -f 'levelling-clou[d] pipe';"
      " sleep 0.2; timeout 10 sh -c 'cat good.xyz > pipe'; wait; cat status.txt");
  EXPECT_EQ("0\n", ended.out) << ended.err;

  // Killed outright while its output is open: nothing is left behind.
  const std::vector<std::string> before = files();
  const Ended killed = run("mkfifo slow; ($P slow -o out.ply &); (echo 0 0 0; sleep 2) > slow &"
                           " sleep 0.5; pkill -KILL -f 'levelling-clou[d] slow'; wait; rm slow");
  EXPECT_EQ(before, files()) << killed.err;
}

TEST_F(LevellingCloudTest, LargeFilesReadInHalvesSayTheirFaultsAsAWholeReadWould) {
  // More records than a lone file's refit reads in one piece: its two halves are read side by
  // side, the second on to the file's end. A fault in the second half or after the records is
  // said as a whole read says it; a sound file fits as its text twin does.
  constexpr int kPoints = 1200000;
  std::vector<double> x(kPoints), y(kPoints), z(kPoints);
  for (int i = 0; i < kPoints; ++i) {
    x[size_t(i)] = double(i % 1000) * 0.01;
    y[size_t(i)] = double(i / 1000) * 0.01;
    z[size_t(i)] = 0.02 * x[size_t(i)] + 0.001 * std::sin(0.37 * i);
  }
  std::vector<test::Column> columns = test::xyz_columns(x, y, z);
  for (test::Column &column : columns) {
    column.type = PlyType::kFloat32;
  }
  const std::string sound = test::pcd_bytes("binary", columns);
  write_file(file("sound.pcd"), sound);
  write_file(file("sound.xyz"), test::text_bytes(columns));
  std::string bad_point = sound;
  const float not_a_number = std::nanf("");
  std::memcpy(&bad_point[sound.size() - size_t(kPoints - 900000) * 12], &not_a_number,
              sizeof not_a_number);
  write_file(file("bad-point.pcd"), bad_point);
  write_file(file("more.pcd"), sound + std::string(12, '\0'));
  write_file(file("faces.ply"),
             test::ply_bytes(PlyEncoding::kBinaryLittleEndian, columns,
                             "element face 1\nproperty list uchar int vertex_indices\n",
                             std::string("\x03\0\0\0\0\x01\0\0\0\x02\0\0\0", 13) + "more"));
  expect_refused({
      {"$L bad-point.pcd", 4, "bad-point.pcd: point 900001: x is not a finite number"},
      {"$L more.pcd", 4,
       "more.pcd: byte " + std::to_string(sound.size()) + ": more data than POINTS 1200000"},
      {"$L faces.ply", 4, "faces.ply: the file goes on after its last element"},
  });
  const Ended halves = run("$L sound.pcd --report json");
  const Ended whole = run("$L sound.xyz --report json");
  ASSERT_EQ(0, halves.status) << halves.err;
  ASSERT_EQ(0, whole.status) << whole.err;
  EXPECT_EQ(json_number(whole.out, "inliers"), json_number(halves.out, "inliers"));
  EXPECT_NEAR(json_number(whole.out, "tilt_degrees"), json_number(halves.out, "tilt_degrees"),
              1e-9);
}

}  // namespace
}  // namespace levelling
