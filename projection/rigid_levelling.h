// Levelling a point cloud rigidly: every point keeps its own height above the fitted plane.
//
// level_plane_projection (the demonstration's) replaces each z by the plane's height, so a
// levelled scan would lose all its relief. Here each point (x, y, z) is turned as a whole, about
// a pivot, by the two levelling angles of projection/levelling_angles.h:
//   p' = R * (p - pivot) + pivot,   R = R2 * R1,
// with R1 the turn about y and R2 the turn about x of projection/level_projection.h. The plane
// z = a*x + b*y + c through the pivot becomes the level plane z = pivot z; a point at distance d
// above the plane ends at height pivot z + d. Everything is in double precision: distances
// between points survive to about 1e-15 of the coordinates' size.
#ifndef LEVELLING_PROJECTION_RIGID_LEVELLING_H
#define LEVELLING_PROJECTION_RIGID_LEVELLING_H

#include <cstdint>

namespace levelling {

// One levelling: its angles (radians), its rotation R (row-major, for column vectors) and its
// pivot.
struct RigidLevelling {
  double angle_y = 0.0;
  double angle_x = 0.0;
  double rotation[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  double pivot[3] = {};
};

// The levelling of the plane with slopes a and b about `pivot` (x, y, z): the plane's centroid
// keeps the plane in place, the origin {0, 0, 0} levels about the origin (the plane then ends at
// the height c / sqrt(1 + a*a + b*b)). NaN slopes give NaN angles and rotation.
RigidLevelling rigid_levelling(double a, double b, const double (&pivot)[3]);

// The levelling that turns the unit vector `normal` (a plane's upward normal, any orientation,
// vertical and upside down included) onto +z by the same two turns, about y by
// angle_y = atan2(nx, nz), then about x by angle_x = atan2(-ny, hypot(nx, nz)), about `pivot`.
// For a normal with nz > 0 this is rigid_levelling of the slopes a = -nx/nz, b = -ny/nz. angle_y
// lies in (-pi, pi] (beyond +-pi/2 for a normal pointing down), angle_x in [-pi/2, pi/2]. A
// normal that is not unit is taken as its direction; NaN gives NaN.
RigidLevelling rigid_levelling_from_normal(const double (&normal)[3], const double (&pivot)[3]);

// The 4 x 4 matrix, row-major, that maps a point (x, y, z, 1) (a column vector) to its levelled
// place: the rotation R in the upper left, the translation pivot - R * pivot in the last column,
// and (0, 0, 0, 1) as the last row.
void levelling_matrix(const RigidLevelling &levelling, double (&matrix)[4][4]);

// Levels the n points (xs[i], ys[i], zs[i]) into (out_x[i], out_y[i], out_z[i]). Each output
// array may be its input array itself (levelling in place); no other overlap is allowed. n <= 0
// writes nothing. No scratch memory; time linear in n.
void level_points(const RigidLevelling &levelling, int64_t n, const double *xs,
                  const double *ys, const double *zs, double *out_x, double *out_y,
                  double *out_z);

// Turns the n direction vectors (xs[i], ys[i], zs[i]), such as surface normals, by the same
// rotation without the pivot: d' = R * d. Unit vectors stay unit vectors. The same aliasing and
// cost as level_points.
void turn_directions(const RigidLevelling &levelling, int64_t n, const double *xs,
                     const double *ys, const double *zs, double *out_x, double *out_y,
                     double *out_z);

// A rigid motion as its 4 x 4 matrix, row-major, for column vectors (x, y, z, 1): a rotation R
// in the upper left, a translation t in the last column, (0, 0, 0, 1) below; the form
// levelling_matrix gives and saved transforms hold. Moving points by it (rather than about a
// pivot) makes a saved matrix reproduce the levelling that wrote it bit for bit.

// Moves the n points by `matrix`: p' = R * p + t. The same aliasing and cost as level_points.
void move_points(const double (&matrix)[4][4], int64_t n, const double *xs, const double *ys,
                 const double *zs, double *out_x, double *out_y, double *out_z);

// Turns the n directions by the matrix's rotation: d' = R * d. As turn_directions.
void turn_directions(const double (&matrix)[4][4], int64_t n, const double *xs,
                     const double *ys, const double *zs, double *out_x, double *out_y,
                     double *out_z);

// Whether `matrix` is a rigid motion: every entry finite, the last row (0, 0, 0, 1) and R's
// columns unit and orthogonal to within `tolerance`, its determinant positive (no mirror). On
// false *why says which (a static text, "its rotation's columns are not orthonormal").
bool is_rigid_motion(const double (&matrix)[4][4], double tolerance, const char **why);

// The inverse of a rigid motion: R^T in the upper left, -R^T * t in the last column.
void invert_rigid_motion(const double (&matrix)[4][4], double (&inverse)[4][4]);

// The unit quaternion (w, x, y, z) of the matrix's rotation R (a proper rotation), from the
// largest of its trace and diagonal for accuracy; w may come out negative.
void rotation_quaternion(const double (&matrix)[4][4], double (&q)[4]);

// The rotation (row-major) of a quaternion w, x, y, z of any non-zero finite length, the
// inverse of rotation_quaternion: scaled by its largest component first, so that no length from
// 1e-300 to 1e300 overflows or underflows on the way. A zero quaternion gives NaN.
void quaternion_rotation(const double (&q)[4], double (&r)[3][3]);

// An orientation (a quaternion w, x, y, z, of any length) turned by the matrix's rotation:
// q' = q_R * q, the Hamilton product with R's quaternion on the left, so that q' rotates as R
// after q. The length is kept.
void turn_orientation(const double (&matrix)[4][4], const double (&q)[4], double (&turned)[4]);

// A pose (a position x, y, z, then an orientation quaternion w, x, y, z, as PCD's VIEWPOINT
// holds a sensor's) moved by the matrix: the position moved as a point, the orientation turned
// as by turn_orientation and written with w >= 0 (the same rotation).
void move_pose(const double (&matrix)[4][4], const double (&pose)[7], double (&moved)[7]);

}  // namespace levelling

#endif
