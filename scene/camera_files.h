// The cameras of a photogrammetry reconstruction or a Gaussian-splatting scene, read to tell
// which way is up and written moved with the cloud:
// - COLMAP's images.bin and images.txt: each image's world-to-camera rotation (a quaternion
//   qw qx qy qz) and translation; the camera's axes x right, y down, z forward;
// - a splatting trainer's cameras.json: a list of cameras, each with its centre (`position`)
//   and camera-to-world `rotation` (3 x 3, its columns the camera's axes, COLMAP's);
// - nerfstudio's transforms.json: `frames`, each with a camera-to-world `transform_matrix`
//   (4 x 4, OpenGL's axes: x right, y up, z back).
// A camera's image-up is the world direction of its image's up (COLMAP: minus its y axis;
// OpenGL: its y axis), its image-right that of its x axis (both). The files come from
// elsewhere: everything in them is checked, and the memory taken is bounded by the file's size,
// never by a count in it.
#ifndef LEVELLING_SCENE_CAMERA_FILES_H
#define LEVELLING_SCENE_CAMERA_FILES_H

#include <cstdint>
#include <string>
#include <vector>

namespace levelling {

enum class CameraFormat {
  kColmapBinary,    // images.bin
  kColmapText,      // images.txt
  kSplatJson,       // cameras.json
  kNerfstudioJson,  // transforms.json
};

// One camera: its centre, its image's up and right directions (unit), in the world's frame.
struct CameraPose {
  double centre[3] = {};
  double up[3] = {};
  double right[3] = {};
};

// A camera file as read: its format, its bytes (to write it moved: every other byte kept) and
// its cameras in the file's order.
struct CameraFile {
  CameraFormat format = CameraFormat::kColmapBinary;
  std::string bytes;
  std::vector<CameraPose> cameras;
};

// The format of a camera file by its name and first bytes: .bin COLMAP binary, .txt COLMAP
// text, .json a list (cameras.json) or an object with "frames" (transforms.json). False with
// *error when it is none of these.
bool camera_format_of(const std::string &name, const std::string &bytes, CameraFormat *format,
                      std::string *error);

// Parses a camera file's bytes in `format` into *file (its bytes kept). False with *error (one
// line, no file name): a count that lies, a truncated record, a name without its terminating
// byte, an image id twice, a centre or rotation not finite, a quaternion of length zero or a
// rotation that is none, JSON that is not JSON or not of the format's shape, no camera.
bool parse_cameras(CameraFormat format, const std::string &bytes, CameraFile *file,
                   std::string *error);

// The file's bytes with every camera moved by the rigid motion (4 x 4, input to output): centres
// C' = R C + t, orientations turned (COLMAP's world-to-camera q and t recomputed, a JSON
// rotation or transform multiplied by R on the left); every other field as it was (binary: every
// other byte; text: every other line and token; JSON: every other byte, numbers written with
// the digits that read back the same, in the places of those they replace). False with *error
// (one line) when a moved pose is beyond a double.
bool moved_camera_bytes(const CameraFile &file, const double (&motion)[4][4], std::string *out,
                        std::string *error);

}  // namespace levelling

#endif
