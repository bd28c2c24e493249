// The two angles that turn the plane z = a*x + b*y + c level, in the convention of
// projection/level_projection.h: first about y by angle_y, then about x by angle_x, the plane's
// normal (-a, -b, 1) comes onto the z axis. Both angles are in radians, strictly inside
// (-pi/2, pi/2): angle_y = -atan(a), angle_x = atan(b / sqrt(1 + a*a)). A plane made by turning
// a level plane by more than a quarter turn gets the angles inside (-pi/2, pi/2) that give the
// same plane. The height c plays no part.
#ifndef LEVELLING_PROJECTION_LEVELLING_ANGLES_H
#define LEVELLING_PROJECTION_LEVELLING_ANGLES_H

namespace levelling {

// In single precision, with the demonstration's arithmetic (level_plane_projection's angles,
// bit for bit): the angle between the normal's x-z part (-a, 0, 1) and the z axis by acos, its
// sign against a's; then the normal turned about y by that angle (as stored floats), and the
// angle between its y-z part and the z axis by acos, its sign against b's. *angle_y is written
// first. Slopes near 0 lose digits to acos near 1 (a below about 3e-4 in magnitude gives an
// angle about y of 0). NaN slopes give NaN angles.
void levelling_angles(float a, float b, float *angle_y, float *angle_x);

// The same angles in double precision, accurate to a few units in the last place for every
// slope (by atan and atan2, which keep small angles whole): for levelling real clouds. NaN
// slopes give NaN angles; infinite ones +-pi/2 about y and 0 about x.
void levelling_angles(double a, double b, double *angle_y, double *angle_x);

}  // namespace levelling

#endif
