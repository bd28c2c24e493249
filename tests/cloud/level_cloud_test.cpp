// The levelling run in-process: generated scenes levelled through files, and what the report
// and the files say afterwards.
#include "cloud/cloud_levelling.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <sstream>
#include <tuple>
#include <string>
#include <vector>

#include "plane/orthogonal_fit.h"
#include "tests/support/cloud_files.h"
#include "tests/support/cloud_runs.h"
#include "tests/support/level_in_process.h"
#include "tests/support/scenes.h"

namespace levelling {
namespace {

namespace fs = std::filesystem;
using test::kRadiansPerDegree;
using test::Scene;
using test::turned;
using test::CloudLevellingTest;
using test::SceneCase;
using test::expect_moved_by_reported_matrix;
using test::json_number;
using test::Levelness;
using test::levelness;
using test::with;

TEST_F(CloudLevellingTest, KnownPlanesComeOutLevelAndUpSideUp) {
  const SceneCase cases[] = {
      {"a room tilted 2.5 degrees", turned(test::room_scene(), 2.5, -1.0), with(45)},
      {"walls holding three times the floor's points",
       turned(test::room_scene(3.0, 4.0, 1.5), -2, 3), with(45)},
      {"terrain, roofs and trees at (512345, 4012345)",
       turned(test::terrain_scene(), 1.2, -0.7, {512345, 4012345, 80}), with(45)},
      {"a floor at 60 degrees", turned(test::room_scene(3.0, 4.0, 0.0), 60, 0), with(70)},
      {"an upside-down room", turned(test::room_scene(3.0, 4.0, 0.6), 176, -3), with(45, "auto")},
      {"a camera frame, up -y", turned(test::room_scene(), 90 + 40, 2), with(45, "-y")},
  };
  for (const SceneCase &each : cases) {
    const std::string input = write_scene(each.scene);
    const LevellingOutcome outcome = level(input, path("level.ply"), each.request);
    ASSERT_EQ(kLevelled, outcome.status) << each.what << ": " << outcome.message;
    const test::CloudPointsRead levelled = test::read_cloud_points(path("level.ply"));
    ASSERT_EQ(each.scene.size(), levelled.x.size()) << each.what;
    const Levelness result = levelness(each.scene, levelled);
    EXPECT_LT(result.degrees, 0.02) << each.what;
    EXPECT_TRUE(result.others_above) << each.what;
  }
}

TEST_F(CloudLevellingTest, SteepPlanesAndWallsAreRefusedUnlessTheLimitTakesThem) {
  const std::string steep = write_scene(turned(test::room_scene(3.0, 4.0, 0.0), 60, 0),
                                        "steep.ply");
  const LevellingOutcome refused = level(steep, path("out.ply"));
  EXPECT_EQ(kNoPlane, refused.status);
  EXPECT_NE(std::string::npos,
            refused.message.find("the largest plane is tilted 60.0 degrees from +z and holds "
                                 "79% of the points; --max-tilt 61 would level it"))
      << refused.message;
  EXPECT_FALSE(fs::exists(path("out.ply")));

  // A wall with 1 mm noise: refused by default, levelled with --max-tilt 90.
  Scene wall;
  std::mt19937_64 random(4);
  test::add_patch(&wall, &random, 20000, {0, 0, 0}, {6, 0, 0}, {0, 0, 3}, 0.001, true);
  const std::string wall_file = write_scene(wall, "wall.ply");
  const LevellingOutcome wall_refused = level(wall_file, "");
  EXPECT_EQ(kNoPlane, wall_refused.status);
  EXPECT_NE(std::string::npos, wall_refused.message.find("--max-tilt 90 would level it"))
      << wall_refused.message;
  ASSERT_EQ(kLevelled, level(wall_file, path("wall-level.ply"), with(90)).status);
  EXPECT_LT(levelness(wall, test::read_cloud_points(path("wall-level.ply"))).degrees, 0.02);

  // A plane at 85 degrees with noise 0.2 on a 10 m patch.
  Scene plane;
  const double s = std::sin(85 * kRadiansPerDegree), c = std::cos(85 * kRadiansPerDegree);
  test::add_patch(&plane, &random, 100000, {0, 0, 0}, {10 * c, 0, -10 * s}, {0, 10, 0}, 0.2,
                  true);
  ASSERT_EQ(kLevelled, level(write_scene(plane, "steep85.ply"), path("steep85-level.ply"),
                             with(90)).status);
  EXPECT_LT(levelness(plane, test::read_cloud_points(path("steep85-level.ply"))).degrees, 0.05);
}

TEST_F(CloudLevellingTest, SurfacesThatAreNoPlaneAreNotTakenForOne) {
  // Each scene's known plane must come out level, upside up: ground falling away from its flat
  // core (the plane is the core, not the curve's average; the rest lies below it), a floor
  // beside steps and a slab of clutter that hold more points than it within a band slanted
  // across them, a steep floor under a table with a box on it.
  const struct {
    SceneCase scene;
    bool others_above;
  } cases[] = {
      {{"ground falling away from a flat core", turned(test::flat_core_scene(), 3, -2),
        with(45)}, false},
      {{"a floor beside steps and a slab", turned(test::floor_slab_and_steps_scene(), 2, 1),
        with(45)}, true},
      {{"a depth camera's floor at 48 degrees under a table with a box on it",
        turned(test::table_and_box_scene(), 90 + 48, 3), with(50, "-y")}, true},
  };
  for (const auto &each : cases) {
    const char *what = each.scene.what;
    const LevellingOutcome outcome = level(write_scene(each.scene.scene), path("level.ply"),
                                           each.scene.request);
    ASSERT_EQ(kLevelled, outcome.status) << what << ": " << outcome.message;
    const Levelness result =
        levelness(each.scene.scene, test::read_cloud_points(path("level.ply")));
    EXPECT_LT(result.degrees, 0.1) << what << ": " << outcome.report;
    EXPECT_EQ(each.others_above, result.others_above) << what;
  }
  // Within the default 45 degrees, that floor is refused, naming the limit that would level it,
  // rather than the table top and the box's top levelled as one plane.
  const LevellingOutcome refused =
      level(write_scene(turned(test::table_and_box_scene(), 90 + 48, 3)), path("steep.ply"),
            with(45, "-y"));
  EXPECT_EQ(kNoPlane, refused.status) << refused.report;
  EXPECT_NE(std::string::npos, refused.message.find("--max-tilt 49 would level it"))
      << refused.message;
}

TEST_F(CloudLevellingTest, LevellingAgainTurnsNoFurtherAndTheBytesRepeat) {
  const std::string input =
      write_scene(turned(test::terrain_scene(), -1.5, 0.9, {512345, 4012345, 0}));
  ASSERT_EQ(kLevelled, level(input, path("once.ply")).status);
  ASSERT_EQ(kLevelled, level(input, path("same.ply")).status);
  EXPECT_TRUE(test::read_bytes(path("once.ply")) == test::read_bytes(path("same.ply")));
  const LevellingOutcome again = level(path("once.ply"), path("twice.ply"));
  ASSERT_EQ(kLevelled, again.status) << again.message;
  EXPECT_LT(json_number(again.report, "tilt_degrees"), 0.005) << again.report;
}

TEST_F(CloudLevellingTest, ReportStatesTheTransformThatWasApplied) {
  const Scene scene = turned(test::room_scene(), 3, 4, {10, 20, 30});
  const std::string input = write_scene(scene);
  const LevellingOutcome outcome = level(input, path("level.ply"));
  ASSERT_EQ(kLevelled, outcome.status) << outcome.message;
  const std::string &json = outcome.report;
  // The matrix maps every input point onto its output point.
  const test::CloudPointsRead levelled = test::read_cloud_points(path("level.ply"));
  double m[4][4];
  expect_moved_by_reported_matrix(scene, json, levelled, m);
  // The tilt is what was typed, about 5 degrees; the inliers are the floor's 6000 and the
  // walls' feet; the rms is the 3 mm noise; the pivot, the inliers' centroid, stays in place.
  EXPECT_NEAR(std::acos(std::cos(3 * kRadiansPerDegree) * std::cos(4 * kRadiansPerDegree)) /
                  kRadiansPerDegree,
              json_number(json, "tilt_degrees"), 0.02);
  EXPECT_NEAR(6000, json_number(json, "inliers"), 200);
  EXPECT_NEAR(0.003, json_number(json, "rms"), 0.0003);
  EXPECT_EQ(scene.size(), size_t(json_number(json, "points")));
  const size_t pivot_at = json.find("\"pivot\": [") + 10;
  const double pivot[3] = {std::strtod(json.c_str() + pivot_at, nullptr),
                           std::strtod(json.c_str() + json.find(", ", pivot_at) + 2, nullptr),
                           std::strtod(json.c_str() + json.find(", ", json.find(", ", pivot_at) + 2) + 2, nullptr)};
  for (int r = 0; r < 3; ++r) {
    EXPECT_NEAR(pivot[r], m[r][0] * pivot[0] + m[r][1] * pivot[1] + m[r][2] * pivot[2] + m[r][3],
                1e-9);  // the pivot stays in place
  }
  // The inliers' centroid is the pivot: the floor stays where it was, on average.
  double floor_z = 0.0;
  for (size_t i : scene.plane) {
    floor_z += levelled.z[i];
  }
  EXPECT_NEAR(pivot[2], floor_z / double(scene.plane.size()), 0.001);

  // A name with a backslash and a quote is escaped in the JSON report; an ASCII PLY levelled
  // to a .ply name stays ASCII.
  const std::string odd = path("odd \\ \"name\".ply");
  test::write_bytes(odd, test::ply_bytes(PlyEncoding::kAscii, test::xyz_columns(scene.x, scene.y, scene.z)));
  // PLY to a .csv name: commas throughout, the names line included.
  ASSERT_EQ(kLevelled, level(input, path("level.csv")).status);
  const std::string csv = test::read_bytes(path("level.csv"));
  EXPECT_EQ(0u, csv.find("# x,y,z,red\n"));
  EXPECT_EQ(3, std::count(csv.begin() + long(csv.find('\n')) + 1,
                          csv.begin() + long(csv.find('\n', csv.find('\n') + 1)), ','));
  const LevellingOutcome escaped = level(odd, path("ascii.ply"));
  ASSERT_EQ(kLevelled, escaped.status) << escaped.message;
  EXPECT_NE(std::string::npos, escaped.report.find("odd \\\\ \\\"name\\\".ply\", ")) << escaped.report;
  EXPECT_EQ(0u, test::read_bytes(path("ascii.ply")).find("ply\nformat ascii 1.0\n"));
}

TEST_F(CloudLevellingTest, EmptyPointsAreCarriedThroughInTheirPlace) {
  // An organised scan: every third point has no return (all NaN); one z alone NaN is malformed.
  Scene scene = turned(test::room_scene(), 2, 2);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (size_t i = 0; i < scene.size(); i += 3) {
    scene.x[i] = scene.y[i] = scene.z[i] = nan;
  }
  // NaNs with payloads of their own (as some drivers write them): kept bit for bit.
  const auto payload = [](uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return double(value);
  };
  for (size_t i = 0; i < scene.size(); i += 3) {
    scene.x[i] = payload(0x7fc00001u);
    scene.y[i] = payload(0x7fc00002u);
    scene.z[i] = payload(0xffc00003u);
  }
  const std::vector<test::Column> columns = {{"x", PlyType::kFloat32, scene.x},
                                             {"y", PlyType::kFloat32, scene.y},
                                             {"z", PlyType::kFloat32, scene.z}};
  const std::string input = path("organised.ply");
  test::write_bytes(input, test::ply_bytes(PlyEncoding::kBinaryLittleEndian, columns));
  const LevellingOutcome outcome = level(input, path("level.ply"));
  ASSERT_EQ(kLevelled, outcome.status) << outcome.message;
  EXPECT_EQ((scene.size() + 2) / 3, size_t(json_number(outcome.report, "empty_points")));
  const std::string before = test::read_bytes(input), after = test::read_bytes(path("level.ply"));
  ASSERT_EQ(before.size(), after.size());
  const size_t header = before.find("end_header\n") + 11;
  for (size_t i = 0; i < scene.size(); i += 3) {
    EXPECT_EQ(before.substr(header + 12 * i, 12), after.substr(header + 12 * i, 12)) << i;
  }
  const test::CloudPointsRead levelled = test::read_cloud_points(path("level.ply"));
  EXPECT_FALSE(std::isnan(levelled.x[1]));

  // Text clouds too, the "nan" as it was written.
  test::write_bytes(path("organised.xyz"), "1 2 0\nNaN NaN NaN\n0 1 0.01\n2 2 0\n1 0 0.01\n");
  ASSERT_EQ(kLevelled, level(path("organised.xyz"), path("level.xyz"), with(45)).status);
  EXPECT_NE(std::string::npos, test::read_bytes(path("level.xyz")).find("\nNaN NaN NaN\n"));

  test::write_bytes(path("broken.xyz"), "1 2 0\n0 0 nan\n0 1 0\n2 2 0\n");
  const LevellingOutcome broken = level(path("broken.xyz"), "");
  EXPECT_EQ(kMalformedInput, broken.status);
  EXPECT_NE(std::string::npos, broken.message.find("line 2: z is not a finite number"))
      << broken.message;
}

TEST_F(CloudLevellingTest, FitOfAllPointsLevelsACleanPlane) {
  Scene plane;
  std::mt19937_64 random(6);
  test::add_patch(&plane, &random, 5000, {0, 0, 0}, {10, 0, 1}, {0, 10, -0.5}, 0.01, true);
  LevellingRequest request;
  request.fit = FitMethod::kAll;
  const LevellingOutcome outcome = level(write_scene(plane), path("level.ply"), request);
  ASSERT_EQ(kLevelled, outcome.status) << outcome.message;
  EXPECT_EQ(5000, json_number(outcome.report, "inliers"));
  EXPECT_LT(levelness(plane, test::read_cloud_points(path("level.ply"))).degrees, 1e-9);
}

TEST_F(CloudLevellingTest, FailingReadsAndWritesSayWhatAndLeaveTheTargetAlone) {
  const std::string input = write_scene(turned(test::room_scene(), 1, 1));
  const LevellingOutcome full = level(input, "/dev/full");
  EXPECT_EQ(kUnwritableOutput, full.status);
  EXPECT_EQ("/dev/full: No space left on device", full.message);
  const LevellingOutcome folder = level(dir_.string(), path("out.ply"));
  EXPECT_EQ(kUnreadableInput, folder.status);
  EXPECT_EQ(dir_.string() + ": Is a directory", folder.message);
  test::write_bytes(path("kept.ply"), "kept");
  const LevellingOutcome missing = level(path("missing.ply"), path("kept.ply"));
  EXPECT_EQ(kUnreadableInput, missing.status);
  EXPECT_EQ("kept", test::read_bytes(path("kept.ply")));
}

TEST(UpDirectionTest, ParsesAxesVectorsAndAuto) {
  const struct {
    const char *text;
    bool valid;
    double axis[3];
    const char *name;
  } cases[] = {
      {"z", true, {0, 0, 1}, "+z"},     {"-y", true, {0, -1, 0}, "-y"},
      {"+x", true, {1, 0, 0}, "+x"},    {"0,-1,0.5", true, {0, -1, 0.5}, "(0,-1,0.5)"},
      {"auto", true, {0, 0, 1}, "auto"}, {"w", false, {}, ""},
      {"0,0,0", false, {}, ""},         {"1,2", false, {}, ""},
      {"1,2,3,", false, {}, ""},        {"nan,0,1", false, {}, ""},
  };
  for (const auto &each : cases) {
    UpDirection up;
    ASSERT_EQ(each.valid, parse_up_direction(each.text, &up)) << each.text;
    if (each.valid) {
      EXPECT_EQ(each.name, up.name) << each.text;
      for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(each.axis[k], up.axis[k]) << each.text;
      }
    }
  }
}

// The 16 numbers of a saved transform, in order.
std::vector<double> transform_numbers(const std::string &path) {
  std::istringstream text(test::read_bytes(path));
  std::vector<double> numbers;
  for (double value; text >> value;) {
    numbers.push_back(value);
  }
  return numbers;
}

TEST_F(CloudLevellingTest, SavedTransformsReproduceAndUndoALevelling) {
  const Scene scene = turned(test::room_scene(), 3, -2, {100, 200, 30});
  const std::string input = write_scene(scene);
  LevellingRequest saving;
  saving.save_transform = path("t.txt");
  ASSERT_EQ(kLevelled, level(input, path("fitted.ply"), saving).status);
  const std::string saved = test::read_bytes(path("t.txt"));
  EXPECT_EQ(4, std::count(saved.begin(), saved.end(), '\n'));
  EXPECT_EQ(16u, transform_numbers(path("t.txt")).size());
  EXPECT_TRUE(saved.substr(saved.size() - 8) == "0 0 0 1\n") << saved;

  // Applied, the saved matrix writes the same bytes (in one pass, for PLY and PCD); its inverse
  // gives the input back.
  LevellingRequest applying;
  applying.transform = path("t.txt");
  const LevellingOutcome applied = level(input, path("applied.ply"), applying);
  ASSERT_EQ(kLevelled, applied.status) << applied.message;
  EXPECT_NE(std::string::npos, applied.report.find("\"transform\": "));
  EXPECT_TRUE(test::read_bytes(path("fitted.ply")) == test::read_bytes(path("applied.ply")));
  test::write_bytes(path("scene.pcd"),
                    test::pcd_bytes("binary", test::xyz_columns(scene.x, scene.y, scene.z)));
  ASSERT_EQ(kLevelled, level(path("scene.pcd"), path("fitted.pcd"), saving).status);
  ASSERT_EQ(kLevelled, level(path("scene.pcd"), path("applied.pcd"), applying).status);
  EXPECT_TRUE(test::read_bytes(path("fitted.pcd")) == test::read_bytes(path("applied.pcd")));
  applying.inverse = true;
  ASSERT_EQ(kLevelled, level(path("applied.ply"), path("undone.ply"), applying).status);
  const test::CloudPointsRead undone = test::read_cloud_points(path("undone.ply"));
  ASSERT_EQ(scene.size(), undone.x.size());
  for (size_t i = 0; i < scene.size(); ++i) {
    EXPECT_NEAR(scene.x[i], undone.x[i], 1e-9 * 4);
    EXPECT_NEAR(scene.y[i], undone.y[i], 1e-9 * 4);
    EXPECT_NEAR(scene.z[i], undone.z[i], 1e-9 * 4);
  }

  // Faults: a matrix that is no rigid motion, a file of the wrong size, a missing one, and an
  // unwritable place to save one, said before any cloud is written.
  const struct {
    const char *contents;  // nullptr: no file
    int status;
    const char *message;
  } faults[] = {
      {"1.001 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n", kMalformedInput,
       "is not a rigid motion (a rotation and a translation): its rotation's columns are not "
       "orthonormal"},
      {"-1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n", kMalformedInput, "it mirrors"},
      {"1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0\n", kMalformedInput,
       "holds 15 numbers, not the 16 of a 4 x 4 matrix"},
      {"1 0 0 0 # x\n0 1 0 0\n0 0 1 O\n0 0 0 1\n", kMalformedInput, "'O' is not a number"},
      {nullptr, kUnreadableInput, "No such file or directory"},
  };
  for (const auto &fault : faults) {
    fs::remove(path("bad.txt"));
    if (fault.contents != nullptr) {
      test::write_bytes(path("bad.txt"), fault.contents);
    }
    LevellingRequest bad;
    bad.transform = path("bad.txt");
    const LevellingOutcome outcome = level(input, path("never.ply"), bad);
    EXPECT_EQ(fault.status, outcome.status) << fault.message;
    EXPECT_NE(std::string::npos, outcome.message.find(fault.message)) << outcome.message;
  }
  LevellingRequest nowhere;
  nowhere.save_transform = path("missing/t.txt");
  EXPECT_EQ(kUnwritableOutput, level(input, path("never.ply"), nowhere).status);
  EXPECT_FALSE(fs::exists(path("never.ply")));
}

TEST_F(CloudLevellingTest, TilesLevelledTogetherAreLevelledAsTheirWholeCloud) {
  // A georeferenced site in eight tiles by x, in three formats; their concatenation in tile
  // order is the whole cloud.
  const Scene scene = turned(test::terrain_scene(24000), 1.2, -0.7, {512345, 4012345, 80});
  constexpr int kTiles = 8;
  std::vector<std::vector<size_t>> tiles(kTiles);
  for (size_t i = 0; i < scene.size(); ++i) {
    const int tile = std::clamp(int((scene.x[i] - 512345) / 50.0), 0, kTiles - 1);
    tiles[size_t(tile)].push_back(i);
  }
  Scene whole;
  std::vector<size_t> place(scene.size());  // each point's index in the whole cloud
  LevellingRequest together;
  for (int t = 0; t < kTiles; ++t) {
    Scene tile;
    for (size_t i : tiles[size_t(t)]) {
      place[i] = whole.size();
      for (auto [from, to, into] : {std::tuple(&scene.x, &tile.x, &whole.x),
                                    std::tuple(&scene.y, &tile.y, &whole.y),
                                    std::tuple(&scene.z, &tile.z, &whole.z)}) {
        to->push_back((*from)[i]);
        into->push_back((*from)[i]);
      }
    }
    const std::vector<test::Column> columns = test::xyz_columns(tile.x, tile.y, tile.z);
    const std::string name = "tile" + std::to_string(t) + (t < 3 ? ".ply" : t < 6 ? ".pcd" : ".xyz");
    test::write_bytes(path(name), t < 3   ? test::ply_bytes(PlyEncoding::kBinaryLittleEndian, columns)
                                  : t < 6 ? test::pcd_bytes("binary", columns)
                                          : test::text_bytes(columns));
    together.inputs.push_back(path(name));
  }
  LevellingRequest alone;
  alone.save_transform = path("whole.txt");
  const std::string whole_input = write_scene(whole, "whole.ply");
  ASSERT_EQ(kLevelled, level(whole_input, path("whole-level.ply"), alone).status);

  fs::create_directory(path("out"));
  together.output_dir = path("out");
  together.save_transform = path("tiles.txt");
  together.jobs = 3;
  together.progress = false;
  together.sync = false;
  const LevellingOutcome outcome = level_cloud(together);
  ASSERT_EQ(kLevelled, outcome.status) << outcome.message;
  EXPECT_NE(std::string::npos, outcome.report.find("8 clouds levelled as one"));

  // One transform, the whole cloud's (to rounding); every tile's points where the whole
  // cloud's levelling puts them; the ground level.
  const std::vector<double> joint = transform_numbers(path("tiles.txt"));
  const std::vector<double> single = transform_numbers(path("whole.txt"));
  ASSERT_EQ(16u, joint.size());
  for (size_t k = 0; k < 16; ++k) {
    EXPECT_NEAR(single[k], joint[k], k % 4 == 3 ? 1e-7 : 1e-12) << k;
  }
  const test::CloudPointsRead levelled = test::read_cloud_points(path("whole-level.ply"));
  constexpr double kExtent = 400.0;
  Scene joined = whole;
  for (int t = 0; t < kTiles; ++t) {
    const std::string name = fs::path(together.inputs[size_t(t)]).filename().string();
    const test::CloudPointsRead tile = test::read_cloud_points(path("out/" + name));
    ASSERT_EQ(tiles[size_t(t)].size(), tile.x.size()) << name;
    for (size_t j = 0; j < tile.x.size(); ++j) {
      const size_t at = place[tiles[size_t(t)][j]];
      // To rounding: 1e-12 of the extent, or a few units in the last place of a coordinate
      // in the millions.
      const auto close = [&](double a, double b) {
        return std::fabs(a - b) <= 1e-12 * kExtent + 4 * (std::nextafter(std::fabs(a), HUGE_VAL) -
                                                          std::fabs(a));
      };
      EXPECT_TRUE(close(levelled.x[at], tile.x[j])) << name << " " << levelled.x[at] - tile.x[j];
      EXPECT_TRUE(close(levelled.y[at], tile.y[j])) << name << " " << levelled.y[at] - tile.y[j];
      EXPECT_TRUE(close(levelled.z[at], tile.z[j])) << name << " " << levelled.z[at] - tile.z[j];
      joined.x[at] = tile.x[j];
      joined.y[at] = tile.y[j];
      joined.z[at] = tile.z[j];
    }
  }
  Scene ground = whole;
  ground.plane.clear();
  for (size_t i : scene.plane) {
    ground.plane.push_back(place[i]);
  }
  test::CloudPointsRead joined_points;
  joined_points.x = joined.x;
  joined_points.y = joined.y;
  joined_points.z = joined.z;
  EXPECT_LT(levelness(ground, joined_points).degrees, 0.02);
}

TEST_F(CloudLevellingTest, OneSampleWhateverTheFilesAndHowTheirRecordsAreRead) {
  // 96000 points, every fifth one empty: more records than a binary file's first pass reads
  // whole, so its sampled records are picked (in rounds, the empty ones leaving it short),
  // while text and ASCII are read through. The automatic threshold is a function of the sample
  // alone: the same sample gives the same bits, another sample other ones.
  Scene scene = turned(test::terrain_scene(90000), 2.0, -1.0, {512345, 4012345, 80});
  for (size_t i = 0; i < scene.size(); i += 5) {
    scene.x[i] = scene.y[i] = scene.z[i] = std::nan("");
  }
  const auto store = [&](const std::string &name, size_t begin, size_t end) {
    const std::vector<double> x(scene.x.begin() + long(begin), scene.x.begin() + long(end));
    const std::vector<double> y(scene.y.begin() + long(begin), scene.y.begin() + long(end));
    const std::vector<double> z(scene.z.begin() + long(begin), scene.z.begin() + long(end));
    const std::vector<test::Column> columns = test::xyz_columns(x, y, z);
    const std::string extension = fs::path(name).extension().string();
    const bool ascii = name.find("ascii") != std::string::npos;
    test::write_bytes(path(name),
                      extension == ".xyz"   ? test::text_bytes(columns)
                      : extension == ".pcd" ? test::pcd_bytes(ascii ? "ascii" : "binary", columns)
                                            : test::ply_bytes(ascii ? PlyEncoding::kAscii
                                                                    : PlyEncoding::kBinaryLittleEndian,
                                                              columns));
    return path(name);
  };
  const size_t n = scene.size();
  const struct {
    const char *what;
    std::vector<std::pair<std::string, size_t>> files;  // each file and where it ends
  } stores[] = {
      {"one binary PLY", {{"all.ply", n}}},
      {"one ASCII PLY", {{"all-ascii.ply", n}}},
      {"one text file", {{"all.xyz", n}}},
      {"one binary PCD", {{"all.pcd", n}}},
      {"one ASCII PCD", {{"all-ascii.pcd", n}}},
      {"eight binary PLY", {{"e0.ply", n / 8}, {"e1.ply", n / 4}, {"e2.ply", 3 * n / 8},
                            {"e3.ply", n / 2}, {"e4.ply", 5 * n / 8}, {"e5.ply", 3 * n / 4},
                            {"e6.ply", 7 * n / 8}, {"e7.ply", n}}},
      {"a large binary file then text and ASCII",
       {{"large.pcd", 80000}, {"rest.xyz", 90000}, {"last-ascii.ply", n}}},
  };
  std::string first_threshold;
  double first_tilt = NAN;
  for (const auto &each : stores) {
    LevellingRequest request;
    size_t begin = 0;
    for (const auto &[name, end] : each.files) {
      request.inputs.push_back(store(name, begin, end));
      begin = end;
    }
    request.progress = false;
    request.report = ReportForm::kJson;
    const LevellingOutcome outcome = level_cloud(request);
    ASSERT_EQ(kLevelled, outcome.status) << each.what << ": " << outcome.message;
    const std::string &json = outcome.report;
    EXPECT_EQ(n, size_t(json_number(json, "points"))) << each.what;
    EXPECT_EQ(n / 5, size_t(json_number(json, "empty_points"))) << each.what;
    const size_t at = json.find("\"threshold\": ");
    const std::string threshold = json.substr(at, json.find(',', at) - at);
    if (first_threshold.empty()) {
      first_threshold = threshold;
      first_tilt = json_number(json, "tilt_degrees");
    }
    EXPECT_EQ(first_threshold, threshold) << each.what;
    EXPECT_NEAR(first_tilt, json_number(json, "tilt_degrees"), 1e-9) << each.what;
  }
  // Another seed: another sample, another threshold.
  LevellingRequest other;
  other.inputs = {path("all.ply")};
  other.seed = 2;
  other.progress = false;
  other.report = ReportForm::kJson;
  const LevellingOutcome outcome = level_cloud(other);
  ASSERT_EQ(kLevelled, outcome.status) << outcome.message;
  EXPECT_EQ(std::string::npos, outcome.report.find(first_threshold + ","));
}

}  // namespace
}  // namespace levelling
