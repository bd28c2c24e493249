#include "cloud/site_levelling.h"

#include "cloud/reading_passes.h"
#include "cloud/run_fault.h"
#include "cloud/run_plan.h"
#include "cloud/run_report.h"
#include "formats/format_table.h"

namespace levelling {

namespace {

// The request of a stage that only reads its tile: nothing written, no progress line.
LevellingRequest reading_only(const LevellingRequest &request) {
  LevellingRequest reading = request;
  reading.fit_only = true;
  reading.output.clear();
  reading.output_dir.clear();
  reading.in_place = false;
  reading.save_transform.clear();
  reading.map.clear();
  reading.progress = false;
  reading.transform.clear();
  reading.motion.clear();
  return reading;
}

// The run of a stage over its one tile, planned. False with the fault.
bool plan_tile(Run *run, LevellingOutcome *fault) {
  if (run->request.inputs.size() != 1) {
    *fault = failure("", "a stage reads one tile", kUsage);
    return false;
  }
  return plan_run(run, fault);
}

}  // namespace

bool count_tile(const LevellingRequest &request, int64_t *records, LevellingOutcome *fault) {
  const LevellingRequest reading = reading_only(request);
  Run run(reading);
  if (!plan_tile(&run, fault)) {
    return false;
  }
  Source *source = run.sources.front().get();
  StreamOptions options;
  // A reader of records of a fixed size asks which to read once its header is read: none.
  options.shortcuts.pick = [](int64_t, std::vector<int64_t> *) { return false; };
  const StreamResult read = stream_source(&run, source, "counting", [](PointBlock *) {}, options);
  if (read.fault != StreamFault::kNone) {
    *fault = failure(source->shown, read.message, status_of(read.fault));
    return false;
  }
  *records = read.points;
  return true;
}

bool read_tile_first(const LevellingRequest &request, int64_t first_point, TileFirstPass *tile,
                     LevellingOutcome *fault) {
  const LevellingRequest reading = reading_only(request);
  Run run(reading);
  if (!plan_tile(&run, fault)) {
    return false;
  }
  run.first_point = first_point;
  FirstPass pass;
  if (!read_first_pass(&run, &pass, fault)) {
    return false;
  }
  const Source &source = *run.sources.front();
  tile->points = source.read.points;
  tile->empty = source.empty;
  tile->counted = source.counted;
  tile->sample = std::move(pass.sample);
  tile->all = pass.all;
  tile->format = cloud_format_name(source.read.format);
  tile->normals = source.read.has_normals;
  return true;
}

bool fit_tile_inliers(const LevellingRequest &request, const PlaneBand &band, CloudFit *inliers,
                      int64_t *counted, int64_t *valid, LevellingOutcome *fault) {
  const LevellingRequest reading = reading_only(request);
  Run run(reading);
  if (!plan_tile(&run, fault)) {
    return false;
  }
  Source *source = run.sources.front().get();
  *inliers = CloudFit();
  *counted = 0;
  int64_t empty = 0;
  ValidPoints points;
  const StreamResult read = stream_source(
      &run, source, "fitting",
      [&](PointBlock *block) {
        *counted += plane_band_fit_add(inliers, band, int64_t(block->count), block->x.data(),
                                       block->y.data(), block->z.data());
        points.visit(*block, &empty, [](int64_t, const double *, const double *, const double *) {
        });
      },
      StreamOptions());
  if (read.fault != StreamFault::kNone) {
    *fault = failure(source->shown, read.message, status_of(read.fault));
    return false;
  }
  *valid = read.points - empty;
  return true;
}

bool fit_site(const LevellingRequest &request, const std::vector<TileFirstPass> &tiles,
              size_t tiles_named, const InlierPass &inlier_pass, LevellingReport *report,
              double (&motion)[4][4], LevellingOutcome *fault) {
  PointSample sample;
  point_sample_start(&sample, kDefaultSampleSize, request.seed);
  CloudFit all;
  for (const TileFirstPass &tile : tiles) {
    point_sample_merge(&sample, tile.sample);
    cloud_fit_merge(&all, tile.all);
  }
  point_sample_finish(&sample);
  // The cloud as a run of the tiles names it.
  const std::string shown = tiles_named == 1 && request.inputs.size() == 1
                                ? request.inputs.front()
                                : "the " + std::to_string(tiles_named) + " clouds together";
  double up[3];
  search_up_of(request, up);
  FoundPlane found;
  RigidLevelling levelling;
  if (!find_levelling(request, plane_search_of(request, up, shown), sample, all, inlier_pass,
                      &found, &levelling, motion, fault)) {
    return false;
  }
  report_plane(request, found, levelling, motion, report);
  return true;
}

}  // namespace levelling
