// Levelling in process, for the tests of the run: a fixture that writes generated scenes as
// PLY files and levels them through level_cloud, and what the tests measure afterwards (how
// level the known plane came out, whether the points moved by the matrix the report states).
#ifndef LEVELLING_TESTS_SUPPORT_LEVEL_IN_PROCESS_H
#define LEVELLING_TESTS_SUPPORT_LEVEL_IN_PROCESS_H

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "cloud/cloud_levelling.h"
#include "plane/orthogonal_fit.h"
#include "tests/support/cloud_files.h"
#include "tests/support/cloud_runs.h"
#include "tests/support/scenes.h"

namespace levelling::test {

class CloudLevellingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::fresh_test_folder("cloud_levelling");
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string &name) const { return (dir_ / name).string(); }

  // Writes the scene as a binary PLY of doubles with a colour, and returns its path.
  std::string write_scene(const Scene &scene, const std::string &name = "scene.ply") const {
    std::vector<test::Column> columns = test::xyz_columns(scene.x, scene.y, scene.z);
    std::vector<double> red(scene.size());
    for (size_t i = 0; i < red.size(); ++i) {
      red[i] = double(i % 256);
    }
    columns.push_back({"red", PlyType::kUint8, red});
    test::write_bytes(path(name), test::ply_bytes(PlyEncoding::kBinaryLittleEndian, columns));
    return path(name);
  }

  // Levels `input` into `output` with the request's other fields as given.
  LevellingOutcome level(const std::string &input, const std::string &output,
                         LevellingRequest request = LevellingRequest()) const {
    request.inputs = {input};
    request.output = output;
    request.progress = false;
    request.sync = false;
    request.report = ReportForm::kJson;
    return level_cloud(request);
  }

  fs::path dir_;
};

// The degrees between +z and the orthogonal fit of the known plane's points in `levelled`,
// and whether the scene's other points lie above that plane on the whole.
struct Levelness {
  double degrees = NAN;
  bool others_above = false;
};

inline Levelness levelness(const Scene &scene, const test::CloudPointsRead &levelled) {
  CloudFit fit;
  for (size_t i : scene.plane) {
    cloud_fit_add(&fit, 1, &levelled.x[i], &levelled.y[i], &levelled.z[i]);
  }
  const OrthogonalPlane plane = orthogonal_fit(fit);
  Levelness result;
  result.degrees = std::acos(std::fmin(1.0, plane.normal[2])) / kRadiansPerDegree;
  double height = 0.0;
  for (size_t i = 0; i < levelled.z.size(); ++i) {
    height += levelled.z[i] - plane.centroid[2];
  }
  result.others_above = height > 0.0;
  return result;
}

inline LevellingRequest with(double max_tilt, const std::string &up = "z") {
  LevellingRequest request;
  request.max_tilt_degrees = max_tilt;
  EXPECT_TRUE(parse_up_direction(up, &request.up)) << up;
  return request;
}

// Expects every 97th point of `levelled` to be the scene's moved by the 4 x 4 matrix the JSON
// report gives, into m.
inline void expect_moved_by_reported_matrix(const Scene &scene, const std::string &json,
                                     const test::CloudPointsRead &levelled, double (&m)[4][4]) {
  const size_t at = json.find("\"matrix\": [[");
  ASSERT_NE(std::string::npos, at);
  const char *p = json.c_str() + at + 11;
  for (auto &row : m) {
    for (double &value : row) {
      while (*p == '[' || *p == ',' || *p == ' ' || *p == ']') {
        ++p;
      }
      char *end = nullptr;
      value = std::strtod(p, &end);
      p = end;
    }
  }
  for (size_t i = 0; i < scene.size(); i += 97) {
    const double in[4] = {scene.x[i], scene.y[i], scene.z[i], 1.0};
    const double out[3] = {levelled.x[i], levelled.y[i], levelled.z[i]};
    for (int r = 0; r < 3; ++r) {
      const double mapped = m[r][0] * in[0] + m[r][1] * in[1] + m[r][2] * in[2] + m[r][3];
      EXPECT_NEAR(out[r], mapped, 1e-9) << i;
    }
  }
}

struct SceneCase {
  const char *what;
  Scene scene;
  LevellingRequest request;
};

}  // namespace levelling::test

#endif  // LEVELLING_TESTS_SUPPORT_LEVEL_IN_PROCESS_H
