#include "cloud/model_levelling.h"

#include <filesystem>
#include <memory>
#include <string>

#include "cloud/array_levelling.h"
#include "cloud/camera_levelling.h"
#include "cloud/output_file.h"
#include "cloud/run_fault.h"
#include "cloud/run_outputs.h"
#include "cloud/transform_file.h"

namespace levelling {

namespace {

namespace fs = std::filesystem;

// What a model's levelling refuses of the request: options for clouds of points.
std::string unusable_option(const LevellingRequest &request) {
  if (!request.map.empty()) {
    return "--map draws clouds, not COLMAP models";
  }
  if (!request.output_dir.empty() || request.in_place) {
    return "a COLMAP model is levelled into the folder -o names";
  }
  if (request.format.kind != OutputChoice::Kind::kInput) {
    return "a COLMAP model is written as a model of its own kind, not in --format";
  }
  if (request.output == "-") {
    return "a COLMAP model is a folder: -o names the folder it goes to";
  }
  return "";
}

// The files a model's levelling writes, each written whole, then put in place together.
class ModelOutputs {
 public:
  // Writes `bytes` for `name`. False with the fault (status 6).
  bool add(const std::string &bytes, const std::string &name, LevellingOutcome *fault) {
    files_.push_back(std::make_unique<OutputFile>());
    std::string error;
    if (!files_.back()->open(name, &error)) {
      *fault = failure(name, error, kUnwritableOutput);
      return false;
    }
    pending_.push_back({files_.back().get(), name});
    return stage_bytes(bytes, name, files_.back().get(), fault);
  }
  bool commit(bool sync, LevellingOutcome *fault) { return commit_outputs(pending_, sync, fault); }

 private:
  std::vector<std::unique_ptr<OutputFile>> files_;
  std::vector<PendingOutput> pending_;
};

}  // namespace

LevellingOutcome level_colmap_model(const LevellingRequest &request,
                                    const ColmapModelFiles &files) {
  LevellingOutcome fault;
  const std::string folder = request.inputs.front();
  const std::string refusal = unusable_option(request);
  if (!refusal.empty()) {
    return failure(folder, refusal, kUsage);
  }
  std::error_code code;
  if (!request.output.empty() && fs::exists(request.output, code) &&
      fs::equivalent(request.output, folder, code)) {
    return failure(request.output, "is the input model; level it into another folder",
                   kWouldOverwriteInput);
  }
  // A model file's place in the output folder.
  const auto named = [&](const std::string &file) {
    return (fs::path(request.output) / fs::path(file).filename()).string();
  };
  std::vector<NamedPath> outputs_named = {{request.save_transform, "--save-transform", ""},
                                          {request.cameras_output, "--cameras-output", ""}};
  if (!request.output.empty()) {
    for (const std::string &file : {files.cameras, files.images, files.points}) {
      outputs_named.push_back({named(file), "-o", ""});
    }
  }
  if (!check_distinct_outputs(outputs_named,
                              {{files.cameras, "the model", ""},
                               {files.images, "the model", ""},
                               {files.points, "the model", ""},
                               {request.cameras, "--cameras", ""},
                               {request.transform, "--transform", ""}},
                              &fault)) {
    return fault;
  }
  // Everything read and checked first.
  std::string bytes, cameras_bytes;
  ColmapPoints points;
  CameraFile images;
  std::string error;
  if (!read_whole_file(files.points, &bytes, &fault)) {
    return fault;
  }
  if (!parse_colmap_points(files.binary, bytes, &points, &error)) {
    return failure(files.points, error, kMalformedInput);
  }
  if (!read_camera_file(files.images, &images, &fault) ||
      (!request.output.empty() && !read_whole_file(files.cameras, &cameras_bytes, &fault))) {
    return fault;
  }
  CameraFile cameras;
  if (!request.cameras.empty() && !read_camera_file(request.cameras, &cameras, &fault)) {
    return fault;
  }
  // The motion: a saved transform, or the fit of the points with the cameras' up.
  LevellingReport report;
  double motion[4][4];
  if (!request.transform.empty()) {
    if (!read_applied_transform(request.transform, request.inverse, motion, &fault)) {
      return fault;
    }
    report.fitted = false;
    report.transform = request.transform;
    report.inverse = request.inverse;
    std::copy(&motion[0][0], &motion[0][0] + 16, &report.matrix[0][0]);
  } else {
    LevellingRequest fitting = request;
    fitting.cameras = request.cameras.empty() ? files.images : request.cameras;
    PointArray array;
    array.data = points.xyz.data();
    array.rows = int64_t(points.xyz.size() / 3);
    array.shown = folder;
    if (!fit_point_array(fitting, array, &report, motion, &fault)) {
      return fault;
    }
  }
  report.input = folder;
  report.format = files.binary ? "COLMAP model (binary)" : "COLMAP model (text)";
  report.points = int64_t(points.xyz.size() / 3);
  report.empty_points = 0;
  report.saved_transform = request.save_transform;
  report.cameras_output = request.cameras_output;
  // Then written: the transform, the cameras asked for, the model, each file whole, all put in
  // place once every one is written.
  ModelOutputs outputs;
  if (!request.save_transform.empty() &&
      !outputs.add(transform_text(motion), request.save_transform, &fault)) {
    return fault;
  }
  std::string moved;
  if (!request.cameras_output.empty() &&
      !(moved_cameras(cameras, motion, request.cameras, &moved, &fault) &&
        outputs.add(moved, request.cameras_output, &fault))) {
    return fault;
  }
  if (!request.output.empty()) {
    if (!fs::is_directory(request.output, code) && !fs::create_directories(request.output, code) &&
        !fs::is_directory(request.output, code)) {
      return failure(request.output, code ? code.message() : "cannot be made a folder",
                     kUnwritableOutput);
    }
    if (!outputs.add(cameras_bytes, named(files.cameras), &fault) ||
        !moved_cameras(images, motion, files.images, &moved, &fault) ||
        !outputs.add(moved, named(files.images), &fault) ||
        !outputs.add(moved_colmap_points(points, motion), named(files.points), &fault)) {
      return fault;
    }
    report.outputs.push_back(request.output);
  }
  if (!outputs.commit(request.sync, &fault)) {
    return fault;
  }
  LevellingOutcome outcome;
  if (!request.quiet) {
    outcome.report =
        request.report == ReportForm::kJson ? report_json(report) : report_text(report);
  }
  return outcome;
}

}  // namespace levelling
