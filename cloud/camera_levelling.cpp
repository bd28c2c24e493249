#include "cloud/camera_levelling.h"

#include <cmath>

#include "cloud/run_fault.h"
#include "cloud/transform_file.h"

namespace levelling {

namespace {

// The mean of unit image-ups shorter than this share of one: the cameras agree on no up.
constexpr double kLeastAgreement = 0.1;

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

bool cameras_up(const std::vector<CameraPose> &cameras, double (&up)[3]) {
  double sum[3] = {};
  for (const CameraPose &camera : cameras) {
    const double length = std::sqrt(camera.up[0] * camera.up[0] + camera.up[1] * camera.up[1] +
                                    camera.up[2] * camera.up[2]);
    for (int k = 0; k < 3; ++k) {
      sum[k] += length > 0.0 ? camera.up[k] / length : 0.0;
    }
  }
  const double length = std::sqrt(sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2]);
  if (!(length > kLeastAgreement * double(cameras.size()))) {
    return false;
  }
  for (int k = 0; k < 3; ++k) {
    up[k] = sum[k] / length;
  }
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
