// Angle units and the angles a run uses when the user gives none.
#ifndef LEVELLING_APP_ANGLES_H
#define LEVELLING_APP_ANGLES_H

namespace levelling {

// Degrees to radians: 1 / 57.29577951, slightly more than pi / 180. With it an answer of 90
// degrees has a slightly negative cosine.
constexpr double kDegreesToRadians = 0.017453292520882225;
// Radians to degrees, in single precision.
constexpr float kRadiansToDegrees = 57.29578f;

// The angles (degrees) a run keeps when an answer is not a number or input has ended.
constexpr double kDefaultAngleX = 45.0;
constexpr double kDefaultAngleY = 45.0;
constexpr double kDefaultAngleZ = 0.0;

}  // namespace levelling

#endif
