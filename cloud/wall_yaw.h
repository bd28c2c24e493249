// --yaw walls: the turn about the up axis, after levelling, that puts a room's walls along x
// and y.
#ifndef LEVELLING_CLOUD_WALL_YAW_H
#define LEVELLING_CLOUD_WALL_YAW_H

#include <cstdint>
#include <string>

#include "plane/point_sample.h"

namespace levelling {

// A sample point lies on a wall when its own surface's normal is within this many degrees of
// horizontal once levelled.
constexpr double kWallTiltDegrees = 10.0;
// A wall direction holds the normals within this many degrees of it (modulo 90).
constexpr double kWallSpreadDegrees = 5.0;
// Walls are found only where at least this many sample points, and this share of the sample
// (a box's side is no wall), lie on them, and they are at least kLeastWallShare of the points
// on vertical surfaces (a tree's are on all sides).
constexpr int64_t kLeastWallPoints = 100;
constexpr double kLeastWallSampleShare = 0.05;
constexpr double kLeastWallShare = 0.3;

struct WallYaw {
  double yaw = 0.0;       // radians, counter-clockwise about +z, in (-45, 45] degrees
  int64_t beyond = 0;     // sample points beyond the floor (farther than its threshold)
  int64_t vertical = 0;   // of them, on vertical surfaces
  int64_t walls = 0;      // of those, on the walls found
};

// The walls of the levelled sample (the sample's points moved by `motion`; the floor's points
// those within `threshold` of height `level`, 0: none): the dominant direction of the normals
// of the points beyond it on vertical surfaces, folded modulo 90 degrees (the mean of 4 theta,
// refined on the normals within kWallSpreadDegrees of it), and the turn that puts it along x.
// False, with the reason in *why, where fewer than kLeastWallPoints points or
// kLeastWallSampleShare of the sample lie on the walls, or they are less than kLeastWallShare
// of the vertical ones (an aerial tile, a table top).
bool walls_yaw(const PointSample &sample, const double (&motion)[4][4], double level,
               double threshold, WallYaw *yaw, std::string *why);

// `motion` followed by the turn by `yaw` (radians) about the vertical through `pivot` (where
// the levelled pivot lies), in place.
void add_yaw(double yaw, const double (&pivot)[3], double (&motion)[4][4]);

}  // namespace levelling

#endif
