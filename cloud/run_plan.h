// The plan of a levelling run: every input with its output, checked and opened before a byte is
// read, and what the passes share (the progress line, how many files at once).
#ifndef LEVELLING_CLOUD_RUN_PLAN_H
#define LEVELLING_CLOUD_RUN_PLAN_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cloud/camera_levelling.h"
#include "cloud/cloud_levelling.h"
#include "cloud/output_file.h"
#include "cloud/point_spool.h"
#include "cloud/progress.h"
#include "formats/core/cloud_stream.h"
#include "formats/core/fan_out.h"
#include "formats/core/input_file.h"
#include "scene/camera_files.h"

namespace levelling {

// One input of a run: its file, what the first pass learnt of it, and where it goes.
struct Source {
  std::string name;   // as given
  std::string shown;  // as messages name it ("standard input")
  InputFile input;
  StreamResult read;
  int64_t empty = 0;
  int64_t first_point = 0;  // the index of its first point in the whole cloud (the inputs in order)
  // The valid points' box: min x, y, z, then max x, y, z.
  double box[6] = {HUGE_VAL, HUGE_VAL, HUGE_VAL, -HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  // Whether `empty` and `box` are of every point: false after a first pass that read only the
  // records it sampled (the box then the sample's), until the refit's pass has counted them.
  bool counted = true;
  std::unique_ptr<PointSpool> spool;
  // What its reader decoded for the next pass (a run of one input keeps it: PCD's compressed
  // data decompressed once), dropped after the last pass.
  std::unique_ptr<DecodedData> decoded;
  std::string output;  // "" for none
  std::string output_shown;
  OutputChoice choice;
  OutputFile out;
  CloudFormat written = CloudFormat::kText;  // the output's format, once written
  int64_t reported = 0;  // bytes of the current pass told to the progress line
  LevellingOutcome fault;  // its failure (status kLevelled while it has none)

  bool failed() const { return fault.status != kLevelled; }
};

// A levelling run: its request, its inputs and outputs, and what every pass shares.
struct Run {
  explicit Run(const LevellingRequest &request_in) : request(request_in), progress(false, 0) {}

  const LevellingRequest &request;
  std::vector<std::unique_ptr<Source>> sources;
  std::string shown;  // the cloud as messages name it: its file, or all of them
  int jobs = 1;       // files read and written at once
  // The index of the first input's first point in the whole cloud: 0, or where this run's
  // inputs start in a site whose other tiles other runs read (its sample drawn alike).
  int64_t first_point = 0;
  double up[3] = {0.0, 0.0, 1.0};  // the up direction (+z when it is automatic)
  // A saved transform, already inverted if asked (given: one was).
  bool given = false;
  double transform[4][4] = {};
  OutputFile transform_out, map_out;  // where --save-transform and --map go
  // The cameras (--cameras) and where they go moved (--cameras-output).
  bool has_cameras = false;
  CameraFile cameras;
  CamerasUp cameras_up;  // the up they told (when it is theirs: no --up, no transform)
  OutputFile cameras_out;
  Progress progress;
  std::mutex progress_lock;
  int64_t done = 0;  // bytes of the input read in all passes so far, for the progress line

  // Tells the progress line that `source` has read `bytes` of its current pass.
  void advance(Source *source, const char *pass, int64_t bytes);
  // Ends a pass of `source` over its whole input.
  void pass_done(Source *source);
};

// Checks the request and opens everything it names, before any input is read: the saved
// transform read, its and the map's outputs opened, each input's output chosen (its format from
// its name), checked not to be the input and opened, then the input. With several inputs, one
// that fails is set aside with its fault; false with the fault when the run cannot start (one
// input that fails, or none left).
bool plan_run(Run *run, LevellingOutcome *fault);

// The sources not failed.
std::vector<Source *> live(const Run &run);

// Streams a source's input from its start into `visit` (and `options`' output, if any), on
// options.threads threads, or (0) on its share of the cores among the files read at once.
StreamResult stream_source(Run *run, Source *source, const char *pass, const PointVisitor &visit,
                           StreamOptions options);

// A comma-separated text file, by its name.
bool is_csv(const std::string &name);

// The outcome of a run whose sources may have failed: the first failure's status and message,
// the others' messages after it.
void add_failures(const Run &run, LevellingOutcome *outcome);

}  // namespace levelling

#endif
