// The floor survey in-process: flatness in the industry's numbers in the floor's own units,
// and walls turned along the axes.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "cloud/cloud_levelling.h"
#include "tests/support/level_in_process.h"
#include "tests/support/scenes.h"

namespace levelling {
namespace {

namespace fs = std::filesystem;
using test::kRadiansPerDegree;
using test::Scene;
using test::expect_moved_by_reported_matrix;
using test::json_number;
using test::levelness;
using test::turned;
using test::with;

class FloorSurveyTest : public test::CloudLevellingTest {};

TEST_F(FloorSurveyTest, FlatnessIsMeasuredInTheUnitsTheFloorIsIn) {
  // A wavy floor 12 m square (2 mm waves 4 m long), tilted, in metres and in millimetres.
  const auto floor_in = [](double unit) {
    Scene floor;
    for (double y = 0.0125; y < 12; y += 0.025) {
      for (double x = 0.0125; x < 12; x += 0.025) {
        floor.plane.push_back(floor.x.size());
        floor.x.push_back(x / unit);
        floor.y.push_back(y / unit);
        floor.z.push_back((0.002 * std::sin(x * test::kPi / 2) + 0.1 * x / 12) / unit);
      }
    }
    return floor;
  };
  LevellingRequest metres = with(45);
  metres.flatness = true;
  const std::string in_metres = write_scene(floor_in(1.0), "metres.ply");
  // A PLY file says no units: refused rather than guessed, nothing written.
  const LevellingOutcome unsaid = level(in_metres, path("level.ply"), metres);
  EXPECT_EQ(kUsage, unsaid.status);
  EXPECT_NE(std::string::npos, unsaid.message.find("give --units")) << unsaid.message;
  EXPECT_FALSE(fs::exists(path("level.ply")));
  metres.units = "m";
  const LevellingOutcome m = level(in_metres, path("level.ply"), metres);
  ASSERT_EQ(kLevelled, m.status) << m.message;
  LevellingRequest millimetres = metres;
  millimetres.units = "mm";
  const LevellingOutcome mm =
      level(write_scene(floor_in(0.001), "millimetres.ply"), "", millimetres);
  ASSERT_EQ(kLevelled, mm.status) << mm.message;
  // FF from the waves' curvature over 12-inch readings (FL from 10-ft differences likewise).
  const double sq = 4 * std::pow(std::sin(test::kPi * 0.3048 / 4), 2) * 0.002 / std::sqrt(2.0);
  const double ff = 4.57 / (3 * sq / 0.0254);
  const double ff_m = json_number(m.report, "ff"), ff_mm = json_number(mm.report, "ff");
  // (Half the lines run along the waves' crests: their curvature is none, and the composite
  // pools them: the deviation of the whole is that of the waves over the square root of 2.)
  EXPECT_NEAR(ff * std::sqrt(2.0), ff_m, 0.05 * ff * std::sqrt(2.0)) << m.report;
  EXPECT_NEAR(ff_m, ff_mm, 1e-6 * ff_m);
  EXPECT_NE(std::string::npos, m.report.find("\"rows_met\": [1, 2, 3, 4]")) << m.report;
  // A LAS floor in feet (its WKT says so) with a dip 0.03 ft (9.1 mm) deep and 1.2 ft across:
  // the units are the file's, and under a metre's span the gap is the dip's 9.1 mm, which only
  // row 1 (15 mm) keeps to.
  std::vector<std::array<int32_t, 3>> xyz;
  for (int y = 0; y < 4000; y += 10) {
    for (int x = 0; x < 4000; x += 10) {  // hundredths of a foot, offsets 1000 and 2000 ft
      xyz.push_back({x, y, std::hypot(x - 2000, y - 2000) < 60 ? -3 : 0});
    }
  }
  const std::string feet_wkt =
      "PROJCS[\"x\",GEOGCS[\"g\",DATUM[\"d\",SPHEROID[\"s\",6378137,298.257]],"
      "UNIT[\"degree\",0.0174532925199433]],UNIT[\"foot\",0.3048,AUTHORITY[\"EPSG\",\"9002\"]]]";
  test::write_bytes(path("feet.las"), test::las_bytes(test::LasLayout(), xyz, {{2112, feet_wkt}}));
  LevellingRequest from_file = with(45);
  from_file.flatness = true;
  const LevellingOutcome feet = level(path("feet.las"), "", from_file);
  ASSERT_EQ(kLevelled, feet.status) << feet.message;
  EXPECT_NE(std::string::npos, feet.report.find("\"units\": \"feet\"")) << feet.report;
  const size_t metre = feet.report.find("{\"distance_m\": 1,");
  ASSERT_NE(std::string::npos, metre) << feet.report;
  const std::string at_a_metre = feet.report.substr(metre, feet.report.find('}', metre) - metre);
  EXPECT_NEAR(9.144, json_number(at_a_metre, "largest_gap_mm"), 0.05) << at_a_metre;
  EXPECT_NE(std::string::npos, at_a_metre.find("\"rows_met\": [1]")) << at_a_metre;
  // Too small a floor for a sample line: said, in the text report too.
  Scene small;
  std::mt19937_64 random(3);
  test::add_patch(&small, &random, 20000, {0, 0, 0}, {2, 0, 0}, {0, 2, 0}, 0.0005, true);
  LevellingRequest text = metres;
  text.report = ReportForm::kText;
  text.inputs = {write_scene(small, "small.ply")};
  text.progress = false;
  const LevellingOutcome said = level_cloud(text);
  ASSERT_EQ(kLevelled, said.status) << said.message;
  EXPECT_NE(std::string::npos, said.report.find("no F-numbers: no sample line of 12 readings"))
      << said.report;
}

TEST_F(FloorSurveyTest, YawWallsPutsTheWallsAlongTheAxes) {
  // Rooms turned by known yaws (and tilted): each wall ends within 0.2 degrees of x or y, the
  // floor level, the cameras' and every other attribute's motion the reported matrix.
  LevellingRequest walls = with(45);
  walls.yaw = YawChoice::kWalls;
  for (const double yaw : {17.0, -33.0, 44.0, 61.0}) {
    const Scene room = turned(test::walled_room_scene(yaw), 1.5, -2);
    const LevellingOutcome outcome = level(write_scene(room), path("level.ply"), walls);
    ASSERT_EQ(kLevelled, outcome.status) << yaw << ": " << outcome.message;
    const test::CloudPointsRead levelled = test::read_cloud_points(path("level.ply"));
    EXPECT_LT(levelness(room, levelled).degrees, 0.02) << yaw;
    for (const std::vector<size_t> &wall : room.walls) {
      CloudFit fit;
      for (size_t i : wall) {
        cloud_fit_add(&fit, 1, &levelled.x[i], &levelled.y[i], &levelled.z[i]);
      }
      const OrthogonalPlane plane = orthogonal_fit(fit);
      const double azimuth = std::atan2(plane.normal[1], plane.normal[0]) / kRadiansPerDegree;
      const double off = std::remainder(azimuth, 90.0);
      EXPECT_LT(std::fabs(off), 0.2) << yaw << ": " << azimuth;
    }
    // The points written are the input's moved by the matrix reported (which moves cameras,
    // splats and poses too).
    double matrix[4][4];
    expect_moved_by_reported_matrix(room, outcome.report, levelled, matrix);
    // The smallest such turn: at most 45 degrees either way.
    EXPECT_LE(std::fabs(json_number(outcome.report, "yaw_degrees")), 45.0) << outcome.report;
    EXPECT_GT(json_number(outcome.report, "walls_share"), 0.5) << outcome.report;
  }
  // A floor and a table without walls: refused (5) with the reason, nothing written; the
  // default keeps the heading.
  const std::string bare = write_scene(turned(test::room_scene(3.0, 4.0, 0.0), 2, 1), "bare.ply");
  const LevellingOutcome refused = level(bare, path("bare-level.ply"), walls);
  EXPECT_EQ(kNoPlane, refused.status) << refused.report;
  EXPECT_NE(std::string::npos, refused.message.find("--yaw walls: no walls found"))
      << refused.message;
  EXPECT_FALSE(fs::exists(path("bare-level.ply")));
  const LevellingOutcome kept = level(bare, path("bare-level.ply"));
  ASSERT_EQ(kLevelled, kept.status);
  EXPECT_NE(std::string::npos, kept.report.find("\"yaw_degrees\": null")) << kept.report;
}

}  // namespace
}  // namespace levelling
