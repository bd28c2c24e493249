#include "cloud/wall_yaw.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "cloud/sample_surfaces.h"

namespace levelling {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRadiansPerDegree = kPi / 180.0;
// Refinements of the walls' direction on the normals near it.
constexpr int kRefinements = 3;

// The direction (radians, in (-pi/4, pi/4]) of the normals (nx, ny) folded modulo 90 degrees:
// the mean of 4 theta, each weighted by its horizontal length squared, of those within
// `spread` of `around` (all of them when spread is pi).
double folded_direction(const std::vector<double> &nx, const std::vector<double> &ny,
                        double around, double spread, int64_t *held) {
  double c = 0.0, s = 0.0;
  *held = 0;
  for (size_t i = 0; i < nx.size(); ++i) {
    const double theta = std::atan2(ny[i], nx[i]);
    const double off = std::remainder(4.0 * (theta - around), 2.0 * kPi) / 4.0;
    if (std::fabs(off) > spread) {
      continue;
    }
    const double weight = nx[i] * nx[i] + ny[i] * ny[i];
    c += weight * std::cos(4.0 * theta);
    s += weight * std::sin(4.0 * theta);
    ++*held;
  }
  return std::atan2(s, c) / 4.0;
}

}  // namespace

bool walls_yaw(const PointSample &sample, const double (&motion)[4][4], double level,
               double threshold, WallYaw *yaw, std::string *why) {
  *yaw = WallYaw();
  PointSample levelled;
  levelled.x.resize(sample.x.size());
  levelled.y.resize(sample.x.size());
  levelled.z.resize(sample.x.size());
  for (size_t i = 0; i < sample.x.size(); ++i) {
    const double p[3] = {sample.x[i], sample.y[i], sample.z[i]};
    double *out[3] = {&levelled.x[i], &levelled.y[i], &levelled.z[i]};
    for (int r = 0; r < 3; ++r) {
      *out[r] = motion[r][0] * p[0] + motion[r][1] * p[1] + motion[r][2] * p[2] + motion[r][3];
    }
  }
  SampleSurfaces surfaces;
  if (!sample_surfaces(levelled, &surfaces)) {
    *why = "too few points to tell their surfaces";
    return false;
  }
  const double most_up = std::sin(kWallTiltDegrees * kRadiansPerDegree);
  std::vector<double> nx, ny;
  for (size_t i = 0; i < levelled.x.size(); ++i) {
    if (threshold > 0.0 && std::fabs(levelled.z[i] - level) <= threshold) {
      continue;  // the floor
    }
    ++yaw->beyond;
    const double n[3] = {surfaces.nx[i], surfaces.ny[i], surfaces.nz[i]};
    if ((n[0] != 0.0 || n[1] != 0.0) && std::fabs(n[2]) <= most_up) {
      nx.push_back(n[0]);
      ny.push_back(n[1]);
    }
  }
  yaw->vertical = int64_t(nx.size());
  double direction = folded_direction(nx, ny, 0.0, kPi, &yaw->walls);
  for (int step = 0; step < kRefinements; ++step) {
    direction = folded_direction(nx, ny, direction, kWallSpreadDegrees * kRadiansPerDegree,
                                 &yaw->walls);
  }
  const double share = yaw->vertical > 0 ? double(yaw->walls) / double(yaw->vertical) : 0.0;
  const double least = std::fmax(double(kLeastWallPoints),
                                 kLeastWallSampleShare * double(sample.x.size()));
  if (double(yaw->walls) < least || share < kLeastWallShare) {
    char text[320];
    std::snprintf(text, sizeof text,
                  "no walls found: of the %lld sample points, %lld lie beyond the floor, %lld "
                  "of those on vertical surfaces, and %lld (%.0f%%) of these face one of two "
                  "square directions (walls need %.0f points and %.0f%%)",
                  static_cast<long long>(sample.x.size()), static_cast<long long>(yaw->beyond),
                  static_cast<long long>(yaw->vertical), static_cast<long long>(yaw->walls),
                  100.0 * share, least, 100.0 * kLeastWallShare);
    *why = text;
    return false;
  }
  yaw->yaw = -direction;
  return true;
}

void add_yaw(double yaw, const double (&pivot)[3], double (&motion)[4][4]) {
  const double c = std::cos(yaw), s = std::sin(yaw);
  double turned[4][4];
  for (int col = 0; col < 4; ++col) {
    const double x = motion[0][col], y = motion[1][col];
    const double w = motion[3][col];  // 0 for the linear part, 1 for the translation
    turned[0][col] = c * (x - pivot[0] * w) - s * (y - pivot[1] * w) + pivot[0] * w;
    turned[1][col] = s * (x - pivot[0] * w) + c * (y - pivot[1] * w) + pivot[1] * w;
    turned[2][col] = motion[2][col];
    turned[3][col] = motion[3][col];
  }
  for (int r = 0; r < 4; ++r) {
    for (int col = 0; col < 4; ++col) {
      motion[r][col] = turned[r][col];
    }
  }
}

}  // namespace levelling
