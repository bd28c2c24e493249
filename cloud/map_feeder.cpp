#include "cloud/map_feeder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "cloud/run_fault.h"
#include "map/png_file.h"

namespace levelling {

MapFeeder::~MapFeeder() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    done_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

void MapFeeder::add(const PointBlock &block, int64_t first_index) {
  Piece piece;
  {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [this] { return pending_.size() < kPending; });
    if (!spare_.empty()) {
      piece = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  piece.first = first_index;
  piece.x.assign(block.x.begin(), block.x.begin() + std::ptrdiff_t(block.count));
  piece.y.assign(block.y.begin(), block.y.begin() + std::ptrdiff_t(block.count));
  piece.height.resize(block.count);
  for (size_t i = 0; i < block.count; ++i) {
    piece.height[i] = block.z[i] - map_->level;
  }
  {
    std::lock_guard<std::mutex> hold(lock_);
    pending_.push_back(std::move(piece));
  }
  changed_.notify_all();
}

void MapFeeder::work() {
  for (;;) {
    Piece piece;
    {
      std::unique_lock<std::mutex> hold(lock_);
      changed_.wait(hold, [this] { return done_ || !pending_.empty(); });
      if (pending_.empty()) {
        return;
      }
      piece = std::move(pending_.front());
      pending_.pop_front();
    }
    changed_.notify_all();
    const int64_t n = int64_t(piece.x.size());
    if (map_->measure) {  // the floor: the points within its band
      inliers_.resize(piece.height.size());
      for (size_t i = 0; i < piece.height.size(); ++i) {
        const double h = piece.height[i];
        inliers_[i] = std::fabs(h) <= map_->floor_band ? h : NAN;
      }
    }
    {
      std::lock_guard<std::mutex> hold(map_->lock);
      if (map_->draw) {
        deviation_grid_add(&map_->grid, piece.first, n, piece.x.data(), piece.y.data(),
                           piece.height.data());
        height_histogram_add(&map_->histogram, n, piece.height.data());
      }
      if (map_->measure) {
        floor_readings_add(&map_->floor, n, piece.x.data(), piece.y.data(), inliers_.data());
      }
    }
    std::lock_guard<std::mutex> hold(lock_);
    spare_.push_back(std::move(piece));
  }
}

namespace {

// The levelled z of point p.
double levelled_z(const double (&motion)[4][4], double x, double y, double z) {
  return motion[2][0] * x + motion[2][1] * y + motion[2][2] * z + motion[2][3];
}

// The box in x and y of the inputs' boxes levelled by `motion` (low above high when none has
// points).
void levelled_extent(const Run &run, const double (&motion)[4][4], double (&low)[2],
                     double (&high)[2]) {
  low[0] = low[1] = HUGE_VAL;
  high[0] = high[1] = -HUGE_VAL;
  for (const Source *source : live(run)) {
    for (int corner = 0; corner < 8 && source->box[0] <= source->box[3]; ++corner) {
      double p[3];
      for (int k = 0; k < 3; ++k) {
        p[k] = source->box[((corner >> k) & 1) != 0 ? 3 + k : k];
      }
      for (int k = 0; k < 2; ++k) {
        const double moved =
            motion[k][0] * p[0] + motion[k][1] * p[1] + motion[k][2] * p[2] + motion[k][3];
        low[k] = std::min(low[k], moved);
        high[k] = std::max(high[k], moved);
      }
    }
  }
}

}  // namespace

// Starts the map: the level plane's height (the fitted plane's, or the levelled sample's median
// height under a saved transform), the colour scale's range (the sample's inliers' 2nd and 98th
// percentiles) and, when drawn, the grid over the levelled boxes of the inputs. False with the
// fault.
bool start_map(const Run &run, const PointSample &sample, const FoundPlane *found,
               const double (&motion)[4][4], MapState *map, LevellingOutcome *fault) {
  const size_t n = sample.x.size();
  std::vector<double> heights(n);
  for (size_t i = 0; i < n; ++i) {
    heights[i] = levelled_z(motion, sample.x[i], sample.y[i], sample.z[i]);
  }
  if (found != nullptr) {
    const double(&c)[3] = found->plane.centroid;
    map->level = levelled_z(motion, c[0], c[1], c[2]);
    map->threshold = found->threshold;
  } else if (n > 0) {
    std::vector<double> sorted = heights;
    std::nth_element(sorted.begin(), sorted.begin() + std::ptrdiff_t(n / 2), sorted.end());
    map->level = sorted[n / 2];
  }
  std::vector<double> inliers;
  for (double &h : heights) {
    h -= map->level;
    if (map->threshold <= 0.0 || std::fabs(h) <= map->threshold) {
      inliers.push_back(h);
    }
  }
  map->range = robust_height_range(inliers);
  // (A tolerance is judged on heights the grid keeps unclipped.)
  map->range = std::max(map->range, 2.0 * run.request.map_tolerance);
  // The histogram spans the inliers' band (the colours' range without one), so that no inlier
  // is clipped.
  constexpr int kHistogramBins = 61;  // odd: a bin centred on 0
  height_histogram_start(map->threshold > 0.0 ? map->threshold : map->range, kHistogramBins,
                         &map->histogram);
  map->histogram.limit = map->threshold;  // only the inliers
  if (!map->draw) {
    return true;
  }
  double low[2], high[2];
  levelled_extent(run, motion, low, high);
  if (!deviation_grid_start(low[0], low[1], high[0], high[1], run.request.map_cell, map->range,
                            &map->grid)) {
    const bool empty = !(low[0] <= high[0] && low[1] <= high[1]);
    *fault = empty ? failure(run.request.map, "no points to map", kNoPlane)
                   : failure(run.request.map,
                             "the levelled cloud's extent is beyond what a map can count "
                             "cells across",
                             kUnsupportedInput);
    return false;
  }
  return true;
}

namespace {

// The metres in a unit a file names, 0 when it names none.
double metres_in(LengthUnit unit) {
  switch (unit) {
    case LengthUnit::kMetre:
      return 1.0;
    case LengthUnit::kFoot:
      return 0.3048;
    case LengthUnit::kUsSurveyFoot:
      return 1200.0 / 3937.0;
    case LengthUnit::kUnknown:
      break;
  }
  return 0.0;
}

}  // namespace

bool start_floor_readings(const Run &run, const double (&motion)[4][4], MapState *map,
                          LevellingOutcome *fault) {
  const std::string &units = run.request.units;
  if (!units.empty()) {
    map->horizontal = map->vertical = metres_per_unit(units, &map->floor_units);
  } else {
    LengthUnit across = live(run).front()->read.horizontal_unit;
    LengthUnit up = live(run).front()->read.height_unit;
    for (const Source *source : live(run)) {
      across = source->read.horizontal_unit == across ? across : LengthUnit::kUnknown;
      up = source->read.height_unit == up ? up : LengthUnit::kUnknown;
    }
    map->horizontal = metres_in(across);
    map->vertical = metres_in(up);
    map->floor_units = across == up ? length_unit_name(across)
                                    : std::string(length_unit_name(across)) + " across, " +
                                          length_unit_name(up) + " up";
  }
  if (!(map->horizontal > 0.0) || !(map->vertical > 0.0)) {
    *fault = failure(run.shown,
                     "--flatness needs the cloud's units, which its files do not say (only LAS "
                     "coordinate systems do): give --units m, cm, mm, ft or us-ft",
                     kUsage);
    return false;
  }
  map->floor_band = std::max(map->threshold, kFloorBandMetres / map->vertical);
  double low[2], high[2];
  levelled_extent(run, motion, low, high);
  if (!floor_readings_start(low[0], low[1], high[0], high[1],
                            kReadingCellMetres / map->horizontal, &map->floor)) {
    const bool empty = !(low[0] <= high[0] && low[1] <= high[1]);
    *fault = failure(run.shown,
                     empty ? std::string("no points to measure the flatness of")
                           : "the levelled cloud spans more than " +
                                 std::to_string(kMostReadingCells >> 20) +
                                 " million readings 5 cm apart (100 m by 100 m): measure its "
                                 "floor in parts",
                     empty ? kNoPlane : kUnsupportedInput);
    return false;
  }
  map->measure = true;
  return true;
}

// Draws the map into the run's map output (put in place with the run's other outputs). False
// with the fault.
bool finish_map(Run *run, const FoundPlane *found, MapState *map, LevellingOutcome *fault) {
  const Run &run_ = *run;
  OutputFile *out = &run->map_out;
  int64_t points = 0;
  for (const Source *source : live(run_)) {
    points += source->read.points - source->empty;
  }
  char title[512];
  if (found != nullptr) {
    std::snprintf(title, sizeof title,
                  "%s: %lld points, %lld inliers (%.1f%%), rms %.3g, tilt %.3f deg before",
                  run_.shown.c_str(), static_cast<long long>(points),
                  static_cast<long long>(found->inliers),
                  points > 0 ? 100.0 * double(found->inliers) / double(points) : 0.0,
                  found->plane.rms, found->tilt * kDegreesPerRadian);
  } else {
    std::snprintf(title, sizeof title, "%s: %lld points, levelled by %s", run_.shown.c_str(),
                  static_cast<long long>(points), run_.request.transform.c_str());
  }
  // The units the inputs name, where they all name the same.
  LengthUnit across = live(run_).front()->read.horizontal_unit;
  LengthUnit up = live(run_).front()->read.height_unit;
  for (const Source *source : live(run_)) {
    across = source->read.horizontal_unit == across ? across : LengthUnit::kUnknown;
    up = source->read.height_unit == up ? up : LengthUnit::kUnknown;
  }
  DeviationMapText text;
  text.title = title;
  text.height_unit = length_unit_name(up);
  text.length_unit = length_unit_symbol(across);
  if (!run_.request.units.empty()) {  // (the units the user says)
    metres_per_unit(run_.request.units, &text.height_unit);
    text.length_unit = run_.request.units == "us-ft" ? "US ft" : run_.request.units;
  }
  text.tolerance = run_.request.map_tolerance;
  DeviationMapLayout layout;
  const RgbImage image =
      render_deviation_map(map->grid, map->histogram, map->range, text, &layout);
  map->height_unit = text.height_unit;
  map->length_unit = run_.request.units.empty() ? std::string(length_unit_name(across))
                                                : text.height_unit;
  map->scale_bar = layout.scale_bar_length;
  map->counts = layout.counts;
  std::string error;
  if (!write_png(image, out->stream(), &error)) {
    out->abandon();
    *fault = failure(run_.request.map, error, kUnwritableOutput);
    return false;
  }
  return true;
}

}  // namespace levelling
