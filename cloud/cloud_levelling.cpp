#include "cloud/cloud_levelling.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "cloud/levelling_report.h"
#include "formats/byte_io.h"
#include "formats/cloud_stream.h"
#include "formats/format_table.h"
#include "formats/input_file.h"
#include "formats/number_text.h"
#include "formats/output_file.h"
#include "map/deviation_map.h"
#include "map/png_file.h"
#include "plane/cloud_fit.h"
#include "plane/orthogonal_fit.h"
#include "plane/plane_detection.h"
#include "projection/rigid_levelling.h"

#include <unistd.h>

namespace levelling {

namespace {

namespace fs = std::filesystem;

constexpr double kDegreesPerRadian = 57.295779513082320876798;
// The least share of the points the levelled plane must hold.
constexpr double kMaterialShare = 0.05;
// Streaming refits of the plane to every inlier: at most this many passes, and no more once
// the inliers change by less than kSettledChange (a share of them, measured on the sample).
constexpr int kMaxRefitPasses = 3;
constexpr double kSettledChange = 1e-3;
// How far a saved transform's rotation may be from orthonormal: far above the rounding of 17
// printed digits, far below any scale or shear a user would mean.
constexpr double kRigidTolerance = 1e-9;

// A line on standard error saying how far the work has come, shown only on a terminal and only
// once the work has taken a second.
class Progress {
 public:
  Progress(bool enabled, int64_t total) : enabled_(enabled), total_(total) {}
  ~Progress() { clear(); }

  void report(const char *pass, int64_t done) {
    if (!enabled_ || total_ <= 0) {
      return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - start_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(200)) {
      return;
    }
    last_ = now;
    const int shown = std::fprintf(stderr, "\rlevelling-cloud: %s %3d%%", pass,
                                   int(100.0 * double(done) / double(total_)));
    width_ = shown > width_ ? shown : width_;
    std::fflush(stderr);
  }

  void clear() {
    if (width_ > 0) {
      std::fprintf(stderr, "\r%*s\r", width_, "");
      width_ = 0;
    }
  }

 private:
  bool enabled_;
  int64_t total_;
  int width_ = 0;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_ = start_;
};

int status_of(StreamFault fault) {
  switch (fault) {
    case StreamFault::kNone:
      return kLevelled;
    case StreamFault::kRead:
      return kUnreadableInput;
    case StreamFault::kMalformed:
      return kMalformedInput;
    case StreamFault::kUnsupported:
      return kUnsupportedInput;
    case StreamFault::kWrite:
      return kUnwritableOutput;
  }
  return kInternalFault;
}

// A comma-separated text file, by its name.
bool is_csv(const std::string &name) {
  std::string extension = fs::path(name).extension().string();
  for (char &c : extension) {
    c = char(std::tolower(static_cast<unsigned char>(c)));
  }
  return extension == ".csv";
}

// The output's format as far as it can be told before reading the input: from the request,
// else from the output's name by the format table; kAuto (the input's own) for a name without
// an extension. False, with the status and the message, for a name whose extension is of no
// format written here.
bool output_choice(OutputFormatChoice requested, const std::string &output,
                   OutputFormatChoice *choice, int *status, std::string *message) {
  *choice = requested;
  if (requested != OutputFormatChoice::kAuto || output.empty() || output == "-") {
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
  *choice = row->stream == stream_ply_cloud   ? OutputFormatChoice::kPly
            : row->stream == stream_pcd_cloud ? OutputFormatChoice::kPcd
            : row->stream == stream_las_cloud ? OutputFormatChoice::kLas
                                              : OutputFormatChoice::kText;
  return true;
}

// The output's format once the input's is known.
CloudFormat output_format(OutputFormatChoice choice, CloudFormat input) {
  switch (choice) {
    case OutputFormatChoice::kText:
      return CloudFormat::kText;
    case OutputFormatChoice::kPly:
      return family_of(input) == CloudFamily::kPly ? input : CloudFormat::kPlyBinaryLittleEndian;
    case OutputFormatChoice::kPlyAscii:
      return CloudFormat::kPlyAscii;
    case OutputFormatChoice::kPlyBinary:
      return CloudFormat::kPlyBinaryLittleEndian;
    case OutputFormatChoice::kPlyBinaryBigEndian:
      return CloudFormat::kPlyBinaryBigEndian;
    case OutputFormatChoice::kPcd:
      return family_of(input) == CloudFamily::kPcd ? input : CloudFormat::kPcdBinary;
    case OutputFormatChoice::kPcdAscii:
      return CloudFormat::kPcdAscii;
    case OutputFormatChoice::kPcdBinary:
      return CloudFormat::kPcdBinary;
    case OutputFormatChoice::kPcdBinaryCompressed:
      return CloudFormat::kPcdBinaryCompressed;
    case OutputFormatChoice::kLas:
      return CloudFormat::kLas;
    case OutputFormatChoice::kAuto:
      break;
  }
  return input;
}

// `text` with every byte that is not printable (control bytes, DEL) written as \xNN, so that a
// message quoting a file cannot move the terminal's cursor or hide in a log.
std::string printable(const std::string &text) {
  std::string shown;
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", unsigned(byte));
      shown += escaped;
    } else {
      shown += c;
    }
  }
  return shown;
}

LevellingOutcome failure(const std::string &file, const std::string &message, int status) {
  LevellingOutcome outcome;
  outcome.status = status;
  outcome.message = printable(file.empty() ? message : file + ": " + message);
  return outcome;
}

// The --max-tilt to suggest for a plane tilted `tilt` radians: half a degree more, rounded up
// to whole degrees (the refit on every inlier may tilt it a hair further), at most 90.
int suggested_max_tilt(double tilt) {
  return std::min(90, int(std::ceil(tilt * kDegreesPerRadian + 0.5)));
}

std::string percent(double share) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f%%", 100.0 * share);
  return text;
}

std::string degrees_text(double radians, const char *format) {
  char text[32];
  std::snprintf(text, sizeof text, format, radians * kDegreesPerRadian);
  return text;
}

// Visits the valid points of each block: those of an empty point (all NaN) are left out,
// counted in *empty.
class ValidPoints {
 public:
  template <typename Use>
  void visit(const PointBlock &block, int64_t *empty, const Use &use) {
    const size_t n = block.count;
    size_t first_empty = 0;
    while (first_empty < n && block.x[first_empty] == block.x[first_empty]) {
      ++first_empty;
    }
    if (first_empty == n) {
      use(int64_t(n), block.x.data(), block.y.data(), block.z.data());
      return;
    }
    x_.clear();
    y_.clear();
    z_.clear();
    for (size_t i = 0; i < n; ++i) {
      if (is_empty_point(block.x[i], block.y[i], block.z[i])) {
        ++*empty;
        continue;
      }
      x_.push_back(block.x[i]);
      y_.push_back(block.y[i]);
      z_.push_back(block.z[i]);
    }
    use(int64_t(x_.size()), x_.data(), y_.data(), z_.data());
  }

 private:
  std::vector<double> x_, y_, z_;
};

// The plane found and what it rests on.
struct FoundPlane {
  OrthogonalPlane plane;  // normal oriented up
  int64_t inliers = 0;
  double threshold = 0.0;
  double tilt = 0.0;  // radians from up (from +z without one)
};

// Turns `plane`'s normal to the side of `toward` (no change when perpendicular).
void orient(OrthogonalPlane *plane, const double (&toward)[3]) {
  const double dot = plane->normal[0] * toward[0] + plane->normal[1] * toward[1] +
                     plane->normal[2] * toward[2];
  if (dot < 0.0) {
    for (double &each : plane->normal) {
      each = -each;
    }
    plane->offset = -plane->offset;
    plane->has_slopes = false;
    plane->a = plane->b = plane->c = 0.0;
  }
}

double angle_between(const double (&a)[3], const double (&b)[3]) {
  const double la = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
  const double lb = std::sqrt(b[0] * b[0] + b[1] * b[1] + b[2] * b[2]);
  const double cosine = (a[0] * b[0] + a[1] * b[1] + a[2] * b[2]) / (la * lb);
  return std::acos(std::fmax(-1.0, std::fmin(1.0, cosine)));
}

// Whether the input is written as text (a text cloud, an ASCII PLY or PCD file), which is slow
// to parse: its points are then kept in binary for the refit passes. Leaves the stream at its
// start.
bool written_as_text(std::FILE *input) {
  CloudFormat format = CloudFormat::kText;
  const FormatRow *row = nullptr;
  return sniff_cloud_format(input, &format, &row) &&
         (format == CloudFormat::kText || format == CloudFormat::kPlyAscii ||
          format == CloudFormat::kPcdAscii);
}

// The valid points of a text input, kept as doubles in an anonymous file while the first pass
// reads them, so that the refit passes read them back without parsing the text again. Should a
// write fail (a full disk), the spool is dropped and the refit passes read the input itself.
class PointSpool {
 public:
  PointSpool() {
    std::string error;
    file_ = anonymous_temporary_file(&error);
    if (file_ != nullptr) {
      writer_.reset(new ByteWriter(file_));
    }
  }
  ~PointSpool() {
    writer_.reset();
    if (file_ != nullptr) {
      std::fclose(file_);
    }
  }
  PointSpool(const PointSpool &) = delete;
  PointSpool &operator=(const PointSpool &) = delete;

  void add(int64_t n, const double *x, const double *y, const double *z) {
    if (writer_ == nullptr) {
      return;
    }
    for (int64_t i = 0; i < n; ++i) {
      const double point[3] = {x[i], y[i], z[i]};
      writer_->write(reinterpret_cast<const char *>(point), sizeof point);
    }
  }

  // Ends the writing; false when the spool cannot be used.
  bool finish() {
    usable_ = writer_ != nullptr && writer_->flush();
    writer_.reset();
    return usable_;
  }
  bool usable() const { return usable_; }

  // Hands the points back, block by block, to use(n, x, y, z); false on a read error.
  template <typename Use>
  bool replay(const Use &use) {
    constexpr size_t kBlock = 65536;
    std::vector<double> interleaved(3 * kBlock), x(kBlock), y(kBlock), z(kBlock);
    std::rewind(file_);
    for (;;) {
      const size_t got = std::fread(interleaved.data(), 3 * sizeof(double), kBlock, file_);
      for (size_t i = 0; i < got; ++i) {
        x[i] = interleaved[3 * i];
        y[i] = interleaved[3 * i + 1];
        z[i] = interleaved[3 * i + 2];
      }
      use(int64_t(got), x.data(), y.data(), z.data());
      if (got < kBlock) {
        return !std::ferror(file_);
      }
    }
  }

 private:
  std::FILE *file_ = nullptr;
  std::unique_ptr<ByteWriter> writer_;
  bool usable_ = false;
};

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
  *up = UpDirection();
  for (int k = 0; k < 3; ++k) {
    up->axis[k] = values[k];
  }
  up->name = "(" + text + ")";
  return true;
}

namespace {

// One input of a run: its file, what the first pass learnt of it, and where it goes.
struct Source {
  std::string name;   // as given
  std::string shown;  // as messages name it ("standard input")
  InputFile input;
  StreamResult read;
  int64_t empty = 0;
  // The valid points' box: min x, y, z, then max x, y, z.
  double box[6] = {HUGE_VAL, HUGE_VAL, HUGE_VAL, -HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  std::unique_ptr<PointSpool> spool;
  std::string output;  // "" for none
  std::string output_shown;
  OutputFormatChoice choice = OutputFormatChoice::kAuto;
  OutputFile out;
  CloudFormat written = CloudFormat::kText;  // the output's format, once written
  int64_t reported = 0;  // bytes of the current pass told to the progress line
  LevellingOutcome fault;  // its failure (status kLevelled while it has none)

  bool failed() const { return fault.status != kLevelled; }
};

// What a levelling run carries from one phase to the next.
struct Run {
  Run(const LevellingRequest &request_in, int64_t work)
      : request(request_in), progress(request_in.progress && isatty(fileno(stderr)), work) {}

  const LevellingRequest &request;
  std::vector<std::unique_ptr<Source>> sources;
  std::string shown;  // the cloud as messages name it: its file, or all of them
  Progress progress;
  std::mutex progress_lock;
  int64_t done = 0;  // bytes of the input read in all passes so far, for the progress line
  int jobs = 1;
  // The first pass.
  PointSample sample;
  CloudFit all;  // the moments of every point, for the fit of all points
  double up[3] = {0.0, 0.0, 1.0};

  // Tells the progress line that `source` has read `bytes` of its current pass.
  void advance(Source *source, const char *pass, int64_t bytes) {
    std::lock_guard<std::mutex> hold(progress_lock);
    done += bytes - source->reported;
    source->reported = bytes;
    progress.report(pass, done);
  }
  // Ends a pass of `source` over its whole input.
  void pass_done(Source *source) {
    std::lock_guard<std::mutex> hold(progress_lock);
    done += source->input.size() - source->reported;
    source->reported = 0;
  }
};

// The sources not failed.
std::vector<Source *> live(const Run &run) {
  std::vector<Source *> sources;
  for (const auto &source : run.sources) {
    if (!source->failed()) {
      sources.push_back(source.get());
    }
  }
  return sources;
}

// Runs work(i) for each i in [0, count), `jobs` at a time.
template <typename Work>
void on_each(size_t count, int jobs, const Work &work) {
  const size_t threads = std::min(count, size_t(std::max(1, jobs)));
  if (threads <= 1) {
    for (size_t i = 0; i < count; ++i) {
      work(i);
    }
    return;
  }
  std::atomic<size_t> next{0};
  std::vector<std::thread> workers;
  for (size_t t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      for (size_t i; (i = next++) < count;) {
        work(i);
      }
    });
  }
  for (std::thread &worker : workers) {
    worker.join();
  }
}

// Widens the box (min x, y, z, then max) to hold the n points (none NaN).
void add_to_box(int64_t n, const double *x, const double *y, const double *z, double (&box)[6]) {
  const double *columns[3] = {x, y, z};
  for (int k = 0; k < 3; ++k) {
    double low = box[k], high = box[3 + k];
    for (int64_t i = 0; i < n; ++i) {
      low = columns[k][i] < low ? columns[k][i] : low;
      high = columns[k][i] > high ? columns[k][i] : high;
    }
    box[k] = low;
    box[3 + k] = high;
  }
}

// Streams a source's input from its start into `visit` (and `options`' output, if any).
StreamResult stream_source(Run *run, Source *source, const char *pass, const PointVisitor &visit,
                           StreamOptions options) {
  std::rewind(source->input.stream());
  options.progress = [run, source, pass](int64_t bytes) { run->advance(source, pass, bytes); };
  const StreamResult result = stream_cloud(source->input.stream(), visit, options);
  run->pass_done(source);
  return result;
}

// The first pass: a uniform sample across all inputs in order (as of one cloud), the count of
// empty points and the box of each, the moments of every point (to fit them all) and, for a
// text input, its points kept in binary. A file that fails is set aside and the pass starts
// again without it (so the sample holds no point of it); false with the fault when none is left.
bool read_first_pass(Run *run, LevellingOutcome *fault) {
  const bool fit_all = run->request.fit == FitMethod::kAll;
  for (;;) {
    point_sample_start(&run->sample, kDefaultSampleSize, run->request.seed);
    run->all = CloudFit();
    const std::vector<Source *> sources = live(*run);
    if (sources.empty()) {
      *fault = run->sources.front()->fault;
      return false;
    }
    bool restart = false;
    for (Source *source : sources) {
      source->empty = 0;
      std::fill(source->box, source->box + 3, HUGE_VAL);
      std::fill(source->box + 3, source->box + 6, -HUGE_VAL);
      source->spool.reset();
      if (!fit_all && written_as_text(source->input.stream())) {
        source->spool.reset(new PointSpool());
      }
      ValidPoints valid;
      source->read = stream_source(
          run, source, "reading",
          [&](PointBlock *block) {
            valid.visit(*block, &source->empty, [&](int64_t n, const double *x, const double *y,
                                                    const double *z) {
              point_sample_add(&run->sample, n, x, y, z);
              if (fit_all) {
                cloud_fit_add(&run->all, n, x, y, z);
              }
              if (source->spool != nullptr) {
                source->spool->add(n, x, y, z);
              }
              add_to_box(n, x, y, z, source->box);
            });
          },
          StreamOptions());
      if (source->read.fault != StreamFault::kNone) {
        source->fault =
            failure(source->shown, source->read.message, status_of(source->read.fault));
        if (run->sources.size() == 1) {
          *fault = source->fault;
          return false;
        }
        restart = true;
        break;
      }
      if (source->spool != nullptr && !source->spool->finish()) {
        source->spool.reset();
      }
    }
    if (!restart) {
      return true;
    }
  }
}

// The orthogonal fit of every point, within the tilt limit.
bool fit_every_point(const Run &run, FoundPlane *found, LevellingOutcome *fault) {
  found->plane = orthogonal_fit(run.all);
  if (found->plane.status != OrthogonalFitStatus::kFitted) {
    const bool overflow = found->plane.status == OrthogonalFitStatus::kNonFinite;
    *fault = failure(run.shown,
                     std::string(overflow ? "cannot fit: " : "no plane to level: ") +
                         orthogonal_fit_status_text(found->plane.status),
                     overflow ? kUnsupportedInput : kNoPlane);
    return false;
  }
  orient(&found->plane, run.up);
  found->inliers = found->plane.count;
  found->tilt = angle_between(found->plane.normal, run.up);
  const double max_tilt = run.request.max_tilt_degrees / kDegreesPerRadian;
  if (!run.request.up.automatic && found->tilt > max_tilt + 1e-12) {
    *fault = failure(run.shown,
                     "no plane to level: the plane of all points is tilted " +
                         degrees_text(found->tilt, "%.1f") + " degrees from " +
                         run.request.up.name + "; --max-tilt " +
                         std::to_string(suggested_max_tilt(found->tilt)) + " would level it",
                     kNoPlane);
    return false;
  }
  return true;
}

// The plane the sample holds, found robustly within the tilt limit.
bool detect_in_sample(const Run &run, DetectedPlane *detected, LevellingOutcome *fault) {
  // A cloud that no plane can hold says so plainly, before any search: the sample's spread is
  // the cloud's.
  CloudFit sampled;
  cloud_fit_add(&sampled, int64_t(run.sample.x.size()), run.sample.x.data(),
                run.sample.y.data(), run.sample.z.data());
  const OrthogonalPlane whole = orthogonal_fit(sampled);
  if (whole.status == OrthogonalFitStatus::kTooFewPoints ||
      whole.status == OrthogonalFitStatus::kCollinear) {
    *fault = failure(run.shown,
                     std::string("no plane to level: ") + orthogonal_fit_status_text(whole.status),
                     kNoPlane);
    return false;
  }
  const LevellingRequest &request = run.request;
  const double max_tilt = request.max_tilt_degrees / kDegreesPerRadian;
  DetectionOptions options;
  for (int k = 0; k < 3; ++k) {
    options.up[k] = run.up[k];
  }
  options.any_orientation = request.up.automatic;
  options.max_tilt = max_tilt;
  options.threshold = request.threshold;
  options.seed = request.seed;
  options.min_share = kMaterialShare;
  *detected = detect_plane(run.sample, options);
  switch (detected->status) {
    case DetectionStatus::kFound:
      return true;
    case DetectionStatus::kTooFewPoints:
      *fault = failure(run.shown, "no plane to level: fewer than 3 points", kNoPlane);
      return false;
    case DetectionStatus::kNoPlane:
      *fault = failure(run.shown,
                       "no plane to level: no plane holds " + percent(kMaterialShare) +
                           " of the points (noise, or points on a line)",
                       kNoPlane);
      return false;
    case DetectionStatus::kNoPlaneInLimit:
      *fault = failure(run.shown,
                       "no plane to level within " + degrees_text(max_tilt, "%g") +
                           " degrees of " + request.up.name + ": the largest plane is tilted " +
                           degrees_text(detected->outside_tilt, "%.1f") + " degrees from " +
                           request.up.name + " and holds " + percent(detected->outside_share) +
                           " of the points; --max-tilt " +
                           std::to_string(suggested_max_tilt(detected->outside_tilt)) +
                           " would level it",
                       kNoPlane);
      return false;
  }
  return false;
}

// The inliers of `band` among a source's points (from its kept points of a text input, else
// from the input again) into *inliers; false with the fault.
bool fit_inliers_of(Run *run, Source *source, const PlaneBand &band, CloudFit *inliers,
                    int64_t *counted, LevellingOutcome *fault) {
  const auto refit = [&](int64_t n, const double *x, const double *y, const double *z) {
    *counted += plane_band_fit_add(inliers, band, n, x, y, z);
  };
  if (source->spool != nullptr && source->spool->replay(refit)) {
    run->pass_done(source);
    return true;
  }
  *inliers = CloudFit();
  *counted = 0;
  const StreamResult again = stream_source(
      run, source, "fitting",
      [&](PointBlock *block) {
        refit(int64_t(block->count), block->x.data(), block->y.data(), block->z.data());
      },
      StreamOptions());
  if (again.fault != StreamFault::kNone) {
    *fault = failure(source->shown, again.message, status_of(again.fault));
    return false;
  }
  return true;
}

// Passes 2...: the orthogonal fit of every inlier of the whole cloud (the files side by side,
// their moments merged in their order), repeated while the inliers change materially.
bool refit_to_inliers(Run *run, const DetectedPlane &detected, FoundPlane *found,
                      LevellingOutcome *fault) {
  PlaneBand band;
  for (int k = 0; k < 3; ++k) {
    band.normal[k] = detected.normal[k];
  }
  band.offset = detected.offset;
  band.threshold = detected.threshold;
  found->threshold = detected.threshold;
  const std::vector<Source *> sources = live(*run);
  for (int pass = 0; pass < kMaxRefitPasses; ++pass) {
    std::vector<CloudFit> fits(sources.size());
    std::vector<int64_t> counts(sources.size(), 0);
    std::vector<LevellingOutcome> faults(sources.size());
    on_each(sources.size(), run->jobs, [&](size_t i) {
      fit_inliers_of(run, sources[i], band, &fits[i], &counts[i], &faults[i]);
    });
    CloudFit inliers;
    int64_t counted = 0;
    for (size_t i = 0; i < sources.size(); ++i) {
      if (faults[i].status != kLevelled) {
        *fault = faults[i];
        return false;
      }
      cloud_fit_merge(&inliers, fits[i]);
      counted += counts[i];
    }
    OrthogonalPlane refitted = orthogonal_fit(inliers);
    if (refitted.status != OrthogonalFitStatus::kFitted) {
      *fault = failure(run->shown,
                       std::string("no plane to level: its inliers hold none: ") +
                           orthogonal_fit_status_text(refitted.status),
                       kNoPlane);
      return false;
    }
    orient(&refitted, band.normal);
    found->plane = refitted;
    found->inliers = counted;
    PlaneBand next = band;
    for (int k = 0; k < 3; ++k) {
      next.normal[k] = refitted.normal[k];
    }
    next.offset = refitted.offset;
    const double change = plane_band_changes(run->sample, band, next);
    band = next;
    if (change < kSettledChange) {
      break;
    }
  }
  // Oriented as the detected normal was: up, or (with no up direction) toward most points.
  found->tilt = angle_between(found->plane.normal, run->up);
  return true;
}

// Levels a block in place by the motion: points and normals turned, empty points left as they
// were, bit for bit. `kept` is scratch.
void level_block(const double (&motion)[4][4], PointBlock *block, std::vector<size_t> *empties,
                 std::vector<double> *kept) {
  const int64_t n = int64_t(block->count);
  empties->clear();
  kept->clear();
  for (size_t i = 0; i < block->count; ++i) {
    if (block->x[i] != block->x[i]) {
      empties->push_back(i);
      kept->insert(kept->end(), {block->x[i], block->y[i], block->z[i]});
      if (block->has_normals) {
        kept->insert(kept->end(), {block->nx[i], block->ny[i], block->nz[i]});
      }
    }
  }
  move_points(motion, n, block->x.data(), block->y.data(), block->z.data(), block->x.data(),
              block->y.data(), block->z.data());
  if (block->has_normals) {
    turn_directions(motion, n, block->nx.data(), block->ny.data(), block->nz.data(),
                    block->nx.data(), block->ny.data(), block->nz.data());
  }
  const double *from = kept->data();
  for (size_t i : *empties) {
    block->x[i] = *from++;
    block->y[i] = *from++;
    block->z[i] = *from++;
    if (block->has_normals) {
      block->nx[i] = *from++;
      block->ny[i] = *from++;
      block->nz[i] = *from++;
    }
  }
}

// The deviation map as the last pass fills it: the levelled points' heights above the level
// plane, by cell, and a histogram of the inliers' heights.
struct MapState {
  std::mutex lock;
  DeviationGrid grid;
  HeightHistogram histogram;
  double level = 0.0;      // the height of the level plane once levelled
  double range = 1.0;      // the colour scale spans +-range
  double threshold = 0.0;  // inliers: within this height of the plane (0: every point)
};

// Adds the levelled points (x, y, z) to the map, from a thread of its own beside the pass that
// levels and writes them, so that drawing the map adds little to the pass's time. At most
// kPending blocks wait; empty points fall in no cell and no bin.
class MapFeeder {
 public:
  explicit MapFeeder(MapState *map) : map_(map), worker_([this] { work(); }) {}
  ~MapFeeder() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      done_ = true;
    }
    changed_.notify_all();
    worker_.join();
  }
  MapFeeder(const MapFeeder &) = delete;
  MapFeeder &operator=(const MapFeeder &) = delete;

  void add(const PointBlock &block) {
    Piece piece;
    {
      std::unique_lock<std::mutex> hold(lock_);
      changed_.wait(hold, [this] { return pending_.size() < kPending; });
      if (!spare_.empty()) {
        piece = std::move(spare_.back());
        spare_.pop_back();
      }
    }
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

 private:
  static constexpr size_t kPending = 3;
  struct Piece {
    std::vector<double> x, y, height;
  };

  void work() {
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
      {
        std::lock_guard<std::mutex> hold(map_->lock);
        deviation_grid_add(&map_->grid, n, piece.x.data(), piece.y.data(), piece.height.data());
        height_histogram_add(&map_->histogram, n, piece.height.data());
      }
      std::lock_guard<std::mutex> hold(lock_);
      spare_.push_back(std::move(piece));
    }
  }

  MapState *map_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Piece> pending_;
  std::vector<Piece> spare_;
  bool done_ = false;
  std::thread worker_;  // last: it starts once everything above is ready
};

// The levelled z of point p.
double levelled_z(const double (&motion)[4][4], double x, double y, double z) {
  return motion[2][0] * x + motion[2][1] * y + motion[2][2] * z + motion[2][3];
}

// Starts the map: the level plane's height (the fitted plane's, or the levelled sample's median
// height under a saved transform), the colour scale's range (the sample's inliers' 2nd and 98th
// percentiles) and the grid over the levelled boxes of the inputs. False with the fault.
bool start_map(const Run &run, const FoundPlane *found, const double (&motion)[4][4],
               MapState *map, LevellingOutcome *fault) {
  const PointSample &sample = run.sample;
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
  // The histogram spans the inliers' band (the colours' range without one), so that no inlier
  // is clipped.
  constexpr int kHistogramBins = 61;  // odd: a bin centred on 0
  height_histogram_start(map->threshold > 0.0 ? map->threshold : map->range, kHistogramBins,
                         &map->histogram);
  map->histogram.limit = map->threshold;  // only the inliers
  double low[2] = {HUGE_VAL, HUGE_VAL}, high[2] = {-HUGE_VAL, -HUGE_VAL};
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
  if (!deviation_grid_start(low[0], low[1], high[0], high[1], run.request.map_cell, map->range,
                            &map->grid)) {
    *fault = failure(run.request.map, "no points to map", kNoPlane);
    return false;
  }
  return true;
}

// Draws the map and writes it in place. False with the fault.
bool finish_map(const Run &run, const FoundPlane *found, MapState *map, OutputFile *out,
                LevellingOutcome *fault) {
  int64_t points = 0;
  for (const Source *source : live(run)) {
    points += source->read.points - source->empty;
  }
  char title[512];
  if (found != nullptr) {
    std::snprintf(title, sizeof title,
                  "%s: %lld points, %lld inliers (%.1f%%), rms %.3g, tilt %.3f deg before",
                  run.shown.c_str(), static_cast<long long>(points),
                  static_cast<long long>(found->inliers),
                  points > 0 ? 100.0 * double(found->inliers) / double(points) : 0.0,
                  found->plane.rms, found->tilt * kDegreesPerRadian);
  } else {
    std::snprintf(title, sizeof title, "%s: %lld points, levelled by %s", run.shown.c_str(),
                  static_cast<long long>(points), run.request.transform.c_str());
  }
  const RgbImage image =
      render_deviation_map(map->grid, map->histogram, map->range, title, "CLOUD UNITS");
  std::string error;
  if (!write_png(image, out->stream(), &error) || !out->commit(&error, run.request.sync)) {
    out->abandon();
    *fault = failure(run.request.map, error, kUnwritableOutput);
    return false;
  }
  return true;
}

// The last pass: level and write, in a format that holds everything (decided before a byte is
// written), then put the output in place. False with the source's fault set.
bool write_levelled(Run *run, Source *source, const double (&motion)[4][4], MapState *map) {
  const LevellingRequest &request = run->request;
  const StreamResult &read = source->read;
  const CloudFormat out_format = output_format(source->choice, read.format);
  source->written = out_format;
  std::string refusal = conversion_refusal(read, out_format);
  if (refusal.empty() && out_format == CloudFormat::kLas && source->empty > 0) {
    refusal = "has " + std::to_string(source->empty) +
              " empty points (no return), which LAS cannot hold; write " +
              cloud_family_name(family_of(read.format)) + " instead";
  }
  if (!refusal.empty()) {
    source->out.abandon();
    source->fault = failure(source->shown, refusal, kUnsupportedInput);
    return false;
  }
  StreamResult written;
  bool flushed = false;
  int write_error = 0;
  {
    ByteWriter writer(source->out.stream());
    StreamOptions writing;
    writing.out = &writer;
    writing.out_format = out_format;
    writing.text_separator = is_csv(source->output) ? ',' : ' ';
    writing.points = read.points;
    const bool decimals_known =
        (read.format == CloudFormat::kText || read.format == CloudFormat::kLas) &&
        !read.text_exponents;
    writing.decimals = request.precision >= 0 ? request.precision
                       : decimals_known       ? read.text_decimals
                                              : -1;
    writing.motion = motion;
    writing.box = source->box[0] <= source->box[3] ? source->box : nullptr;
    writing.las_scale = request.las_scale;
    std::vector<size_t> empties;
    std::vector<double> kept;
    std::unique_ptr<MapFeeder> feeder(map != nullptr ? new MapFeeder(map) : nullptr);
    written = stream_source(
        run, source, "levelling",
        [&](PointBlock *block) {
          level_block(motion, block, &empties, &kept);
          if (feeder != nullptr) {
            feeder->add(*block);
          }
        },
        writing);
    if (written.fault == StreamFault::kNone) {
      flushed = writer.flush();
      write_error = writer.error();
    } else {
      writer.discard();  // the stream is abandoned below: nothing more goes into it
    }
  }
  if (written.fault != StreamFault::kNone) {
    source->out.abandon();
    source->fault = failure(
        written.fault == StreamFault::kWrite ? source->output_shown : source->shown,
        written.message, status_of(written.fault));
    return false;
  }
  std::string error;
  if (!flushed || !source->out.commit(&error, request.sync)) {
    source->out.abandon();
    source->fault = failure(source->output_shown,
                            write_error != 0 ? std::strerror(write_error) : error,
                            kUnwritableOutput);
    return false;
  }
  // (A saved transform applied in one pass learns the count here.)
  source->read.points = written.points;
  source->read.has_normals = written.has_normals;
  return true;
}

// What the report says of the outputs' frame, for LAS: its coordinate system's description no
// longer describes levelled coordinates.
std::string frame_note(const Source &source) {
  if (source.output.empty() || source.failed()) {
    return "";
  }
  if (source.read.format == CloudFormat::kLas) {
    return source.written == CloudFormat::kLas
               ? "the output is in a levelled local frame: its coordinate system's "
                 "description (the VLRs) is kept as it was and no longer describes it"
               : "the output is in a levelled local frame; the input's VLRs and EVLRs "
                 "(its coordinate system) have no place in " +
                     std::string(cloud_family_name(family_of(source.written)));
  }
  return source.written == CloudFormat::kLas
             ? "the LAS output has no coordinate system description"
             : "";
}

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
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      report.matrix[r][c] = motion[r][c];
    }
  }
  report.saved_transform = request.save_transform;
  report.fitted = found != nullptr;
  if (found == nullptr) {
    report.transform = request.transform;
    report.inverse = request.inverse;
    return report;
  }
  const OrthogonalPlane &plane = found->plane;
  report.fit = request.fit == FitMethod::kRobust ? "robust" : "all";
  report.up = request.up.name;
  for (int k = 0; k < 3; ++k) {
    report.normal[k] = plane.normal[k];
    report.pivot[k] = levelling.pivot[k];
  }
  report.offset = plane.offset;
  // The slope form of the oriented normal, when it points up in z.
  report.has_slopes = plane.normal[2] > kVerticalNormalZ;
  if (report.has_slopes) {
    report.a = -plane.normal[0] / plane.normal[2];
    report.b = -plane.normal[1] / plane.normal[2];
    report.c = plane.offset / plane.normal[2];
  }
  report.tilt_degrees = found->tilt * kDegreesPerRadian;
  report.inliers = found->inliers;
  report.threshold = found->threshold;
  report.rms = plane.rms;
  report.angle_x_degrees = levelling.angle_x * kDegreesPerRadian;
  report.angle_y_degrees = levelling.angle_y * kDegreesPerRadian;
  report.pivot_name = request.pivot == PivotChoice::kOrigin ? "origin" : "centroid of the inliers";
  return report;
}

// Reads a saved transform: four lines of four numbers (blank lines and '#' comments aside), a
// rigid motion. False with the fault.
bool read_transform(const std::string &name, double (&matrix)[4][4], LevellingOutcome *fault) {
  std::ifstream file(name);
  if (!file) {
    *fault = failure(name, std::strerror(errno != 0 ? errno : ENOENT), kUnreadableInput);
    return false;
  }
  std::vector<double> values;
  for (std::string line; std::getline(file, line);) {
    const size_t hash = line.find('#');
    std::istringstream words(line.substr(0, hash));
    for (std::string word; words >> word;) {
      double value = 0.0;
      if (!parse_number(word, &value)) {
        *fault = failure(name, "'" + word.substr(0, 40) + "' is not a number", kMalformedInput);
        return false;
      }
      values.push_back(value);
    }
  }
  if (values.size() != 16) {
    *fault = failure(name, "holds " + std::to_string(values.size()) +
                               " numbers, not the 16 of a 4 x 4 matrix",
                     kMalformedInput);
    return false;
  }
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      matrix[r][c] = values[size_t(4 * r + c)];
    }
  }
  const char *why = "";
  if (!is_rigid_motion(matrix, kRigidTolerance, &why)) {
    *fault = failure(name, std::string("is not a rigid motion (a rotation and a translation): ") +
                               why,
                     kMalformedInput);
    return false;
  }
  return true;
}

// The matrix as a saved transform: four lines of four numbers, each with the digits that read
// back the same double.
std::string transform_text(const double (&matrix)[4][4]) {
  std::string text;
  char number[kNumberTextSize];
  for (const auto &row : matrix) {
    for (int c = 0; c < 4; ++c) {
      text.append(number, format_number(row[c], number));
      text += c < 3 ? " " : "\n";
    }
  }
  return text;
}

// The outcome of a run whose sources may have failed: the first failure's status and message,
// the others' messages after it.
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
  // A .laz file is compressed LAS whatever its first bytes say.
  bool has_extension = false;
  const FormatRow *named = format_of_name(source->name, &has_extension);
  if (named != nullptr && named->stream == nullptr && std::string(named->name) == "LAZ") {
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

LevellingOutcome level_cloud(const LevellingRequest &request) {
  if (request.inputs.empty()) {
    return failure("", "no input", kUsage);
  }
  // The transform to apply, and where the fitted one goes: both checked first.
  double saved[4][4] = {};
  LevellingOutcome fault;
  const bool given = !request.transform.empty();
  if (given && !read_transform(request.transform, saved, &fault)) {
    return fault;
  }
  OutputFile transform_out, map_out;
  std::string error;
  if (!request.save_transform.empty() && !transform_out.open(request.save_transform, &error)) {
    return failure(request.save_transform, error, kUnwritableOutput);
  }
  if (!request.map.empty() && !map_out.open(request.map, &error)) {
    return failure(request.map, error, kUnwritableOutput);
  }
  Run run(request, 0);
  if (!plan_outputs(request, &run, &fault)) {
    return fault;
  }
  std::error_code made;
  if (!request.output_dir.empty() && !request.fit_only &&
      !fs::is_directory(request.output_dir, made) &&
      !fs::create_directories(request.output_dir, made)) {
    return failure(request.output_dir, made.message(), kUnwritableOutput);
  }
  run.shown = run.sources.size() == 1
                  ? run.sources.front()->shown
                  : "the " + std::to_string(run.sources.size()) + " clouds together";
  const unsigned cores = std::thread::hardware_concurrency();
  run.jobs = request.jobs > 0 ? request.jobs : int(std::max(1u, cores));
  int64_t bytes = 0;
  for (const auto &source : run.sources) {
    if (!open_source(request, source.get()) && run.sources.size() == 1) {
      return source->fault;
    }
    bytes += source->input.size();
  }
  if (live(run).empty()) {
    LevellingOutcome outcome;
    add_failures(run, &outcome);
    return outcome;
  }
  const bool writing = !run.sources.front()->output.empty() || run.sources.size() > 1;
  const int passes = (given ? 0 : request.fit == FitMethod::kRobust ? 2 : 1) + (writing ? 1 : 0);
  run.progress = Progress(request.progress && isatty(fileno(stderr)), bytes * passes);
  for (int k = 0; k < 3; ++k) {
    run.up[k] = request.up.automatic ? (k == 2 ? 1.0 : 0.0) : request.up.axis[k];
  }

  FoundPlane found;
  RigidLevelling levelling;
  double motion[4][4];
  if (given) {
    if (request.inverse) {
      invert_rigid_motion(saved, motion);
    } else {
      std::copy(&saved[0][0], &saved[0][0] + 16, &motion[0][0]);
    }
  }
  if (given && !request.map.empty()) {
    // The map needs the levelled cloud's extent and a sample of its heights first.
    if (!read_first_pass(&run, &fault)) {
      return fault;
    }
  } else if (given) {
    // One pass writes a cloud in its own family of formats; a conversion is decided, LAS
    // written from another format chooses its offsets, and a text cloud's decimals are known,
    // from a first pass.
    const std::vector<Source *> sources = live(run);
    on_each(sources.size(), run.jobs, [&](size_t i) {
      Source *source = sources[i];
      const FormatRow *row = nullptr;
      if (sniff_cloud_format(source->input.stream(), &source->read.format, &row) &&
          source->read.format != CloudFormat::kText &&
          family_of(output_format(source->choice, source->read.format)) ==
              family_of(source->read.format)) {
        return;
      }
      ValidPoints valid;
      source->read = stream_source(
          &run, source, "reading",
          [&](PointBlock *block) {
            valid.visit(*block, &source->empty,
                        [&](int64_t n, const double *x, const double *y, const double *z) {
                          add_to_box(n, x, y, z, source->box);
                        });
          },
          StreamOptions());
    });
    for (Source *source : sources) {
      if (source->read.fault != StreamFault::kNone) {
        source->out.abandon();
        source->fault = failure(source->shown, source->read.message,
                                status_of(source->read.fault));
      }
    }
  } else {
    if (!read_first_pass(&run, &fault)) {
      return fault;
    }
    if (request.fit == FitMethod::kAll) {
      if (!fit_every_point(run, &found, &fault)) {
        return fault;
      }
    } else {
      DetectedPlane detected;
      if (!detect_in_sample(run, &detected, &fault) ||
          !refit_to_inliers(&run, detected, &found, &fault)) {
        return fault;
      }
    }
    const double origin[3] = {0.0, 0.0, 0.0};
    levelling = rigid_levelling_from_normal(
        found.plane.normal, request.pivot == PivotChoice::kOrigin ? origin : found.plane.centroid);
    levelling_matrix(levelling, motion);
  }
  if (!request.save_transform.empty()) {
    const std::string text = transform_text(motion);
    if (std::fwrite(text.data(), 1, text.size(), transform_out.stream()) != text.size() ||
        !transform_out.commit(&error, request.sync)) {
      transform_out.abandon();
      return failure(request.save_transform, error.empty() ? std::strerror(errno) : error,
                     kUnwritableOutput);
    }
  }
  std::vector<Source *> writers;
  for (Source *source : live(run)) {
    if (!source->output.empty()) {
      writers.push_back(source);
    }
  }
  std::unique_ptr<MapState> map;
  if (!request.map.empty()) {
    map = std::make_unique<MapState>();
    if (!start_map(run, given ? nullptr : &found, motion, map.get(), &fault)) {
      return fault;
    }
  }
  on_each(writers.size(), run.jobs,
          [&](size_t i) { write_levelled(&run, writers[i], motion, map.get()); });
  if (map != nullptr && writers.empty()) {
    // No cloud written: one more pass, for the map alone.
    const std::vector<Source *> sources = live(run);
    on_each(sources.size(), run.jobs, [&](size_t i) {
      std::vector<size_t> empties;
      std::vector<double> kept;
      MapFeeder feeder(map.get());
      stream_source(&run, sources[i], "mapping",
                    [&](PointBlock *block) {
                      level_block(motion, block, &empties, &kept);
                      feeder.add(*block);
                    },
                    StreamOptions());
    });
  }
  if (map != nullptr && !live(run).empty() &&
      !finish_map(run, given ? nullptr : &found, map.get(), &map_out, &fault)) {
    return fault;
  }
  run.progress.clear();

  LevellingOutcome outcome;
  add_failures(run, &outcome);
  if (run.sources.size() == 1 && outcome.status != kLevelled) {
    return outcome;
  }
  outcome.report_to_stderr = run.sources.size() == 1 && run.sources.front()->output == "-";
  if (!request.quiet && !live(run).empty()) {
    LevellingReport report = report_of(run, given ? nullptr : &found, levelling, motion);
    if (map != nullptr) {
      report.map = request.map;
      report.map_range = map->range;
    }
    outcome.report =
        request.report == ReportForm::kJson ? report_json(report) : report_text(report);
  }
  return outcome;
}

}  // namespace levelling
