#include "projection/rigid_levelling.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "projection/levelling_angles.h"

namespace levelling {

namespace {

// The levelling of the two angles (already set in *levelling) about `pivot`.
void complete_levelling(const double (&pivot)[3], RigidLevelling *levelling_out) {
  RigidLevelling &levelling = *levelling_out;
  const double cy = std::cos(levelling.angle_y), sy = std::sin(levelling.angle_y);
  const double cx = std::cos(levelling.angle_x), sx = std::sin(levelling.angle_x);
  // R2 * R1 with R1 = [cy 0 -sy; 0 1 0; sy 0 cy] and R2 = [1 0 0; 0 cx sx; 0 -sx cx].
  const double rotation[3][3] = {{cy, 0.0, -sy}, {sx * sy, cx, sx * cy}, {cx * sy, -sx, cx * cy}};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      levelling.rotation[r][c] = rotation[r][c];
    }
    levelling.pivot[r] = pivot[r];
  }
}

}  // namespace

RigidLevelling rigid_levelling(double a, double b, const double (&pivot)[3]) {
  RigidLevelling levelling;
  levelling_angles(a, b, &levelling.angle_y, &levelling.angle_x);
  complete_levelling(pivot, &levelling);
  return levelling;
}

RigidLevelling rigid_levelling_from_normal(const double (&normal)[3], const double (&pivot)[3]) {
  RigidLevelling levelling;
  levelling.angle_y = std::atan2(normal[0], normal[2]);
  levelling.angle_x = std::atan2(-normal[1], std::hypot(normal[0], normal[2]));
  complete_levelling(pivot, &levelling);
  return levelling;
}

void levelling_matrix(const RigidLevelling &levelling, double (&matrix)[4][4]) {
  for (int r = 0; r < 3; ++r) {
    double turned = 0.0;
    for (int c = 0; c < 3; ++c) {
      matrix[r][c] = levelling.rotation[r][c];
      turned += levelling.rotation[r][c] * levelling.pivot[c];
    }
    matrix[r][3] = levelling.pivot[r] - turned;
    matrix[3][r] = 0.0;
  }
  matrix[3][3] = 1.0;
}

namespace {

// Points turned together: their offsets from the pivot sit in arrays of this many doubles on
// the stack, which the compiler knows to be apart from the caller's, so the loops vectorise.
constexpr int kChunkPoints = 256;

// out = R * (p - from) + to for each point; from = to = 0 turns directions.
void turn(const RigidLevelling &levelling, int64_t n, const double *xs, const double *ys,
          const double *zs, double *out_x, double *out_y, double *out_z, const double (&from)[3],
          const double (&to)[3]) {
  const double r00 = levelling.rotation[0][0], r01 = levelling.rotation[0][1],
               r02 = levelling.rotation[0][2], r10 = levelling.rotation[1][0],
               r11 = levelling.rotation[1][1], r12 = levelling.rotation[1][2],
               r20 = levelling.rotation[2][0], r21 = levelling.rotation[2][1],
               r22 = levelling.rotation[2][2];
  const double from_x = from[0], from_y = from[1], from_z = from[2];
  const double to_x = to[0], to_y = to[1], to_z = to[2];
  for (int64_t first = 0; first < n; first += kChunkPoints) {
    const int width = n - first < kChunkPoints ? int(n - first) : kChunkPoints;
    double x[kChunkPoints], y[kChunkPoints], z[kChunkPoints];
    for (int i = 0; i < width; ++i) {
      x[i] = xs[first + i] - from_x;
      y[i] = ys[first + i] - from_y;
      z[i] = zs[first + i] - from_z;
    }
    for (int i = 0; i < width; ++i) {
      out_x[first + i] = (r00 * x[i] + r01 * y[i] + r02 * z[i]) + to_x;
    }
    for (int i = 0; i < width; ++i) {
      out_y[first + i] = (r10 * x[i] + r11 * y[i] + r12 * z[i]) + to_y;
    }
    for (int i = 0; i < width; ++i) {
      out_z[first + i] = (r20 * x[i] + r21 * y[i] + r22 * z[i]) + to_z;
    }
  }
}

}  // namespace

void level_points(const RigidLevelling &levelling, int64_t n, const double *xs,
                  const double *ys, const double *zs, double *out_x, double *out_y,
                  double *out_z) {
  turn(levelling, n, xs, ys, zs, out_x, out_y, out_z, levelling.pivot, levelling.pivot);
}

void turn_directions(const RigidLevelling &levelling, int64_t n, const double *xs,
                     const double *ys, const double *zs, double *out_x, double *out_y,
                     double *out_z) {
  const double none[3] = {};
  turn(levelling, n, xs, ys, zs, out_x, out_y, out_z, none, none);
}

namespace {

// The rotation of a matrix, as the turn above takes it.
RigidLevelling rotation_of(const double (&matrix)[4][4]) {
  RigidLevelling turned;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      turned.rotation[r][c] = matrix[r][c];
    }
  }
  return turned;
}

}  // namespace

void move_points(const double (&matrix)[4][4], int64_t n, const double *xs, const double *ys,
                 const double *zs, double *out_x, double *out_y, double *out_z) {
  const double none[3] = {};
  const double translation[3] = {matrix[0][3], matrix[1][3], matrix[2][3]};
  turn(rotation_of(matrix), n, xs, ys, zs, out_x, out_y, out_z, none, translation);
}

void turn_directions(const double (&matrix)[4][4], int64_t n, const double *xs,
                     const double *ys, const double *zs, double *out_x, double *out_y,
                     double *out_z) {
  const double none[3] = {};
  turn(rotation_of(matrix), n, xs, ys, zs, out_x, out_y, out_z, none, none);
}

bool is_rigid_motion(const double (&matrix)[4][4], double tolerance, const char **why) {
  for (const auto &row : matrix) {
    for (double value : row) {
      if (!std::isfinite(value)) {
        *why = "an entry is not a finite number";
        return false;
      }
    }
  }
  const double last_row[4] = {0.0, 0.0, 0.0, 1.0};
  for (int c = 0; c < 4; ++c) {
    if (std::fabs(matrix[3][c] - last_row[c]) > tolerance) {
      *why = "its last row is not 0 0 0 1";
      return false;
    }
  }
  for (int a = 0; a < 3; ++a) {
    for (int b = a; b < 3; ++b) {
      double dot = 0.0;
      for (int r = 0; r < 3; ++r) {
        dot += matrix[r][a] * matrix[r][b];
      }
      if (std::fabs(dot - (a == b ? 1.0 : 0.0)) > tolerance) {
        *why = "its rotation's columns are not orthonormal";
        return false;
      }
    }
  }
  const double det = matrix[0][0] * (matrix[1][1] * matrix[2][2] - matrix[1][2] * matrix[2][1]) -
                     matrix[0][1] * (matrix[1][0] * matrix[2][2] - matrix[1][2] * matrix[2][0]) +
                     matrix[0][2] * (matrix[1][0] * matrix[2][1] - matrix[1][1] * matrix[2][0]);
  if (det <= 0.0) {
    *why = "it mirrors (its rotation's determinant is negative)";
    return false;
  }
  return true;
}

void invert_rigid_motion(const double (&matrix)[4][4], double (&inverse)[4][4]) {
  for (int r = 0; r < 3; ++r) {
    double moved = 0.0;
    for (int c = 0; c < 3; ++c) {
      inverse[r][c] = matrix[c][r];
      moved += matrix[c][r] * matrix[c][3];
    }
    inverse[r][3] = -moved;
  }
  inverse[3][0] = inverse[3][1] = inverse[3][2] = 0.0;
  inverse[3][3] = 1.0;
}

void quaternion_rotation(const double (&q)[4], double (&r)[3][3]) {
  const double largest =
      std::max({std::fabs(q[0]), std::fabs(q[1]), std::fabs(q[2]), std::fabs(q[3])});
  const double s[4] = {q[0] / largest, q[1] / largest, q[2] / largest, q[3] / largest};
  const double n = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2] + s[3] * s[3]);
  const double w = s[0] / n, x = s[1] / n, y = s[2] / n, z = s[3] / n;
  const double rows[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
                             {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
                             {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}};
  std::memcpy(r, rows, sizeof rows);
}

void rotation_quaternion(const double (&matrix)[4][4], double (&q)[4]) {
  const double(&r)[4][4] = matrix;
  const double trace = r[0][0] + r[1][1] + r[2][2];
  if (trace > 0.0) {
    const double s = 2.0 * std::sqrt(1.0 + trace);
    q[0] = s / 4.0;
    q[1] = (r[2][1] - r[1][2]) / s;
    q[2] = (r[0][2] - r[2][0]) / s;
    q[3] = (r[1][0] - r[0][1]) / s;
  } else if (r[0][0] > r[1][1] && r[0][0] > r[2][2]) {
    const double s = 2.0 * std::sqrt(1.0 + r[0][0] - r[1][1] - r[2][2]);
    q[0] = (r[2][1] - r[1][2]) / s;
    q[1] = s / 4.0;
    q[2] = (r[0][1] + r[1][0]) / s;
    q[3] = (r[0][2] + r[2][0]) / s;
  } else if (r[1][1] > r[2][2]) {
    const double s = 2.0 * std::sqrt(1.0 + r[1][1] - r[0][0] - r[2][2]);
    q[0] = (r[0][2] - r[2][0]) / s;
    q[1] = (r[0][1] + r[1][0]) / s;
    q[2] = s / 4.0;
    q[3] = (r[1][2] + r[2][1]) / s;
  } else {
    const double s = 2.0 * std::sqrt(1.0 + r[2][2] - r[0][0] - r[1][1]);
    q[0] = (r[1][0] - r[0][1]) / s;
    q[1] = (r[0][2] + r[2][0]) / s;
    q[2] = (r[1][2] + r[2][1]) / s;
    q[3] = s / 4.0;
  }
}

void turn_orientation(const double (&matrix)[4][4], const double (&q)[4], double (&turned)[4]) {
  double r[4];
  rotation_quaternion(matrix, r);
  turned[0] = r[0] * q[0] - r[1] * q[1] - r[2] * q[2] - r[3] * q[3];
  turned[1] = r[0] * q[1] + r[1] * q[0] + r[2] * q[3] - r[3] * q[2];
  turned[2] = r[0] * q[2] - r[1] * q[3] + r[2] * q[0] + r[3] * q[1];
  turned[3] = r[0] * q[3] + r[1] * q[2] - r[2] * q[1] + r[3] * q[0];
}

void move_pose(const double (&matrix)[4][4], const double (&pose)[7], double (&moved)[7]) {
  for (int k = 0; k < 3; ++k) {
    moved[k] = matrix[k][0] * pose[0] + matrix[k][1] * pose[1] + matrix[k][2] * pose[2] +
               matrix[k][3];
  }
  const double orientation[4] = {pose[3], pose[4], pose[5], pose[6]};
  double turned[4];
  turn_orientation(matrix, orientation, turned);
  const double sign = turned[0] < 0.0 ? -1.0 : 1.0;  // w >= 0, as PCL writes a pose
  for (int v = 0; v < 4; ++v) {
    moved[3 + v] = sign * turned[v];
  }
}

}  // namespace levelling
