#include "cloud/cloud_levelling.h"

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cloud/camera_levelling.h"
#include "cloud/map_feeder.h"
#include "cloud/model_levelling.h"
#include "cloud/plane_search.h"
#include "cloud/reading_passes.h"
#include "cloud/run_fault.h"
#include "cloud/run_outputs.h"
#include "cloud/run_plan.h"
#include "cloud/run_report.h"
#include "cloud/transform_file.h"
#include "cloud/write_pass.h"

namespace levelling {

namespace {

// An up direction's components whose squares stay well inside a double.
constexpr double kLargestUpComponent = 1e150;

}  // namespace

bool parse_up_direction(const std::string &text, UpDirection *up) {
  static const char *const kAxes[] = {"x", "y", "z"};
  if (text == "auto") {
    *up = UpDirection();
    up->automatic = true;
    up->name = "auto";
    return true;
  }
  for (int k = 0; k < 3; ++k) {
    for (const char *sign : {"", "+", "-"}) {
      if (text == std::string(sign) + kAxes[k]) {
        *up = UpDirection();
        for (double &each : up->axis) {
          each = 0.0;
        }
        up->axis[k] = sign[0] == '-' ? -1.0 : 1.0;
        up->name = std::string(sign[0] == '-' ? "-" : "+") + kAxes[k];
        return true;
      }
    }
  }
  double values[3];
  const char *at = text.c_str();
  for (int k = 0; k < 3; ++k) {
    char *end = nullptr;
    values[k] = std::strtod(at, &end);
    if (end == at || !std::isfinite(values[k]) || *end != (k < 2 ? ',' : '\0')) {
      return false;
    }
    at = end + 1;
  }
  if (values[0] == 0.0 && values[1] == 0.0 && values[2] == 0.0) {
    return false;
  }
  // Where its length would overflow or underflow, scaled by its largest component.
  const double largest =
      std::fmax(std::fabs(values[0]), std::fmax(std::fabs(values[1]), std::fabs(values[2])));
  const double scale = largest > kLargestUpComponent || largest < 1.0 / kLargestUpComponent
                           ? 1.0 / largest
                           : 1.0;
  *up = UpDirection();
  for (int k = 0; k < 3; ++k) {
    up->axis[k] = values[k] * scale;
  }
  up->name = "(" + text + ")";
  return true;
}

namespace {

// Every output the run has written, the clouds' and the side outputs'.
std::vector<PendingOutput> pending_outputs(Run &run) {
  std::vector<PendingOutput> pending;
  for (Source *source : live(run)) {
    if (!source->output.empty()) {
      pending.push_back({&source->out, source->output_shown});
    }
  }
  const LevellingRequest &request = run.request;
  for (const auto &[out, name] : {std::pair<OutputFile *, const std::string *>{
                                      &run.transform_out, &request.save_transform},
                                  {&run.cameras_out, &request.cameras_output},
                                  {&run.map_out, &request.map}}) {
    if (!name->empty()) {
      pending.push_back({out, *name});
    }
  }
  return pending;
}

// The plane of the run and the motion that levels it. False with the fault.
bool fit_plane(Run *run, const FirstPass &first, FoundPlane *found, RigidLevelling *levelling,
               double (&motion)[4][4], LevellingOutcome *fault) {
  const InlierPass every_inlier = [run](const PlaneBand &band, CloudFit *inliers,
                                        int64_t *counted, int64_t *valid, LevellingOutcome *why) {
    return fit_inliers(run, band, inliers, counted, valid, why);
  };
  PlaneSearch search = plane_search_of(run->request, run->up, run->shown);
  search.cameras = run->has_cameras ? &run->cameras.cameras : nullptr;
  return find_levelling(run->request, search, first.sample, first.all, every_inlier, found,
                        levelling, motion, fault);
}

}  // namespace

LevellingOutcome level_cloud(const LevellingRequest &request) {
  // A COLMAP model folder: its points, poses and tracks levelled as a model.
  ColmapModelFiles model;
  if (request.inputs.size() == 1 && find_colmap_model(request.inputs.front(), &model)) {
    return level_colmap_model(request, model);
  }
  Run run(request);
  LevellingOutcome fault;
  if (!plan_run(&run, &fault)) {
    return fault;
  }
  // The plane and its motion, or the saved transform's.
  FirstPass first;
  FoundPlane found;
  const FoundPlane *fitted = run.given ? nullptr : &found;
  RigidLevelling levelling;
  double motion[4][4];
  if (run.given) {
    std::copy(&run.transform[0][0], &run.transform[0][0] + 16, &motion[0][0]);
    if (request.map.empty() && !request.flatness) {
      read_boxes(&run);
    } else if (!read_first_pass(&run, &first, &fault)) {
      // (The map needs the levelled cloud's extent and a sample of its heights first.)
      return fault;
    }
  } else {
    // With several inputs, one that fails in the refit's pass (which alone reads every record
    // of a file whose first pass read only those sampled) is set aside, and the fit starts
    // again without it.
    for (;;) {
      const size_t inputs = live(run).size();
      if (read_first_pass(&run, &first, &fault) &&
          fit_plane(&run, first, &found, &levelling, motion, &fault)) {
        break;
      }
      const size_t left = live(run).size();
      if (left == inputs || left == 0) {
        return fault;
      }
    }
  }
  // The side outputs written now, put in place with the clouds once all are ready.
  std::string moved;
  if (!request.save_transform.empty() &&
      !stage_bytes(transform_text(motion), request.save_transform, &run.transform_out, &fault)) {
    return fault;
  }
  if (!request.cameras_output.empty() &&
      !(moved_cameras(run.cameras, motion, request.cameras, &moved, &fault) &&
        stage_bytes(moved, request.cameras_output, &run.cameras_out, &fault))) {
    return fault;
  }
  // The last pass, with the map and the floor's readings beside it.
  std::unique_ptr<MapState> map;
  if (!request.map.empty() || request.flatness) {
    map = std::make_unique<MapState>();
    map->draw = !request.map.empty();
    if (!start_map(run, first.sample, fitted, motion, map.get(), &fault) ||
        (request.flatness && !start_floor_readings(run, motion, map.get(), &fault))) {
      return fault;
    }
  }
  std::vector<Source *> writers;
  for (Source *source : live(run)) {
    if (!source->output.empty()) {
      writers.push_back(source);
    }
  }
  on_each(writers.size(), run.jobs,
          [&](size_t i) { write_levelled(&run, writers[i], motion, map.get()); });
  if (map != nullptr && writers.empty()) {
    map_levelled(&run, motion, map.get());
  }
  if (map != nullptr && map->draw && !live(run).empty() &&
      !finish_map(&run, fitted, map.get(), &fault)) {
    return fault;
  }
  run.progress.clear();
  LevellingOutcome outcome;
  add_failures(run, &outcome);
  if (run.sources.size() == 1 && outcome.status != kLevelled) {
    return outcome;  // (nothing put in place: every output is abandoned)
  }
  if (!live(run).empty() && !commit_outputs(pending_outputs(run), request.sync, &fault)) {
    return fault;
  }

  // The report.
  outcome.report_to_stderr = run.sources.size() == 1 && run.sources.front()->output == "-";
  if (!request.quiet && !live(run).empty()) {
    LevellingReport report = report_of(run, fitted, levelling, motion);
    if (map != nullptr && map->measure) {
      report.flatness = true;
      report.floor = floor_flatness(map->floor, map->floor_units, map->horizontal, map->vertical);
    }
    if (map != nullptr && map->draw) {
      report.map = request.map;
      report.map_range = map->range;
      report.map_unit = map->height_unit;
      report.map_length_unit = map->length_unit;
      report.map_scale_bar = map->scale_bar;
      report.map_tolerance = request.map_tolerance;
      report.map_cells_within = map->counts.within;
      report.map_cells_above = map->counts.above;
      report.map_cells_below = map->counts.below;
    }
    outcome.report =
        request.report == ReportForm::kJson ? report_json(report) : report_text(report);
  }
  return outcome;
}

}  // namespace levelling
