// The cameras of a reconstruction as the witness of up: their mean image-up is the up direction
// the plane is searched near, the plane is oriented so that most of them are above it, the
// report says how many agree, and they are written moved with the cloud.
#ifndef LEVELLING_CLOUD_CAMERA_LEVELLING_H
#define LEVELLING_CLOUD_CAMERA_LEVELLING_H

#include <cstdint>
#include <string>
#include <vector>

#include "cloud/cloud_levelling.h"
#include "formats/camera_files.h"
#include "formats/output_file.h"
#include "plane/orthogonal_fit.h"

namespace levelling {

// Reads and checks a camera file (its format from its name and first bytes). False with the
// fault: status 3 when it cannot be read, 4 when it is malformed, 8 when it is no camera file.
bool read_camera_file(const std::string &name, CameraFile *file, LevellingOutcome *fault);

// The cameras' mean image-up direction, unit, into up. False when they cancel out (their mean
// shorter than a tenth of one camera's).
bool cameras_up(const std::vector<CameraPose> &cameras, double (&up)[3]);

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
