#include "cloud/camera_levelling.h"

#include <algorithm>
#include <cmath>

#include "cloud/run_fault.h"
#include "cloud/transform_file.h"
#include "plane/orthogonal_fit.h"

namespace levelling {

namespace {

// The mean of unit image-ups shorter than this share of one: the cameras agree on no up.
constexpr double kLeastAgreement = 0.1;
// Right axes that tell up: within this RMS angle of one plane (cameras held level, a little
// roll), and spread across it at least this much (cameras facing several ways).
constexpr double kMostRightSpread = 5.0 / kDegreesPerRadian;
constexpr double kLeastRightAcross = 10.0 / kDegreesPerRadian;

// `v` scaled to unit length (zero stays zero).
void unit_of(const double (&v)[3], double (&unit)[3]) {
  const double length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  for (int k = 0; k < 3; ++k) {
    unit[k] = length > 0.0 ? v[k] / length : 0.0;
  }
}

double signed_height(const CameraPose &camera, const OrthogonalPlane &plane) {
  return plane.normal[0] * camera.centre[0] + plane.normal[1] * camera.centre[1] +
         plane.normal[2] * camera.centre[2] - plane.offset;
}

}  // namespace

bool read_camera_file(const std::string &name, CameraFile *file, LevellingOutcome *fault) {
  std::string bytes;
  if (!read_whole_file(name, &bytes, fault)) {
    return false;
  }
  CameraFormat format;
  std::string error;
  if (!camera_format_of(name, bytes, &format, &error)) {
    *fault = failure(name, error, kUnsupportedInput);
    return false;
  }
  if (!parse_cameras(format, bytes, file, &error)) {
    *fault = failure(name, error, kMalformedInput);
    return false;
  }
  return true;
}

bool cameras_up(const std::vector<CameraPose> &cameras, CamerasUp *up) {
  *up = CamerasUp();
  const double n = double(cameras.size());
  double sum[3] = {}, axes[3][3] = {};
  for (const CameraPose &camera : cameras) {
    double image_up[3], right[3];
    unit_of(camera.up, image_up);
    unit_of(camera.right, right);
    for (int k = 0; k < 3; ++k) {
      sum[k] += image_up[k];
      for (int c = 0; c < 3; ++c) {
        axes[k][c] += right[k] * right[c];
      }
    }
  }
  const double length = std::sqrt(sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2]);
  if (!(length > kLeastAgreement * n)) {
    return false;
  }
  double mean_up[3];
  for (int k = 0; k < 3; ++k) {
    mean_up[k] = sum[k] / length;
  }
  // The right axes' spread: about the direction they are perpendicular to (the least
  // eigenvalue), and across the plane they lie in (the middle one, which must be wide enough
  // for that direction to be told).
  double values[3], vectors[3][3];
  symmetric_eigen_3x3(axes, values, vectors);
  const double off = std::sqrt(std::max(0.0, values[2]) / n);
  const double across = std::sqrt(std::max(0.0, values[1]) / n);
  const double normal[3] = {vectors[0][2], vectors[1][2], vectors[2][2]};
  const double sign = normal[0] * mean_up[0] + normal[1] * mean_up[1] + normal[2] * mean_up[2];
  if (off <= std::sin(kMostRightSpread) && across >= std::sin(kLeastRightAcross) &&
      std::fabs(sign) >= kLeastAgreement) {
    for (int k = 0; k < 3; ++k) {
      up->up[k] = sign > 0.0 ? normal[k] : -normal[k];
    }
    up->from_right_axes = true;
    up->spread_degrees = std::asin(std::min(1.0, off)) * kDegreesPerRadian;
    return true;
  }
  std::copy(mean_up, mean_up + 3, up->up);
  double squares = 0.0;
  for (const CameraPose &camera : cameras) {
    double image_up[3];
    unit_of(camera.up, image_up);
    const double cosine = image_up[0] * mean_up[0] + image_up[1] * mean_up[1] +
                          image_up[2] * mean_up[2];
    const double angle = std::acos(std::max(-1.0, std::min(1.0, cosine)));
    squares += angle * angle;
  }
  up->spread_degrees = std::sqrt(squares / n) * kDegreesPerRadian;
  return true;
}

bool orient_by_cameras(const std::vector<CameraPose> &cameras, OrthogonalPlane *plane) {
  int64_t above = 0, below = 0;
  for (const CameraPose &camera : cameras) {
    const double height = signed_height(camera, *plane);
    above += height > 0.0 ? 1 : 0;
    below += height < 0.0 ? 1 : 0;
  }
  if (below <= above) {
    return false;
  }
  for (double &each : plane->normal) {
    each = -each;
  }
  plane->offset = -plane->offset;
  return true;
}

bool moved_cameras(const CameraFile &file, const double (&motion)[4][4], const std::string &name,
                   std::string *bytes, LevellingOutcome *fault) {
  std::string error;
  if (!moved_camera_bytes(file, motion, bytes, &error)) {
    *fault = failure(name, error, kUnsupportedInput);
    return false;
  }
  return true;
}

int64_t cameras_agreeing(const std::vector<CameraPose> &cameras, const OrthogonalPlane &plane) {
  int64_t agreeing = 0;
  for (const CameraPose &camera : cameras) {
    const double facing = camera.up[0] * plane.normal[0] + camera.up[1] * plane.normal[1] +
                          camera.up[2] * plane.normal[2];
    agreeing += signed_height(camera, plane) > 0.0 && facing > 0.0 ? 1 : 0;
  }
  return agreeing;
}

}  // namespace levelling
