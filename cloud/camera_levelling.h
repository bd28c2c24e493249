// The cameras of a reconstruction as the witness of up: their mean image-up is the up direction
// the plane is searched near, the plane is oriented so that most of them are above it, the
// report says how many agree, and they are written moved with the cloud.
#ifndef LEVELLING_CLOUD_CAMERA_LEVELLING_H
#define LEVELLING_CLOUD_CAMERA_LEVELLING_H

#include <cstdint>
#include <string>
#include <vector>

#include "cloud/cloud_levelling.h"
#include "cloud/output_file.h"
#include "plane/orthogonal_fit.h"
#include "scene/camera_files.h"

namespace levelling {

// Reads and checks a camera file (its format from its name and first bytes). False with the
// fault: status 3 when it cannot be read, 4 when it is malformed, 8 when it is no camera file.
bool read_camera_file(const std::string &name, CameraFile *file, LevellingOutcome *fault);

// The up direction the cameras say, and how it was told.
struct CamerasUp {
  double up[3] = {0.0, 0.0, 1.0};  // unit
  // People hold cameras level whatever their pitch: their right axes are horizontal, and up is
  // the direction they are all nearly perpendicular to (the smallest eigenvector of the sum of
  // r r^T), signed by the image-ups. True when that told it; false when the right axes were
  // too alike to tell a direction (cameras all facing one way) or too far from one plane
  // (cameras rolled on purpose): up is then the mean image-up.
  bool from_right_axes = false;
  // The RMS angle, degrees, of the right axes from the plane perpendicular to up (from right
  // axes), or of the image-ups from their mean.
  double spread_degrees = 0.0;
};

// The cameras' up direction into *up. False when their image-ups cancel out (their mean
// shorter than a tenth of one camera's), which then signs no direction.
bool cameras_up(const std::vector<CameraPose> &cameras, CamerasUp *up);

// Orients the plane (n . p = offset, n unit) so that most cameras' centres are above it: its
// normal and offset negated when more are below than above. True when it was turned over.
bool orient_by_cameras(const std::vector<CameraPose> &cameras, OrthogonalPlane *plane);

// The camera file `name` moved by the motion, into *bytes (moved_camera_bytes). False with the
// fault (status 8) when a moved pose is beyond a double.
bool moved_cameras(const CameraFile &file, const double (&motion)[4][4], const std::string &name,
                   std::string *bytes, LevellingOutcome *fault);

// How many cameras agree with the plane: their centre above it and their image-up within 90
// degrees of its normal.
int64_t cameras_agreeing(const std::vector<CameraPose> &cameras, const OrthogonalPlane &plane);


}  // namespace levelling

#endif
