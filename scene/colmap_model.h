// A COLMAP model folder (as `colmap mapper` writes sparse/0): cameras, images and points3D, all
// .bin or all .txt. The points' positions are what a levelling moves (with the images' poses,
// camera_files.h); the intrinsics, every track, error and colour stay as they were.
// points3D.bin: a count (uint64), then each point's id (uint64), x y z (doubles), r g b (bytes),
// error (double), track length (uint64) and track (image id, 2-D point index: uint32 each).
// points3D.txt: a line a point, POINT3D_ID X Y Z R G B ERROR and its track, '#' comments.
#ifndef LEVELLING_SCENE_COLMAP_MODEL_H
#define LEVELLING_SCENE_COLMAP_MODEL_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "scene/camera_files.h"

namespace levelling {

// The three files of a model, by their names in the folder.
struct ColmapModelFiles {
  std::string cameras, images, points;  // paths
  bool binary = true;
};

// Whether `folder` is a COLMAP model: a folder holding images and points3D, both .bin or both
// .txt (and cameras of the same kind). *files names them.
bool find_colmap_model(const std::string &folder, ColmapModelFiles *files);

// The points of a points3D file: their positions (x y z a point) and where each stands in the
// file's bytes, to move them.
struct ColmapPoints {
  bool binary = true;
  std::string bytes;
  std::vector<double> xyz;
  std::vector<std::pair<size_t, size_t>> at;  // binary: x's offset; text: the X..Z span
};

// Parses points3D's bytes. False with *error: a count that lies, a truncated point, a track
// longer than the file, a point id twice, a position that is not finite, a line that is not
// POINT3D_ID X Y Z R G B ERROR with pairs of track numbers.
bool parse_colmap_points(bool binary, const std::string &bytes, ColmapPoints *points,
                         std::string *error);

// points3D's bytes with every position moved by the rigid motion (4 x 4, input to output):
// binary, only the positions' 24 bytes of each point; text, only the X Y Z tokens.
std::string moved_colmap_points(const ColmapPoints &points, const double (&motion)[4][4]);

}  // namespace levelling

#endif
