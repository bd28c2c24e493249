// The two forms in which a plane's coefficients are kept.
#ifndef LEVELLING_PLANE_PLANE_FORMS_H
#define LEVELLING_PLANE_PLANE_FORMS_H

namespace levelling {

// The plane z = a*x + b*y + c: a and b are its slopes along x and y, c its height at the origin.
// It cannot describe a vertical plane.
struct PlaneSlope {
  float a;
  float b;
  float c;
};

// The plane A*x + B*y + C*z + D = 0, with (A, B, C) a normal vector (not normalised). C = 0 for a
// vertical plane.
struct PlaneGeneral {
  float A;
  float B;
  float C;
  float D;
};

}  // namespace levelling

#endif
