// The JSON camera files: a splatting trainer's cameras.json and nerfstudio's transforms.json,
// read and written moved without ever holding the document as a tree. The text is checked to be
// JSON by nlohmann's parser (its SAX pass: no tree, no recursion, whatever the nesting), then
// walked in place: each camera's numbers are read where they stand, and written moved where
// they stood, every other byte (members of any kind, numbers of any size, repeated keys, the
// layout) kept as it was. Internal to scene/.
#ifndef LEVELLING_SCENE_CAMERA_JSON_H
#define LEVELLING_SCENE_CAMERA_JSON_H

#include <string>

#include "scene/camera_files.h"

namespace levelling {

// Reads the cameras of a JSON camera file (format kSplatJson or kNerfstudioJson) into
// file->cameras. False with *error (one line): text that is not JSON, not of the format's shape,
// a camera whose pose member is missing, repeated, not finite or no rotation.
bool parse_camera_json(CameraFormat format, const std::string &bytes, CameraFile *file,
                       std::string *error);

// The file's bytes with each camera's numbers moved by the rigid motion (4 x 4, input to
// output): a centre C' = R C + t, a rotation or transform multiplied by R on the left (a
// transform's translation moved too), each number written with the digits that read back the
// same, in the place of the number it replaces. False with *error when a moved number is beyond
// a double.
bool moved_camera_json(const CameraFile &file, const double (&motion)[4][4], std::string *out,
                       std::string *error);

}  // namespace levelling

#endif
