// Levelling a tilted plane: the rotation angles about y and x that turn the plane
// z = a*x + b*y + c horizontal, and the points turned with them.
//
// Conventions: angles are in radians. The points are handled as homogeneous column vectors
// (x, y, z, 1) multiplied on the right of 4 x 4 transforms, P' = T * P (the opposite of the row
// vectors of linalg/rotation.h). With the angle about y, ty, and the angle about x, tx:
//   R1 = [cos ty 0 -sin ty 0; 0 1 0 0; sin ty 0 cos ty 0; 0 0 0 1]
//   R2 = [1 0 0 0; 0 cos tx sin tx 0; 0 -sin tx cos tx 0; 0 0 0 1]
// and a point becomes R2 * R1 * p, which brings the plane's normal (-a, -b, 1) onto the z axis.
#ifndef LEVELLING_PROJECTION_LEVEL_PROJECTION_H
#define LEVELLING_PROJECTION_LEVEL_PROJECTION_H

namespace levelling {

// The Euclidean length of the `len` floats of v, summed in ascending order in double precision.
// len <= 0 gives 0.
double vector_norm(int len, const float *v);

// Estimates the levelling angles of the plane z = a*x + b*y + c and projects points onto it.
//
// In:  xs, ys    - the x and y coordinates of the points; each point is first lifted onto the
//                  plane (z = a*x + b*y + c), so no z coordinates are taken.
//      count     - the number of points as a float; its whole part is used (6.7 means 6), and
//                  xs, ys and the three outputs must hold that many floats. NaN or a whole part
//                  of 0 or less writes no points; the angles are still computed.
//      a, b, c   - the plane.
//      centre    - false: rotate about the origin. true: rotate about the centroid of the
//                  lifted points, which then stays where it was.
// Out: out_x, out_y, out_z - the rotated points. Each may be xs or ys itself (levelling in
//                  place); no other overlap with the inputs is allowed. They lie on a level plane: at the height
//                  c / sqrt(1 + a*a + b*b) about the origin, at the centroid's height about the
//                  centroid.
//      angle_y   - written first: the angle about y, -atan(a), strictly inside (-pi/2, pi/2).
//      angle_x   - then the angle about x, strictly inside (-pi/2, pi/2) and negative when b < 0.
// A plane is levelled by these angles whichever way up it was made: a plane made by turning a
// level plane by more than a quarter turn about x or y gets the angles inside (-pi/2, pi/2) that
// give the same plane, and the points come out turned by half a turn from where they started.
// The points are read twice when centred (once for the centroid) and levelled in blocks of a
// few hundred, so the scratch memory is a few tens of KiB whatever the count. Where two NaN
// operands meet, the one kept is fixed (a sum's over its term, a coordinate's over a slope's, and
// as matrix_multiply keeps them), so a NaN output's sign does not depend on the compiler.
void level_plane_projection(const float *xs, const float *ys, float count, float *out_x,
                            float *out_y, float *out_z, float a, float b, float c, float *angle_y,
                            float *angle_x, bool centre);

}  // namespace levelling

#endif
