// The deviation map of a run: started from the sample and the inputs' boxes, fed by the writing
// pass from a thread of its own, drawn and written at the end.
#ifndef LEVELLING_CLOUD_MAP_FEEDER_H
#define LEVELLING_CLOUD_MAP_FEEDER_H

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "cloud/plane_search.h"
#include "cloud/run_plan.h"
#include "flatness/floor_flatness.h"
#include "formats/core/cloud_stream.h"
#include "map/deviation_map.h"
#include "plane/plane_detection.h"

namespace levelling {

// The deviation map and the floor's readings as the last pass fills them: the levelled points'
// heights above the level plane, by cell, and a histogram of the inliers' heights; the
// inliers' heights on the grid of flatness readings.
struct MapState {
  std::mutex lock;
  bool draw = true;      // a map is drawn (--map)
  bool measure = false;  // the floor's flatness is measured (--flatness)
  DeviationGrid grid;
  HeightHistogram histogram;
  FloorReadings floor;
  // The flatness's units: their name, and the metres in one across and up; the floor's points:
  // those within floor_band of the plane.
  std::string floor_units;
  double horizontal = 1.0, vertical = 1.0;
  double floor_band = 0.0;
  double level = 0.0;      // the height of the level plane once levelled
  double range = 1.0;      // the colour scale spans +-range
  double threshold = 0.0;  // inliers: within this height of the plane (0: every point)
  // Once drawn: the units of the heights and of x and y as the inputs name them (all alike,
  // else "cloud units") and the scale bar's length.
  std::string height_unit, length_unit;
  double scale_bar = 0.0;
  ToleranceCounts counts;  // the cells against --tolerance
};

// Adds the levelled points (x, y, z) to the map, from a thread of its own beside the pass that
// levels and writes them, so that drawing the map adds little to the pass's time. At most
// kPending blocks wait; empty points fall in no cell and no bin.
class MapFeeder {
 public:
  explicit MapFeeder(MapState *map) : map_(map), worker_([this] { work(); }) {}
  // Waits until every block added is in the map.
  ~MapFeeder();
  MapFeeder(const MapFeeder &) = delete;
  MapFeeder &operator=(const MapFeeder &) = delete;

  // Hands the block's levelled points on, the first of index first_index in the whole cloud
  // (copied: the block may change once this returns).
  void add(const PointBlock &block, int64_t first_index);

 private:
  static constexpr size_t kPending = 3;
  struct Piece {
    int64_t first = 0;
    std::vector<double> x, y, height;
  };

  void work();

  MapState *map_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Piece> pending_;
  std::vector<Piece> spare_;
  std::vector<double> inliers_;  // the worker's: a piece's heights, NaN beyond the threshold
  bool done_ = false;
  std::thread worker_;  // last: it starts once everything above is ready
};

// Starts the map: the level plane's height (the fitted plane's, or the levelled sample's median
// height under a saved transform), the colour scale's range (the sample's inliers' 2nd and 98th
// percentiles) and, when drawn, the grid over the levelled boxes of the inputs. False with the
// fault.
bool start_map(const Run &run, const PointSample &sample, const FoundPlane *found,
               const double (&motion)[4][4], MapState *map, LevellingOutcome *fault);

// Starts the floor's readings for --flatness over the levelled boxes of the inputs, in cells of
// kReadingCellMetres, in the units --units names or else those the inputs say (all alike), of
// the points within kFloorBandMetres of the plane (or its threshold, when wider).
// False with the fault: no units known (2), or a floor too large for the readings (8).
bool start_floor_readings(const Run &run, const double (&motion)[4][4], MapState *map,
                          LevellingOutcome *fault);

// Draws the map into the run's map output, put in place with the run's other outputs. False
// with the fault.
bool finish_map(Run *run, const FoundPlane *found, MapState *map, LevellingOutcome *fault);

}  // namespace levelling

#endif
