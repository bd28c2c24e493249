#include "cloud/run_plan.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>
#include <system_error>

#include <unistd.h>

#include "cloud/camera_levelling.h"
#include "cloud/plane_search.h"
#include "cloud/run_fault.h"
#include "cloud/run_outputs.h"
#include "cloud/transform_file.h"
#include "formats/format_table.h"
#include "formats/stream_cloud.h"
#include "projection/rigid_levelling.h"

namespace levelling {

namespace fs = std::filesystem;

void Run::advance(Source *source, const char *pass, int64_t bytes) {
  std::lock_guard<std::mutex> hold(progress_lock);
  done += bytes - source->reported;
  source->reported = bytes;
  progress.report(pass, done);
}

void Run::pass_done(Source *source) {
  std::lock_guard<std::mutex> hold(progress_lock);
  done += source->input.size() - source->reported;
  source->reported = 0;
}

bool is_csv(const std::string &name) {
  std::string extension = fs::path(name).extension().string();
  for (char &c : extension) {
    c = char(std::tolower(static_cast<unsigned char>(c)));
  }
  return extension == ".csv";
}

namespace {

// The output's format as far as it can be told before reading the input: from the request,
// else from the output's name by the format table; kAuto (the input's own) for a name without
// an extension. False, with the status and the message, for a name whose extension is of no
// format written here.
bool output_choice(OutputChoice requested, const std::string &output, OutputChoice *choice,
                   int *status, std::string *message) {
  *choice = requested;
  if (requested.kind != OutputChoice::Kind::kInput || output.empty() || output == "-") {
    return true;
  }
  bool has_extension = false;
  const FormatRow *row = format_of_name(output, &has_extension);
  if (!has_extension) {
    return true;
  }
  if (row == nullptr) {
    *status = kUsage;
    *message = "an extension of no format this program writes (" + readable_extensions() +
               "); name the format with --format";
    return false;
  }
  if (row->stream == nullptr) {
    *status = kUnsupportedInput;
    *message = refusal_of(*row, false);
    return false;
  }
  *choice = output_choice_of(*row);
  return true;
}

// Where each input goes, checked before anything is opened: false with the fault.
bool plan_outputs(const LevellingRequest &request, Run *run, LevellingOutcome *fault) {
  std::set<std::string> names;
  for (const std::string &input : request.inputs) {
    auto source = std::make_unique<Source>();
    source->name = input;
    source->shown = input == "-" ? "standard input" : input;
    if (request.fit_only) {
      source->output.clear();
    } else if (request.in_place) {
      source->output = input;
    } else if (!request.output_dir.empty()) {
      source->output = (fs::path(request.output_dir) / fs::path(input).filename()).string();
      if (!names.insert(fs::path(input).filename().string()).second) {
        *fault = failure(input, "another input has the same name, which --output-dir would "
                                "give both",
                         kUsage);
        return false;
      }
    } else {
      source->output = request.output;
    }
    source->output_shown = source->output == "-" ? "standard output" : source->output;
    run->sources.push_back(std::move(source));
  }
  return true;
}

// No output names an input, nor two outputs one file: false with the fault (status 7).
bool outputs_distinct(const Run &run, LevellingOutcome *fault) {
  const LevellingRequest &request = run.request;
  std::vector<NamedPath> outputs, inputs;
  const char *const cloud_option = request.in_place             ? "--in-place"
                                   : !request.output_dir.empty() ? "--output-dir"
                                                                 : "-o";
  for (const auto &source : run.sources) {
    outputs.push_back({source->output, cloud_option, request.in_place ? source->name : ""});
    inputs.push_back({source->name, "an input cloud", ""});
  }
  outputs.push_back({request.cameras_output, "--cameras-output", ""});
  outputs.push_back({request.save_transform, "--save-transform", ""});
  outputs.push_back({request.map, "--map", ""});
  inputs.push_back({request.cameras, "--cameras", ""});
  inputs.push_back({request.transform, "--transform", ""});
  return check_distinct_outputs(outputs, inputs, fault);
}

// Checks and opens a source's output (before its input, so that an output that cannot be
// written is said before a long input is read), then its input. False with the source's fault.
bool open_source(const LevellingRequest &request, Source *source) {
  const std::string &output = source->output;
  std::error_code code;
  if (!output.empty() && output != "-" && source->name != "-" && !request.in_place &&
      fs::exists(output, code) && fs::equivalent(source->name, output, code)) {
    source->fault = failure(source->output_shown,
                            "is the input; use --in-place to level the input itself",
                            kWouldOverwriteInput);
    return false;
  }
  // A .spz, .splat or .ksplat file is a compressed splat, whatever its first bytes say.
  bool has_extension = false;
  const FormatRow *named = format_of_name(source->name, &has_extension);
  if (named != nullptr && refused_by_name(*named)) {
    source->fault = failure(source->shown, refusal_of(*named, true), kUnsupportedInput);
    return false;
  }
  int refused_status = kLevelled;
  std::string refusal;
  source->choice = request.format;
  if (!output.empty() &&
      !output_choice(request.format, output, &source->choice, &refused_status, &refusal)) {
    source->fault = failure(source->output_shown, refusal, refused_status);
    return false;
  }
  std::string error;
  if (!output.empty() && !source->out.open(output, &error)) {
    source->fault = failure(source->output_shown, error, kUnwritableOutput);
    return false;
  }
  if (!source->input.open(source->name, &error)) {
    source->out.abandon();
    source->fault = failure(source->shown, error, kUnreadableInput);
    return false;
  }
  return true;
}

}  // namespace

std::vector<Source *> live(const Run &run) {
  std::vector<Source *> sources;
  for (const auto &source : run.sources) {
    if (!source->failed()) {
      sources.push_back(source.get());
    }
  }
  return sources;
}

StreamResult stream_source(Run *run, Source *source, const char *pass, const PointVisitor &visit,
                           StreamOptions options) {
  std::rewind(source->input.stream());
  options.progress = [run, source, pass](int64_t bytes) { run->advance(source, pass, bytes); };
  // (Several inputs keep nothing decoded: their passes would hold every input's at once.)
  options.shortcuts.decoded = run->sources.size() == 1 ? &source->decoded : nullptr;
  // The cores shared among the files read at once, for their compressed chunks (unless the
  // pass reads its files one after another and said so).
  if (options.threads <= 0) {
    const int at_once = std::max(1, std::min(run->jobs, int(run->sources.size())));
    options.threads = std::max(1, core_count() / at_once);
  }
  const StreamResult result = stream_cloud(source->input.stream(), visit, options);
  run->pass_done(source);
  return result;
}

void add_failures(const Run &run, LevellingOutcome *outcome) {
  for (const auto &source : run.sources) {
    if (!source->failed()) {
      continue;
    }
    if (outcome->status == kLevelled) {
      outcome->status = source->fault.status;
      outcome->message = source->fault.message;
    } else {
      outcome->more_messages.push_back(source->fault.message);
    }
  }
}

bool plan_run(Run *run, LevellingOutcome *fault) {
  const LevellingRequest &request = run->request;
  if (request.inputs.empty()) {
    *fault = failure("", "no input", kUsage);
    return false;
  }
  // The transform to apply, and where the fitted one and the map go: all checked first.
  run->given = !request.transform.empty() || !request.motion.empty();
  if (run->given &&
      !(request.transform.empty()
            ? rigid_motion_of("the given motion", request.motion, run->transform, fault)
            : read_applied_transform(request.transform, request.inverse, run->transform,
                                     fault))) {
    return false;
  }
  // The cameras, read and checked whole (a small file) before any cloud.
  run->has_cameras = !request.cameras.empty();
  if (run->has_cameras && !read_camera_file(request.cameras, &run->cameras, fault)) {
    return false;
  }
  if (!plan_outputs(request, run, fault) || !outputs_distinct(*run, fault)) {
    return false;
  }
  std::string error;
  if (!request.cameras_output.empty() &&
      !run->cameras_out.open(request.cameras_output, &error)) {
    *fault = failure(request.cameras_output, error, kUnwritableOutput);
    return false;
  }
  if (!request.save_transform.empty() && !run->transform_out.open(request.save_transform, &error)) {
    *fault = failure(request.save_transform, error, kUnwritableOutput);
    return false;
  }
  if (!request.map.empty() && !run->map_out.open(request.map, &error)) {
    *fault = failure(request.map, error, kUnwritableOutput);
    return false;
  }
  // Runs side by side into one new folder (a batch engine's jobs, a cluster's workers) may
  // each find it missing and make it: one that another made meanwhile is made.
  std::error_code made;
  if (!request.output_dir.empty() && !request.fit_only &&
      !fs::is_directory(request.output_dir, made) &&
      !fs::create_directories(request.output_dir, made) &&
      !fs::is_directory(request.output_dir)) {
    *fault = failure(request.output_dir, made ? made.message() : "cannot be made a folder",
                     kUnwritableOutput);
    return false;
  }
  run->shown = run->sources.size() == 1
                   ? run->sources.front()->shown
                   : "the " + std::to_string(run->sources.size()) + " clouds together";
  run->jobs = thread_budget(request.jobs);
  int64_t bytes = 0;
  for (const auto &source : run->sources) {
    if (!open_source(request, source.get()) && run->sources.size() == 1) {
      *fault = source->fault;
      return false;
    }
    bytes += source->input.size();
  }
  if (live(*run).empty()) {
    *fault = LevellingOutcome();
    add_failures(*run, fault);
    return false;
  }
  const bool writing = !run->sources.front()->output.empty() || run->sources.size() > 1;
  const int passes =
      (run->given ? 0 : request.fit == FitMethod::kRobust ? 2 : 1) + (writing ? 1 : 0);
  run->progress = Progress(request.progress && isatty(fileno(stderr)), bytes * passes);
  search_up_of(request, run->up);
  if (run->has_cameras && !request.up.given && !run->given) {
    if (!cameras_up(run->cameras.cameras, &run->cameras_up)) {
      *fault = failure(request.cameras,
                       "its cameras' image-up directions cancel out: say which way is up with --up",
                       kNoPlane);
      return false;
    }
    std::copy(run->cameras_up.up, run->cameras_up.up + 3, run->up);
  }
  return true;
}

}  // namespace levelling
