#include "formats/ply/splat_fields.h"

#include <cmath>
#include <utility>
#include <vector>

#include "projection/rigid_levelling.h"

namespace levelling {

namespace {

// The reference renderer's real spherical-harmonic constants, degrees 1 to 3.
constexpr double kShDegree1 = 0.4886025119029199;
constexpr double kShDegree2[5] = {1.0925484305920792, -1.0925484305920792, 0.31539156525252005,
                                  -1.0925484305920792, 0.5462742152960396};
constexpr double kShDegree3[7] = {-0.5900435899266435, 2.890611442640554, -0.4570457994644658,
                                  0.3731763325901154,  -0.4570457994644658, 1.445305721320277,
                                  -0.5900435899266435};
// Directions on which each degree's basis is sampled to solve for its turn (a Fibonacci
// lattice): many more than the 7 functions of degree 3, spread over the whole sphere.
constexpr int kSampleDirections = 64;
constexpr double kGoldenAngle = 2.399963229728653;  // pi (3 - sqrt 5)

// The first coefficient of degree l among a channel's K (degree 1 starts at 0).
constexpr int first_of_degree(int l) { return l * l - 1; }

// The basis functions of degree l (2l + 1 of them) at the unit direction d, into y.
void basis(int l, const double (&d)[3], double *y) {
  const double x = d[0], yy_ = d[1], z = d[2];
  const double xx = x * x, yy = yy_ * yy_, zz = z * z;
  if (l == 1) {
    y[0] = -kShDegree1 * yy_;
    y[1] = kShDegree1 * z;
    y[2] = -kShDegree1 * x;
  } else if (l == 2) {
    y[0] = kShDegree2[0] * (x * yy_);
    y[1] = kShDegree2[1] * (yy_ * z);
    y[2] = kShDegree2[2] * (2.0 * zz - xx - yy);
    y[3] = kShDegree2[3] * (x * z);
    y[4] = kShDegree2[4] * (xx - yy);
  } else {
    y[0] = kShDegree3[0] * yy_ * (3.0 * xx - yy);
    y[1] = kShDegree3[1] * (x * yy_) * z;
    y[2] = kShDegree3[2] * yy_ * (4.0 * zz - xx - yy);
    y[3] = kShDegree3[3] * z * (2.0 * zz - 3.0 * xx - 3.0 * yy);
    y[4] = kShDegree3[4] * x * (4.0 * zz - xx - yy);
    y[5] = kShDegree3[5] * z * (xx - yy);
    y[6] = kShDegree3[6] * x * (xx - 3.0 * yy);
  }
}

// Solves a * x = b for the n x n matrix a and m right-hand sides (b's columns), by Gaussian
// elimination with partial pivoting; b holds x after. The systems here are well conditioned
// (the basis's Gram matrix over spread directions).
void solve(int n, double (*a)[7], int m, double (*b)[7]) {
  for (int c = 0; c < n; ++c) {
    int pivot = c;
    for (int r = c + 1; r < n; ++r) {
      pivot = std::fabs(a[r][c]) > std::fabs(a[pivot][c]) ? r : pivot;
    }
    std::swap(a[c], a[pivot]);
    std::swap(b[c], b[pivot]);
    for (int r = c + 1; r < n; ++r) {
      const double f = a[r][c] / a[c][c];
      for (int k = c; k < n; ++k) {
        a[r][k] -= f * a[c][k];
      }
      for (int k = 0; k < m; ++k) {
        b[r][k] -= f * b[c][k];
      }
    }
  }
  for (int c = n - 1; c >= 0; --c) {
    for (int k = 0; k < m; ++k) {
      double sum = b[c][k];
      for (int j = c + 1; j < n; ++j) {
        sum -= a[c][j] * b[j][k];
      }
      b[c][k] = sum / a[c][c];
    }
  }
}

// The index of the property `prefix` + i, or -1.
int indexed(const PlyElement &vertex, const std::string &prefix, int i) {
  return vertex.find(prefix + std::to_string(i));
}

}  // namespace

bool find_splat_layout(const PlyElement &vertex, SplatLayout *layout, std::string *refusal) {
  *layout = SplatLayout();
  for (int k = 0; k < 4; ++k) {
    layout->rotation[k] = indexed(vertex, "rot_", k);
  }
  layout->present = layout->rotation[0] >= 0 && layout->rotation[1] >= 0 &&
                    layout->rotation[2] >= 0 && layout->rotation[3] >= 0 &&
                    vertex.find("scale_0") >= 0 && vertex.find("f_dc_0") >= 0;
  if (!layout->present) {
    return true;
  }
  int rests = 0;
  for (const PlyProperty &property : vertex.properties) {
    rests += property.name.rfind("f_rest_", 0) == 0 ? 1 : 0;
  }
  for (int l = 0; l <= kMaxSplatDegree; ++l) {
    layout->degree = 3 * first_of_degree(l + 1) == rests ? l : layout->degree;
  }
  if (rests != 3 * first_of_degree(layout->degree + 1)) {
    *refusal = "a Gaussian splat with " + std::to_string(rests) +
               " f_rest properties, which are no spherical-harmonic degree's 9, 24 or 45";
    return false;
  }
  for (int i = 0; i < rests; ++i) {
    layout->rest.push_back(indexed(vertex, "f_rest_", i));
    if (layout->rest.back() < 0) {
      *refusal = "a Gaussian splat without f_rest_" + std::to_string(i);
      return false;
    }
  }
  // Orientations and colours turn as real numbers: integers (quantised values of a scale the
  // file does not say) would come out clamped and rounded.
  std::vector<int> turned(layout->rotation, layout->rotation + 4);
  turned.insert(turned.end(), layout->rest.begin(), layout->rest.end());
  for (const int index : turned) {
    const PlyProperty &property = vertex.properties[size_t(index)];
    if (property.is_list) {
      *refusal = "a Gaussian splat whose " + property.name + " is a list";
      return false;
    }
    if (property.type != PlyType::kFloat32 && property.type != PlyType::kFloat64) {
      *refusal = "a Gaussian splat whose " + property.name + " is " +
                 ply_type_name(property.type) +
                 " (quantised, of a scale the file does not say): only float or double "
                 "orientations and colours can be turned";
      return false;
    }
  }
  return true;
}

void splat_turn_of(const double (&motion)[4][4], SplatTurn *turn) {
  std::copy(&motion[0][0], &motion[0][0] + 16, &turn->matrix[0][0]);
  // For each degree: the sampled basis B (a row a direction e) and B_R, the basis at R^T e.
  // The turned coefficients c' satisfy Y(e) . c' = Y(R^T e) . c for every e, so
  // c' = (B^T B)^-1 B^T B_R c.
  for (int l = 1; l <= kMaxSplatDegree; ++l) {
    const int n = 2 * l + 1;
    double gram[7][7] = {}, cross[7][7] = {};
    for (int s = 0; s < kSampleDirections; ++s) {
      const double z = 1.0 - (2.0 * s + 1.0) / kSampleDirections;
      const double radius = std::sqrt(1.0 - z * z);
      const double e[3] = {radius * std::cos(kGoldenAngle * s), radius * std::sin(kGoldenAngle * s),
                           z};
      double back[3];
      for (int k = 0; k < 3; ++k) {
        back[k] = motion[0][k] * e[0] + motion[1][k] * e[1] + motion[2][k] * e[2];
      }
      double y[7], y_back[7];
      basis(l, e, y);
      basis(l, back, y_back);
      for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c) {
          gram[r][c] += y[r] * y[c];
          cross[r][c] += y[r] * y_back[c];
        }
      }
    }
    solve(n, gram, n, cross);
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) {
        turn->rest[l - 1][r][c] = cross[r][c];
      }
    }
  }
}

void turn_splat(const SplatTurn &turn, const SplatLayout &layout, double *values) {
  const double q[4] = {values[layout.rotation[0]], values[layout.rotation[1]],
                       values[layout.rotation[2]], values[layout.rotation[3]]};
  double turned[4];
  turn_orientation(turn.matrix, q, turned);
  for (int k = 0; k < 4; ++k) {
    values[layout.rotation[k]] = turned[k];
  }
  const int per_channel = first_of_degree(layout.degree + 1);
  for (int channel = 0; channel < 3; ++channel) {
    for (int l = 1; l <= layout.degree; ++l) {
      const int n = 2 * l + 1;
      const int first = channel * per_channel + first_of_degree(l);
      double c[7];
      for (int m = 0; m < n; ++m) {
        c[m] = values[layout.rest[size_t(first + m)]];
      }
      for (int r = 0; r < n; ++r) {
        double sum = 0.0;
        for (int m = 0; m < n; ++m) {
          sum += turn.rest[l - 1][r][m] * c[m];
        }
        values[layout.rest[size_t(first + r)]] = sum;
      }
    }
  }
}

double splat_rest_colour(int degree, const double *coefficients, const double (&d)[3]) {
  double colour = 0.0;
  for (int l = 1; l <= degree; ++l) {
    double y[7];
    basis(l, d, y);
    for (int m = 0; m < 2 * l + 1; ++m) {
      colour += y[m] * coefficients[first_of_degree(l) + m];
    }
  }
  return colour;
}

bool is_compressed_splat(const PlyHeader &header, std::string *name) {
  for (const PlyElement &element : header.elements) {
    if (element.name == "chunk") {
      *name = "an element \"chunk\"";
      return true;
    }
    for (const PlyProperty &property : element.properties) {
      if (property.name.rfind("packed_", 0) == 0) {
        *name = "the property " + property.name;
        return true;
      }
    }
  }
  return false;
}

}  // namespace levelling
