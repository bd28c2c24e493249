#include "cloud/run_report.h"

#include <string>

#include "cloud/camera_levelling.h"
#include "cloud/run_fault.h"

namespace levelling {

namespace {

// What the report says of the outputs' frame, for LAS: its coordinate system's description no
// longer describes levelled coordinates.
std::string frame_note(const Source &source) {
  if (source.output.empty() || source.failed()) {
    return "";
  }
  if (family_of(source.read.format) == CloudFamily::kLas) {
    // What the output leaves out (a COPC file's octree) goes first.
    const std::string left_out =
        source.read.dropped.empty() ? "" : "the output leaves out " + source.read.dropped + "; ";
    return left_out + (family_of(source.written) == CloudFamily::kLas
               ? "the output is in a levelled local frame: its coordinate system's "
                 "description (the VLRs) is kept as it was and no longer describes it"
               : "the output is in a levelled local frame; the input's VLRs and EVLRs "
                 "(its coordinate system) have no place in " +
                     std::string(cloud_family_name(family_of(source.written))));
  }
  return family_of(source.written) == CloudFamily::kLas
             ? "the LAS output has no coordinate system description"
             : "";
}

}  // namespace

LevellingReport report_of(const Run &run, const FoundPlane *found,
                          const RigidLevelling &levelling, const double (&motion)[4][4]) {
  const LevellingRequest &request = run.request;
  LevellingReport report;
  report.inputs = int(run.sources.size());
  bool first = true;
  for (const auto &source : run.sources) {
    report.input += (report.input.empty() ? "" : ", ") + source->name;
    if (source->failed()) {
      continue;
    }
    report.format = first || report.format == cloud_format_name(source->read.format)
                        ? cloud_format_name(source->read.format)
                        : "several formats";
    first = false;
    report.points += source->read.points;
    report.empty_points += source->empty;
    report.normals = report.normals || source->read.has_normals;
    if (!source->output.empty()) {
      report.outputs.push_back(source->output);
    }
    const std::string note = frame_note(*source);
    report.note = report.note.empty() ? note : report.note;
  }
  report.saved_transform = request.save_transform;
  report.cameras = run.has_cameras ? int64_t(run.cameras.cameras.size()) : 0;
  report.cameras_output = request.cameras_output;
  if (found == nullptr) {
    for (int r = 0; r < 4; ++r) {
      for (int c = 0; c < 4; ++c) {
        report.matrix[r][c] = motion[r][c];
      }
    }
    report.fitted = false;
    report.transform = request.transform;
    report.inverse = request.inverse;
    return report;
  }
  report_plane(request, *found, levelling, motion, &report);
  if (run.has_cameras) {
    report.cameras_agreeing = cameras_agreeing(run.cameras.cameras, found->plane);
  }
  if (run.has_cameras && !request.up.given) {
    report_cameras_up(run.cameras_up, &report);
  }
  return report;
}

void report_cameras_up(const CamerasUp &up, LevellingReport *report) {
  report->up = "the cameras' (" + short_number(up.up[0]) + "," + short_number(up.up[1]) + "," +
               short_number(up.up[2]) + ")";
  report->cameras_up_from = up.from_right_axes ? "right axes" : "image-up";
  report->cameras_up_spread_degrees = up.spread_degrees;
}

void report_plane(const LevellingRequest &request, const FoundPlane &found,
                  const RigidLevelling &levelling, const double (&motion)[4][4],
                  LevellingReport *report) {
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      report->matrix[r][c] = motion[r][c];
    }
  }
  report->fitted = true;
  const OrthogonalPlane &plane = found.plane;
  report->fit = !request.plane_points.empty()        ? "points"
                : request.fit == FitMethod::kRobust ? "robust"
                                                    : "all";
  report->up = request.up.name;
  for (int k = 0; k < 3; ++k) {
    report->normal[k] = plane.normal[k];
    report->pivot[k] = levelling.pivot[k];
  }
  report->offset = plane.offset;
  // The slope form of the oriented normal, when it points up in z.
  report->has_slopes = plane.normal[2] > kVerticalNormalZ;
  if (report->has_slopes) {
    report->a = -plane.normal[0] / plane.normal[2];
    report->b = -plane.normal[1] / plane.normal[2];
    report->c = plane.offset / plane.normal[2];
  }
  if (found.yawed) {
    report->yawed = true;
    report->yaw_degrees = found.wall_yaw.yaw * kDegreesPerRadian;
    report->wall_points = found.wall_yaw.walls;
    report->vertical_points = found.wall_yaw.vertical;
  }
  report->tilt_degrees = found.tilt * kDegreesPerRadian;
  report->inliers = found.inliers;
  report->threshold = found.threshold;
  report->rms = plane.rms;
  report->angle_x_degrees = levelling.angle_x * kDegreesPerRadian;
  report->angle_y_degrees = levelling.angle_y * kDegreesPerRadian;
  report->pivot_name =
      request.pivot == PivotChoice::kOrigin ? "origin"
      : request.plane_points.empty()        ? "centroid of the inliers"
                                            : "centroid of the three points";
}

}  // namespace levelling
