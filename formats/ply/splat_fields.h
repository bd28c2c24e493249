// Gaussian splats in PLY (3D Gaussian Splatting's trained scenes, and 2D Gaussian Splatting's):
// what a rigid motion p' = R p + t does to a splat's values besides its position and normal.
// - rot_0..rot_3, a quaternion (w, x, y, z) of any length (renderers normalise it), composes:
//   q' = q_R * q (Hamilton product, R's quaternion on the left).
// - f_rest_*, the real spherical-harmonic coefficients of degrees 1 to 3 of each colour channel,
//   stored channel-major (K of red, then K of green, then K of blue; K = 3, 8 or 15 for degree 1,
//   2 or 3), in the reference renderer's basis and signs, turn degree by degree so that the
//   colour seen along R d after is the colour seen along d before, for every direction d.
// - scale_*, opacity, f_dc_* and every other property stay as they were, byte for byte.
#ifndef LEVELLING_FORMATS_PLY_SPLAT_FIELDS_H
#define LEVELLING_FORMATS_PLY_SPLAT_FIELDS_H

#include <string>
#include <vector>

#include "formats/core/ply_types.h"

namespace levelling {

// The highest spherical-harmonic degree a splat file holds, and the coefficients of degrees 1
// to it in each channel.
constexpr int kMaxSplatDegree = 3;
constexpr int kMaxRestCoefficients = 15;

// Where a vertex element's splat properties stand (indices into its properties).
struct SplatLayout {
  bool present = false;       // rot_0..3, scale_0 and f_dc_0 are all there
  int rotation[4] = {-1, -1, -1, -1};
  int degree = 0;             // of the f_rest coefficients (0: none)
  std::vector<int> rest;      // f_rest_0.. in order: 3 K of them
};

// Finds the splat properties of the vertex element. False with *refusal when they are there but
// cannot be turned (f_rest of a count that is no degree's, a list, a missing f_rest_i); true
// otherwise (layout->present false for a cloud that is no splat).
bool find_splat_layout(const PlyElement &vertex, SplatLayout *layout, std::string *refusal);

// What a rotation does to splats: its quaternion and, for each degree l = 1..3, the
// (2l+1) x (2l+1) matrix taking a channel's coefficients of that degree to the turned ones.
struct SplatTurn {
  double matrix[4][4] = {};                                  // the motion
  double rest[kMaxSplatDegree][2 * kMaxSplatDegree + 1][2 * kMaxSplatDegree + 1] = {};
};

// The turn of the motion (a 4 x 4 rigid motion, input to output). The matrices are solved from
// the renderer's basis sampled on directions spread over the sphere.
void splat_turn_of(const double (&motion)[4][4], SplatTurn *turn);

// Turns one splat's values (all its vertex's properties, decoded, indexed as the element's
// properties) in place: its quaternion composed, its f_rest coefficients turned.
void turn_splat(const SplatTurn &turn, const SplatLayout &layout, double *values);

// The colour term of degrees 1 to `degree` of one channel seen along the unit direction d, in
// the renderer's basis: sum over the coefficients (K of them) of each times its basis function.
double splat_rest_colour(int degree, const double *coefficients, const double (&d)[3]);

// Whether the PLY header holds a compressed splat (an element "chunk", or packed_* properties:
// quantised positions and rotations no motion can be applied to here); *name then says which.
bool is_compressed_splat(const PlyHeader &header, std::string *name);

}  // namespace levelling

#endif
