// A reconstruction's files beside its cloud, as the levelling moves them: every camera and
// every point of the cloud fuzzer's seed files moved with the cloud, whatever the file's form,
// and the bytes a motion does not touch kept; damaged files refused with a reason.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "scene/camera_files.h"
#include "scene/colmap_model.h"

namespace levelling {
namespace {

std::string seed(const std::string &name) {
  std::ifstream in(std::string(LEVELLING_SEED_DIR) + "/" + name, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// A turn of 30 degrees about (1, 2, 2) / 3 and a shift: input to output.
struct Motion {
  double m[4][4];
  Motion() {
    const double axis[3] = {1.0 / 3, 2.0 / 3, 2.0 / 3}, c = std::cos(0.5236), s = std::sin(0.5236);
    const double shift[3] = {12.5, -3.0, 0.75};
    for (int r = 0; r < 3; ++r) {
      for (int k = 0; k < 3; ++k) {
        // Rodrigues: c I + s [axis]x + (1 - c) axis axis^T.
        const double cross = r == k ? 0.0 : ((k - r + 3) % 3 == 1 ? -1.0 : 1.0) * axis[3 - r - k];
        m[r][k] = (r == k ? c : 0.0) + s * cross + (1 - c) * axis[r] * axis[k];
      }
      m[r][3] = shift[r];
      m[3][r] = 0.0;
    }
    m[3][3] = 1.0;
  }
  void apply(const double (&in)[3], bool point, double (&out)[3]) const {
    for (int r = 0; r < 3; ++r) {
      out[r] = m[r][0] * in[0] + m[r][1] * in[1] + m[r][2] * in[2] + (point ? m[r][3] : 0.0);
    }
  }
};

void expect_near(const double (&want)[3], const double (&got)[3], const std::string &what) {
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(want[k], got[k], 1e-9) << what << " axis " << k;
  }
}

TEST(SceneFilesTest, CamerasMoveWithTheCloudInEveryForm) {
  const Motion motion;
  for (const char *name : {"cameras.json", "transforms.json", "images.txt", "images.bin"}) {
    const std::string bytes = seed(name);
    ASSERT_FALSE(bytes.empty()) << name;
    CameraFormat format;
    std::string error;
    ASSERT_TRUE(camera_format_of(name, bytes, &format, &error)) << name << ": " << error;
    CameraFile before, after;
    ASSERT_TRUE(parse_cameras(format, bytes, &before, &error)) << name << ": " << error;
    std::string moved;
    ASSERT_TRUE(moved_camera_bytes(before, motion.m, &moved, &error)) << name << ": " << error;
    ASSERT_TRUE(parse_cameras(format, moved, &after, &error)) << name << ": " << error;
    ASSERT_EQ(before.cameras.size(), after.cameras.size()) << name;
    for (size_t i = 0; i < before.cameras.size(); ++i) {
      const CameraPose &was = before.cameras[i], &is = after.cameras[i];
      double centre[3], up[3], right[3];
      motion.apply(was.centre, true, centre);
      motion.apply(was.up, false, up);
      motion.apply(was.right, false, right);
      const std::string what = std::string(name) + " camera " + std::to_string(i);
      expect_near(centre, is.centre, what + " centre");
      expect_near(up, is.up, what + " up");
      expect_near(right, is.right, what + " right");
    }
    // Cut short, the file is refused with a reason (JSON and text lose their closing part).
    CameraFile cut;
    EXPECT_FALSE(parse_cameras(format, bytes.substr(0, bytes.size() / 2 + 1), &cut, &error) &&
                 cut.cameras.size() == before.cameras.size())
        << name;
  }
}

TEST(SceneFilesTest, ModelPointsMoveAndNothingElseOfTheirFileChanges) {
  const Motion motion;
  for (const bool binary : {true, false}) {
    const std::string name = binary ? "points3D.bin" : "points3D.txt";
    const std::string bytes = seed(name);
    ColmapPoints before, after;
    std::string error;
    ASSERT_TRUE(parse_colmap_points(binary, bytes, &before, &error)) << name << ": " << error;
    ASSERT_FALSE(before.xyz.empty()) << name;
    const std::string moved = moved_colmap_points(before, motion.m);
    ASSERT_TRUE(parse_colmap_points(binary, moved, &after, &error)) << name << ": " << error;
    ASSERT_EQ(before.xyz.size(), after.xyz.size()) << name;
    for (size_t i = 0; i < before.xyz.size(); i += 3) {
      const double was[3] = {before.xyz[i], before.xyz[i + 1], before.xyz[i + 2]};
      const double is[3] = {after.xyz[i], after.xyz[i + 1], after.xyz[i + 2]};
      double want[3];
      motion.apply(was, true, want);
      expect_near(want, is, name + " point " + std::to_string(i / 3));
    }
    if (binary) {
      // Only each point's 24 bytes of position differ: ids, colours, errors and tracks stay.
      std::string masked_before = bytes, masked_after = moved;
      for (const auto &span : before.at) {
        masked_before.replace(span.first, 24, 24, '\0');
        masked_after.replace(span.first, 24, 24, '\0');
      }
      EXPECT_TRUE(masked_before == masked_after) << name;
    }
    // Cut inside the last point (text: inside its track's last pair), the file is refused.
    ColmapPoints cut;
    const size_t cut_at = bytes.size() - (binary ? 5 : 3);
    EXPECT_FALSE(parse_colmap_points(binary, bytes.substr(0, cut_at), &cut, &error) &&
                 cut.xyz.size() == before.xyz.size())
        << name;
  }
}

}  // namespace
}  // namespace levelling
