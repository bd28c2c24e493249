// Generated scenes with a known plane, as real scans have them: a room (floor, two walls, a
// table, a box), terrain with flat roofs and trees, a noisy wall; turned and shifted at will.
// The points of the known plane are listed, so a test can measure that very plane afterwards.
#ifndef LEVELLING_TESTS_SUPPORT_SCENES_H
#define LEVELLING_TESTS_SUPPORT_SCENES_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace levelling::test {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRadiansPerDegree = kPi / 180.0;

struct Scene {
  std::vector<double> x, y, z;
  std::vector<size_t> plane;  // indices of the known plane's points
  std::vector<std::vector<size_t>> walls;  // those of each wall, where the scene has walls
  size_t size() const { return x.size(); }
};

// Adds n points uniform over the rectangle spanned by `corner`, `u` and `v` (vectors), each
// moved along `normal` by normal noise of deviation `noise`; marks them as the known plane when
// `known`.
inline void add_patch(Scene *scene, std::mt19937_64 *random, int n, const double (&corner)[3],
                      const double (&u)[3], const double (&v)[3], double noise,
                      bool known = false) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::normal_distribution<double> jitter(0.0, noise > 0.0 ? noise : 1.0);
  double normal[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                      u[0] * v[1] - u[1] * v[0]};
  const double length = std::sqrt(normal[0] * normal[0] + normal[1] * normal[1] +
                                  normal[2] * normal[2]);
  for (double &each : normal) {
    each /= length;
  }
  for (int i = 0; i < n; ++i) {
    const double s = unit(*random), t = unit(*random);
    const double d = noise > 0.0 ? jitter(*random) : 0.0;
    if (known) {
      scene->plane.push_back(scene->x.size());
    }
    scene->x.push_back(corner[0] + s * u[0] + t * v[0] + d * normal[0]);
    scene->y.push_back(corner[1] + s * u[1] + t * v[1] + d * normal[1]);
    scene->z.push_back(corner[2] + s * u[2] + t * v[2] + d * normal[2]);
  }
}

// A room: a floor `side` wide at z = 0 (the known plane), two walls `height` tall along its
// x = 0 and y = 0 edges, each holding `wall_share` times the floor's points, a table top at
// 0.75 and a box; noise 3 mm.
inline Scene room_scene(double side = 3.0, double height = 4.0, double wall_share = 1.3,
                        int floor_points = 6000, uint64_t seed = 5) {
  std::mt19937_64 random(seed);
  Scene scene;
  const double noise = 0.003;
  add_patch(&scene, &random, floor_points, {0, 0, 0}, {side, 0, 0}, {0, side, 0}, noise, true);
  const int wall_points = int(wall_share * floor_points);
  add_patch(&scene, &random, wall_points, {0, 0, 0}, {0, side, 0}, {0, 0, height}, noise);
  add_patch(&scene, &random, wall_points, {0, 0, 0}, {0, 0, height}, {side, 0, 0}, noise);
  add_patch(&scene, &random, floor_points / 6, {0.8, 0.9, 0.75}, {0.9, 0, 0}, {0, 0.7, 0},
            noise);
  add_patch(&scene, &random, floor_points / 20, {2.1, 2.0, 0.4}, {0.5, 0, 0}, {0, 0.4, 0},
            noise);
  add_patch(&scene, &random, floor_points / 20, {2.1, 2.0, 0.0}, {0.5, 0, 0}, {0, 0, 0.4},
            noise);
  return scene;
}

// Terrain: level ground 400 m wide with 5 cm of noise (the known plane), flat roofs 5 to 9 m
// above it (each a few per cent of the points) and trees (points scattered 1 to 15 m up).
inline Scene terrain_scene(int ground_points = 30000, uint64_t seed = 9) {
  std::mt19937_64 random(seed);
  Scene scene;
  add_patch(&scene, &random, ground_points, {0, 0, 0}, {400, 0, 0}, {0, 400, 0}, 0.05, true);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int roof = 0; roof < 8; ++roof) {
    const double x = 20 + 340 * unit(random), y = 20 + 340 * unit(random);
    const double height = 5 + 4 * unit(random);
    add_patch(&scene, &random, ground_points / 25, {x, y, height}, {30, 0, 0}, {0, 20, 0},
              0.02);
  }
  for (int tree = 0; tree < 40; ++tree) {
    const double x = 400 * unit(random), y = 400 * unit(random);
    for (int i = 0; i < ground_points / 150; ++i) {
      scene.x.push_back(x + 4 * (unit(random) - 0.5));
      scene.y.push_back(y + 4 * (unit(random) - 0.5));
      scene.z.push_back(1 + 14 * unit(random));
    }
  }
  return scene;
}

// Ground with a flat core: a 10 m square whose points within 2.5 m of (3, 3) lie at z = 0 (the
// known plane) and whose others fall away as 0.01 (d - 2.5)^2 with their distance d from there,
// as a lawn or a duvet curves away from its flattest part; noise 3 mm.
inline Scene flat_core_scene(int points = 60000, uint64_t seed = 11) {
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::normal_distribution<double> noise(0.0, 0.003);
  constexpr double kCore = 2.5, kFall = 0.01;
  Scene scene;
  for (int i = 0; i < points; ++i) {
    const double x = 10 * unit(random), y = 10 * unit(random);
    const double d = std::hypot(x - 3, y - 3);
    if (d < kCore) {
      scene.plane.push_back(scene.x.size());
    }
    scene.x.push_back(x);
    scene.y.push_back(y);
    scene.z.push_back((d < kCore ? 0.0 : -kFall * (d - kCore) * (d - kCore)) + noise(random));
  }
  return scene;
}

// A floor 3 m square at z = 0 (the known plane) at the foot of a flight of ten steps (treads
// 0.3 m deep and 3 m wide rising 0.18 m each, three quarters of the floor's points each, and
// their risers), under a slab of clutter (points spread through a 2 x 2 x 0.3 m block a metre
// above it, five times its points). A band slanted along the steps' edges or through the slab
// holds more points than the floor, but no surface; noise 3 mm.
inline Scene floor_slab_and_steps_scene(int floor_points = 6000, uint64_t seed = 13) {
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  constexpr double kNoise = 0.003, kTread = 0.3, kRise = 0.18;
  Scene scene;
  add_patch(&scene, &random, floor_points, {0, 0, 0}, {3, 0, 0}, {0, 3, 0}, kNoise, true);
  for (int step = 1; step <= 10; ++step) {
    const double x = 3 + (step - 1) * kTread, z = step * kRise;
    add_patch(&scene, &random, floor_points * 3 / 4, {x, 0, z}, {kTread, 0, 0}, {0, 3, 0},
              kNoise);
    add_patch(&scene, &random, floor_points / 4, {x, 0, z - kRise}, {0, 3, 0}, {0, 0, kRise},
              kNoise);
  }
  for (int i = 0; i < 5 * floor_points; ++i) {
    scene.x.push_back(0.5 + 2 * unit(random));
    scene.y.push_back(0.5 + 2 * unit(random));
    scene.z.push_back(1.0 + 0.3 * unit(random));
  }
  return scene;
}

// A floor 3 m square at z = 0 (the known plane) under a table (a top 1.2 x 0.8 m at 0.75 m)
// with a box on it (0.4 m square, 0.25 m tall), as a depth camera sees them from a corner;
// noise 3 mm.
inline Scene table_and_box_scene(int floor_points = 6000, uint64_t seed = 17) {
  std::mt19937_64 random(seed);
  constexpr double kNoise = 0.003;
  Scene scene;
  add_patch(&scene, &random, floor_points, {0, 0, 0}, {3, 0, 0}, {0, 3, 0}, kNoise, true);
  add_patch(&scene, &random, floor_points / 4, {0.9, 1.1, 0.75}, {1.2, 0, 0}, {0, 0.8, 0},
            kNoise);
  add_patch(&scene, &random, floor_points / 15, {1.3, 1.3, 1.0}, {0.4, 0, 0}, {0, 0.4, 0},
            kNoise);
  add_patch(&scene, &random, floor_points / 25, {1.3, 1.3, 0.75}, {0.4, 0, 0}, {0, 0, 0.25},
            kNoise);
  add_patch(&scene, &random, floor_points / 25, {1.3, 1.3, 0.75}, {0, 0, 0.25}, {0, 0.4, 0},
            kNoise);
  return scene;
}

// A room turned `yaw_degrees` about z: a floor 8 x 6 m at z = 0 (the known plane), walls 2.6 m
// tall on three of its sides (the fourth missing, a door 1 m wide in the long one), a table top
// and a cabinet standing askew (turned 30 degrees); noise 3 mm.
inline Scene walled_room_scene(double yaw_degrees, uint64_t seed = 19) {
  std::mt19937_64 random(seed);
  constexpr double kNoise = 0.003, kHeight = 2.6;
  Scene scene;
  add_patch(&scene, &random, 30000, {0, 0, 0}, {8, 0, 0}, {0, 6, 0}, kNoise, true);
  const auto wall = [&](int n, const double (&corner)[3], const double (&along)[3]) {
    const size_t first = scene.size();
    add_patch(&scene, &random, n, corner, along, {0, 0, kHeight}, kNoise);
    scene.walls.emplace_back();
    for (size_t i = first; i < scene.size(); ++i) {
      scene.walls.back().push_back(i);
    }
  };
  wall(6000, {0, 0, 0}, {3.5, 0, 0});  // the long wall, either side of its door
  wall(6000, {4.5, 0, 0}, {3.5, 0, 0});
  wall(9000, {0, 0, 0}, {0, 6, 0});
  wall(12000, {0, 6, 0}, {8, 0, 0});
  add_patch(&scene, &random, 3000, {2, 2, 0.75}, {1.6, 0, 0}, {0, 0.9, 0}, kNoise);
  const double c = std::cos(30 * kRadiansPerDegree), s = std::sin(30 * kRadiansPerDegree);
  add_patch(&scene, &random, 3000, {5, 3, 0}, {1.2 * c, 1.2 * s, 0}, {0, 0, 1.8}, kNoise);
  add_patch(&scene, &random, 2000, {5, 3, 0}, {-0.5 * s, 0.5 * c, 0}, {0, 0, 1.8}, kNoise);
  const double cy = std::cos(yaw_degrees * kRadiansPerDegree);
  const double sy = std::sin(yaw_degrees * kRadiansPerDegree);
  for (size_t i = 0; i < scene.size(); ++i) {
    const double x = scene.x[i], y = scene.y[i];
    scene.x[i] = cy * x - sy * y;
    scene.y[i] = sy * x + cy * y;
  }
  return scene;
}

// Turns the scene about x by `about_x`, then about y by `about_y` (radians, counter-clockwise
// seen from the axis' positive end), then shifts it by `shift`.
inline void turn_scene(Scene *scene, double about_x, double about_y,
                       const double (&shift)[3] = {0, 0, 0}) {
  const double cx = std::cos(about_x), sx = std::sin(about_x);
  const double cy = std::cos(about_y), sy = std::sin(about_y);
  for (size_t i = 0; i < scene->size(); ++i) {
    const double x = scene->x[i], y = scene->y[i], z = scene->z[i];
    const double y1 = cx * y - sx * z, z1 = sx * y + cx * z;
    scene->x[i] = cy * x + sy * z1 + shift[0];
    scene->y[i] = y1 + shift[1];
    scene->z[i] = -sy * x + cy * z1 + shift[2];
  }
}

// The scene turned about x, then about y, by angles in degrees, then shifted.
inline Scene turned(Scene scene, double about_x_degrees, double about_y_degrees,
                    const double (&shift)[3] = {0, 0, 0}) {
  turn_scene(&scene, about_x_degrees * kRadiansPerDegree, about_y_degrees * kRadiansPerDegree,
             shift);
  return scene;
}

}  // namespace levelling::test

#endif
