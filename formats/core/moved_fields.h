// What a rigid motion p' = R p + t does to each value a cloud holds, stated once for every
// format: coordinates move, directions turn, poses compose. Each format's row below names its
// fields of each kind; the readers find them by these names and hand them on in a PointBlock (or,
// for a pose in the header, move it with move_pose), and move_block applies the motion to a
// block. Every other field a format holds is kept as it was, byte for byte.
#ifndef LEVELLING_FORMATS_CORE_MOVED_FIELDS_H
#define LEVELLING_FORMATS_CORE_MOVED_FIELDS_H

#include <cstddef>
#include <vector>

#include "formats/core/cloud_stream.h"

namespace levelling {

// A format's fields that a motion changes, by kind: positions move (p' = R p + t), directions
// turn (d' = R d, never shifted), orientations compose (a quaternion w x y z: q' = q_R * q).
struct MovedFields {
  const char *coordinates[3];  // moved: the coordinates
  const char *directions[3];   // turned: the block's nx, ny, nz
  // A pose in the header, moved as a position and composed as an orientation, or nullptr.
  const char *pose;
};

// The fields of each family: text "x y z" and none else; PLY x y z and nx ny nz; PCD x y z,
// normal_x normal_y normal_z and the VIEWPOINT; LAS X Y Z (integers, re-quantised) and its
// waveform's direction x_t y_t z_t; PTX each scan's x y z in the world, and its transform (with
// the scanner's position and axes) composed; E57 each scan's points in the world, and every
// scan's and image's pose composed.
const MovedFields &moved_fields_of(CloudFamily family);

// Moves a block in place by the motion (a 4 x 4 matrix, input to output, last row 0 0 0 1): its
// points moved, its directions turned, its empty points (all three coordinates NaN) left as they
// were, bit for bit, with their directions. `empties` and `kept` are scratch the caller keeps
// from block to block.
void move_block(const double (&motion)[4][4], PointBlock *block, std::vector<size_t> *empties,
                std::vector<double> *kept);

}  // namespace levelling

#endif
